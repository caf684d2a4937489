#include "pulse/PulseAudioOutput.h"

#include "pulse/PulseConnection.h"

#include <pulse/error.h>
#include <pulse/stream.h>

#include <chrono>
#include <optional>

namespace quelt {
namespace {

using Clock = std::chrono::steady_clock;

// A playback stream of its own on the server's default sink, fed as it takes the audio.
class PulsePlayback : public Playback {
public:
  PulsePlayback(PulseConnection& pulse, std::span<const int16_t> samples, double rate)
      : pulse_(pulse), samples_(samples), rate_(rate) {
    PulseConnection::Lock lock(pulse_);
    pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, static_cast<uint32_t>(rate), 1};
    stream_ = pa_stream_new(pulse_.context(), "Speech", &sampleFormat, nullptr);
    if (!stream_)
      throw pulse_.error();
    pa_stream_set_state_callback(stream_, &onState, &pulse_);
    // A short target keeps pausing and stopping prompt; the whole text is ready anyway.
    uint32_t serverChooses = static_cast<uint32_t>(-1);
    pa_buffer_attr attributes{serverChooses,
                              static_cast<uint32_t>(pa_usec_to_bytes(250000, &sampleFormat)),
                              serverChooses, serverChooses, serverChooses};
    auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    pa_stream* stream = stream_;
    bool ready =
        pa_stream_connect_playback(stream, nullptr, &attributes, flags, nullptr, nullptr) == 0 &&
        pulse_.waitUntil([stream] {
          pa_stream_state_t state = pa_stream_get_state(stream);
          return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        }) &&
        pa_stream_get_state(stream) == PA_STREAM_READY;
    if (!ready) {
      PlatformError error = pulse_.error();
      release();
      throw error;
    }
    pump();
  }
  ~PulsePlayback() override {
    PulseConnection::Lock lock(pulse_);
    release();
  }
  PulsePlayback(const PulsePlayback&) = delete;
  PulsePlayback& operator=(const PulsePlayback&) = delete;

  int64_t position() override {
    PulseConnection::Lock lock(pulse_);
    pump();
    pa_usec_t time = 0;
    if (pa_stream_get_time(stream_, &time) == 0)
      heard_ = std::max(heard_, static_cast<int64_t>(static_cast<double>(time) * rate_ / 1e6));
    heard_ = std::min<int64_t>(heard_, static_cast<int64_t>(samples_.size()));
    return heard_;
  }

  bool finished() override {
    PulseConnection::Lock lock(pulse_);
    pump();
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
      return true;
    if (drain_ && pa_operation_get_state(drain_) != PA_OPERATION_RUNNING)
      return true;
    // A server that never confirms the drain must not hold the queue forever.
    if (heard_ < static_cast<int64_t>(samples_.size()))
      return false;
    if (!heardAll_)
      heardAll_ = Clock::now();
    return Clock::now() - *heardAll_ > std::chrono::seconds(2);
  }

  bool failed() override {
    PulseConnection::Lock lock(pulse_);
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(pulse_.context())) ||
           !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) ||
           (drain_ && pa_operation_get_state(drain_) == PA_OPERATION_CANCELLED);
  }

  void setPaused(bool paused) override {
    PulseConnection::Lock lock(pulse_);
    if (pa_operation* operation = pa_stream_cork(stream_, paused ? 1 : 0, nullptr, nullptr))
      pa_operation_unref(operation);
  }

private:
  static void onState(pa_stream*, void* userdata) {
    static_cast<PulseConnection*>(userdata)->wake();
  }

  // Under the lock: hands the server what it has room for, then asks it to play out the rest.
  void pump() {
    if (pa_stream_get_state(stream_) != PA_STREAM_READY)
      return;
    size_t remaining = (samples_.size() - written_) * sizeof(int16_t);
    size_t room = pa_stream_writable_size(stream_);
    if (remaining > 0 && room != static_cast<size_t>(-1) && room > 0) {
      size_t bytes = std::min(remaining, room) / sizeof(int16_t) * sizeof(int16_t);
      if (bytes > 0 && pa_stream_write(stream_, samples_.data() + written_, bytes, nullptr, 0,
                                       PA_SEEK_RELATIVE) == 0)
        written_ += bytes / sizeof(int16_t);
    }
    if (written_ == samples_.size() && !drain_)
      drain_ = pa_stream_drain(stream_, nullptr, nullptr);
  }

  void release() {
    if (drain_) {
      pa_operation_cancel(drain_);
      pa_operation_unref(drain_);
      drain_ = nullptr;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
      pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  PulseConnection& pulse_;
  std::span<const int16_t> samples_;
  double rate_;
  pa_stream* stream_ = nullptr;
  size_t written_ = 0;
  pa_operation* drain_ = nullptr;
  int64_t heard_ = 0;
  std::optional<Clock::time_point> heardAll_;
};

} // namespace

PulseAudioOutput::PulseAudioOutput(std::string clientName) : clientName_(std::move(clientName)) {}

PulseAudioOutput::~PulseAudioOutput() = default;

std::unique_ptr<Playback> PulseAudioOutput::play(std::span<const int16_t> samples, double rate) {
  bool lost = false;
  if (pulse_) {
    PulseConnection::Lock lock(*pulse_);
    lost = !PA_CONTEXT_IS_GOOD(pa_context_get_state(pulse_->context()));
  }
  if (lost)
    pulse_.reset();
  if (!pulse_)
    pulse_ = std::make_unique<PulseConnection>(clientName_);
  return std::make_unique<PulsePlayback>(*pulse_, samples, rate);
}

} // namespace quelt
