#include "platform/PcmBuffer.h"

#include <algorithm>
#include <cstdio>

namespace quelt {

std::string AudioFormat::description() const {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", sampleRate);
  return std::to_string(channels) + " ch, " + rate + " Hz, " +
         (sampleFormat == SampleFormat::float32 ? "Float32" : "Int16") + ", " +
         (interleaved ? "interleaved" : "deinterleaved");
}

PcmBuffer::PcmBuffer(AudioFormat format, uint32_t frameCapacity)
    : format_(format), capacity_(frameCapacity) {
  size_t samples = planeSize() * format_.planes();
  if (format_.sampleFormat == SampleFormat::float32)
    floats_.assign(samples, 0.0f);
  else
    int16s_.assign(samples, 0);
}

size_t PcmBuffer::planeSize() const {
  return static_cast<size_t>(capacity_) * (format_.interleaved ? format_.channels : 1);
}

void PcmBuffer::setFrameLength(uint32_t frames) { length_ = std::min(frames, capacity_); }

void PcmBuffer::silence() {
  size_t valid = static_cast<size_t>(length_) * (format_.interleaved ? format_.channels : 1);
  for (uint32_t plane = 0; plane < format_.planes(); ++plane) {
    if (format_.sampleFormat == SampleFormat::float32)
      std::fill_n(floatPlane(plane).begin(), valid, 0.0f);
    else
      std::fill_n(int16Plane(plane).begin(), valid, int16_t{0});
  }
}

std::span<float> PcmBuffer::floatPlane(uint32_t plane) {
  if (floats_.empty())
    return {};
  return std::span<float>(floats_).subspan(plane * planeSize(), planeSize());
}

std::span<const float> PcmBuffer::floatPlane(uint32_t plane) const {
  if (floats_.empty())
    return {};
  return std::span<const float>(floats_).subspan(plane * planeSize(), planeSize());
}

std::span<int16_t> PcmBuffer::int16Plane(uint32_t plane) {
  if (int16s_.empty())
    return {};
  return std::span<int16_t>(int16s_).subspan(plane * planeSize(), planeSize());
}

std::span<const int16_t> PcmBuffer::int16Plane(uint32_t plane) const {
  if (int16s_.empty())
    return {};
  return std::span<const int16_t>(int16s_).subspan(plane * planeSize(), planeSize());
}

} // namespace quelt
