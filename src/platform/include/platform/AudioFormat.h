#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quelt {

enum class SampleFormat { float32, int16 };

// The shape of PCM audio: rate, channels, sample type and layout. Non-interleaved audio keeps
// one plane per channel; interleaved audio one plane with the channels' samples alternating.
struct AudioFormat {
  double sampleRate = 0;
  uint32_t channels = 0;
  SampleFormat sampleFormat = SampleFormat::float32;
  bool interleaved = false;

  bool operator==(const AudioFormat&) const = default;

  size_t bytesPerSample() const { return sampleFormat == SampleFormat::float32 ? 4 : 2; }
  uint32_t planes() const { return interleaved ? 1 : channels; }
  // "2 ch, 48000 Hz, Float32, deinterleaved": for messages and logs.
  std::string description() const;
};

} // namespace quelt
