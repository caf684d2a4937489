#pragma once

#include "platform/AudioFormat.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quelt {

// A block of PCM audio in one format: room for `frameCapacity` frames, of which the first
// `frameLength` are valid. Made once and refilled, so the audio path need not allocate per block.
class PcmBuffer {
public:
  PcmBuffer(AudioFormat format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);
  // Zeroes the valid frames' samples.
  void silence();

  // One plane's samples, `frameCapacity` (times channels when interleaved) long. Use the one
  // that matches the sample format; the other is empty.
  std::span<float> floatPlane(uint32_t plane);
  std::span<const float> floatPlane(uint32_t plane) const;
  std::span<int16_t> int16Plane(uint32_t plane);
  std::span<const int16_t> int16Plane(uint32_t plane) const;

private:
  size_t planeSize() const;

  AudioFormat format_;
  uint32_t capacity_;
  uint32_t length_ = 0;
  std::vector<float> floats_;
  std::vector<int16_t> int16s_;
};

} // namespace quelt
