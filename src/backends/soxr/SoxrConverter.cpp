#include "soxr/SoxrConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace quelt {
namespace {

// Where channel `channel` of a buffer starts; its samples lie strideOf() apart.
template <typename Sample, typename Buffer> auto* channelStart(Buffer& buffer, uint32_t channel) {
  bool interleaved = buffer.format().interleaved;
  uint32_t plane = interleaved ? 0 : channel;
  size_t offset = interleaved ? channel : 0;
  if constexpr (std::is_same_v<Sample, float>)
    return buffer.floatPlane(plane).data() + offset;
  else
    return buffer.int16Plane(plane).data() + offset;
}

size_t strideOf(const AudioFormat& format) { return format.interleaved ? format.channels : 1; }

// int16 full scale is 32768 both ways, as libsndfile scales, so int16 survives a round trip
// through float unchanged.
float toFloat(float sample) { return sample; }
float toFloat(int16_t sample) { return static_cast<float>(sample) * (1.0f / 32768.0f); }

template <typename Sample> Sample fromFloat(float sample) {
  if constexpr (std::is_same_v<Sample, float>) {
    return sample;
  } else {
    if (std::isnan(sample))
      return 0;
    float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(std::lrint(scaled));
  }
}

bool usable(const AudioFormat& format) {
  return std::isfinite(format.sampleRate) && format.sampleRate > 0 && format.channels > 0;
}

// Maps channels first, so the resampler only carries min(from, to) channels, then resamples
// (interleaved float, as soxr streams best), then expands to the target's channels and layout.
// Frames not yet taken by soxr wait in `pending_`, which the same-rate path drains directly.
class FormatConverter : public AudioConverter {
public:
  FormatConverter(const AudioFormat& from, const AudioFormat& to)
      : from_(from), to_(to), carried_(std::min(from.channels, to.channels)) {}
  ~FormatConverter() override {
    if (resampler_)
      soxr_delete(resampler_);
  }
  FormatConverter(const FormatConverter&) = delete;
  FormatConverter& operator=(const FormatConverter&) = delete;

  bool startResampler() {
    if (from_.sampleRate == to_.sampleRate)
      return true;
    // High quality (20-bit precision, 91% of the band kept) is soxr's default and leaves
    // int16 output untouched by resampling noise; it still costs well under 1% of a core for
    // speech rates, so a cheaper setting buys nothing a real-time path needs.
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    resampler_ =
        soxr_create(from_.sampleRate, to_.sampleRate, carried_, &error, &io, &quality, &runtime);
    return resampler_ && !error;
  }

  bool convert(const PcmBuffer& input, PcmBuffer& output) override {
    if (input.format() != from_ || output.format() != to_) {
      output.setFrameLength(0);
      return false;
    }
    if (ended_) {
      // A flushed converter starts a fresh stream rather than refusing more audio.
      if (resampler_)
        soxr_clear(resampler_);
      pendingFrames_ = 0;
      ended_ = false;
    }
    uint32_t frames = input.frameLength();
    size_t needed = (pendingFrames_ + frames) * carried_;
    if (pending_.size() < needed)
      pending_.resize(needed);
    float* into = pending_.data() + pendingFrames_ * carried_;
    if (from_.sampleFormat == SampleFormat::float32)
      gather<float>(input, frames, into);
    else
      gather<int16_t>(input, frames, into);
    pendingFrames_ += frames;
    return drain(output, false);
  }

  bool flush(PcmBuffer& output) override {
    if (output.format() != to_) {
      output.setFrameLength(0);
      return false;
    }
    return drain(output, true);
  }

private:
  template <typename Sample> void gather(const PcmBuffer& input, uint32_t frames, float* out) {
    size_t stride = strideOf(from_);
    if (carried_ == 1 && from_.channels > 1) {
      std::fill_n(out, frames, 0.0f);
      for (uint32_t channel = 0; channel < from_.channels; ++channel) {
        const Sample* in = channelStart<Sample>(input, channel);
        for (uint32_t frame = 0; frame < frames; ++frame)
          out[frame] += toFloat(in[frame * stride]);
      }
      float scale = 1.0f / static_cast<float>(from_.channels);
      for (uint32_t frame = 0; frame < frames; ++frame)
        out[frame] *= scale;
      return;
    }
    for (uint32_t channel = 0; channel < carried_; ++channel) {
      const Sample* in = channelStart<Sample>(input, channel);
      for (uint32_t frame = 0; frame < frames; ++frame)
        out[size_t{frame} * carried_ + channel] = toFloat(in[frame * stride]);
    }
  }

  template <typename Sample> void scatter(const float* in, size_t frames, PcmBuffer& output) {
    size_t stride = strideOf(to_);
    for (uint32_t channel = 0; channel < to_.channels; ++channel) {
      Sample* out = channelStart<Sample>(output, channel);
      if (carried_ == 1 || channel < carried_) {
        uint32_t source = carried_ == 1 ? 0 : channel;
        for (size_t frame = 0; frame < frames; ++frame)
          out[frame * stride] = fromFloat<Sample>(in[frame * carried_ + source]);
      } else {
        for (size_t frame = 0; frame < frames; ++frame)
          out[frame * stride] = Sample{0};
      }
    }
  }

  void write(const float* in, size_t frames, PcmBuffer& output) {
    if (to_.sampleFormat == SampleFormat::float32)
      scatter<float>(in, frames, output);
    else
      scatter<int16_t>(in, frames, output);
    output.setFrameLength(static_cast<uint32_t>(frames));
  }

  void consume(size_t frames) {
    std::copy(pending_.begin() + static_cast<ptrdiff_t>(frames * carried_),
              pending_.begin() + static_cast<ptrdiff_t>(pendingFrames_ * carried_),
              pending_.begin());
    pendingFrames_ -= frames;
  }

  bool drain(PcmBuffer& output, bool end) {
    size_t room = output.frameCapacity();
    if (!resampler_) {
      size_t frames = std::min(pendingFrames_, room);
      write(pending_.data(), frames, output);
      consume(frames);
      return true;
    }
    if (resampled_.size() < room * carried_)
      resampled_.resize(room * carried_);
    // soxr takes a null input as the end of the stream, so an empty one must not be null.
    static const float nothing = 0;
    const float* in = pendingFrames_ ? pending_.data() : &nothing;
    size_t used = 0;
    size_t made = 0;
    if (soxr_process(resampler_, in, pendingFrames_, &used, resampled_.data(), room, &made)) {
      output.setFrameLength(0);
      return false;
    }
    consume(used);
    if (end && pendingFrames_ == 0 && made < room) {
      size_t more = 0;
      if (soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data() + made * carried_,
                       room - made, &more)) {
        output.setFrameLength(0);
        return false;
      }
      made += more;
      ended_ = true;
    }
    write(resampled_.data(), made, output);
    return true;
  }

  AudioFormat from_;
  AudioFormat to_;
  uint32_t carried_;
  soxr_t resampler_ = nullptr;
  std::vector<float> pending_;
  size_t pendingFrames_ = 0;
  std::vector<float> resampled_;
  bool ended_ = false;
};

} // namespace

std::unique_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to) {
  if (!usable(from) || !usable(to))
    return nullptr;
  auto converter = std::make_unique<FormatConverter>(from, to);
  if (!converter->startResampler())
    return nullptr;
  return converter;
}

} // namespace quelt
