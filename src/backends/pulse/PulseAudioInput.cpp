#include "pulse/PulseAudioInput.h"

#include <pulse/error.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace quelt {
namespace {

PlatformError pulseError(int code) { return PlatformError("PulseAudio", code, pa_strerror(code)); }

bool usable(const AudioFormat& format) { return format.sampleRate > 0 && format.channels != 0; }

// Why a record stream did not come up, under the lock: a server that did not answer in time, one
// that will not take another stream, or whatever else it said.
PlatformError recordError(const PulseConnection& pulse, pa_stream* stream) {
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING || state == PA_STREAM_UNCONNECTED)
    return pulse.unresponsive();
  int code = pa_context_errno(pulse.context());
  // A source takes so many recording streams from all its clients together (256 in PulseAudio
  // 16); past that the server answers "too large".
  if (code == PA_ERR_TOOLARGE)
    return PlatformError("PulseAudio", code,
                         "the sound server refused another recording stream (too many open)");
  return pulse.error();
}

// The mainloop's callbacks already hold its lock and locking again from its thread aborts, so
// code that both sides reach takes the lock only from other threads. Without a connection there
// is no mainloop thread to guard against.
class MainloopGuard {
public:
  explicit MainloopGuard(const std::shared_ptr<PulseConnection>& connection)
      : mainloop_(connection && !pa_threaded_mainloop_in_thread(connection->mainloop())
                      ? connection->mainloop()
                      : nullptr) {
    if (mainloop_)
      pa_threaded_mainloop_lock(mainloop_);
  }
  ~MainloopGuard() {
    if (mainloop_)
      pa_threaded_mainloop_unlock(mainloop_);
  }
  MainloopGuard(const MainloopGuard&) = delete;
  MainloopGuard& operator=(const MainloopGuard&) = delete;

private:
  pa_threaded_mainloop* mainloop_;
};

class PulseAudioInput : public AudioInput {
public:
  explicit PulseAudioInput(std::shared_ptr<PulseLink> link) : link_(std::move(link)) {}
  ~PulseAudioInput() override;

  int32_t selectDevice(const InputDeviceInfo& device) override;
  AudioFormat outputFormat() override;
  void installTap(uint32_t bufferFrames,
                  std::function<void(const PcmBuffer& buffer)> onBuffer) override;
  void removeTap() override;
  void setConfigurationChangeHandler(std::function<void()> onChange) override;
  void start() override;
  void stop() override;
  bool isRunning() override;

private:
  using Tap = std::function<void(const PcmBuffer& buffer)>;
  using ChangeHandler = std::function<void()>;

  // Finds the selected source, or the server's default, in the link's list and takes its
  // format; false when there is no such source.
  bool resolveSource();
  // Under the lock from here on.
  void prepareBuffer();
  void releaseStream();
  void deliver(pa_stream* stream);
  bool consume(const char* bytes, size_t samples, pa_stream* stream);
  void streamStateChanged(pa_stream* stream);

  static void onStreamRead(pa_stream* stream, size_t, void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);

  std::shared_ptr<PulseLink> link_;
  // The connection the stream lives on; the link's, as it was when recording last started.
  std::shared_ptr<PulseConnection> connection_;
  std::optional<std::string> selected_; // none: the server's default source
  std::string source_;                  // what format_ describes; empty until resolved
  AudioFormat format_;

  // Under the mainloop lock: the delivery thread reads these.
  pa_stream* stream_ = nullptr;
  bool running_ = false;
  uint32_t tapFrames_ = 0;
  // Shared so that a tap may remove or replace itself, and its buffer, while it runs.
  std::shared_ptr<const Tap> tap_;
  std::shared_ptr<PcmBuffer> buffer_;
  size_t filledSamples_ = 0;
  std::shared_ptr<const ChangeHandler> onChange_;
};

PulseAudioInput::~PulseAudioInput() { stop(); }

bool PulseAudioInput::resolveSource() {
  auto devices = link_->devices();
  std::string wanted = selected_ ? *selected_ : devices->defaultSourceName;
  for (const auto& source : devices->sources) {
    // A sink's monitor records what is played, which is no microphone.
    if (!wanted.empty() && source.name == wanted && source.monitorOfSink == PA_INVALID_INDEX) {
      source_ = source.name;
      format_ = AudioFormat{static_cast<double>(source.sampleRate), source.channels,
                            SampleFormat::float32, true};
      return true;
    }
  }
  return false;
}

int32_t PulseAudioInput::selectDevice(const InputDeviceInfo& device) {
  selected_ = device.uid;
  source_.clear();
  format_ = AudioFormat{};
  return resolveSource() ? 0 : PA_ERR_NOENTITY;
}

AudioFormat PulseAudioInput::outputFormat() {
  // Without a default source there is no format to report.
  if (!usable(format_) && !selected_)
    resolveSource();
  return usable(format_) ? format_ : AudioFormat{0, 0, SampleFormat::float32, true};
}

void PulseAudioInput::prepareBuffer() {
  filledSamples_ = 0;
  if (tap_ && usable(format_))
    buffer_ = std::make_shared<PcmBuffer>(format_, tapFrames_);
  else
    buffer_.reset();
}

void PulseAudioInput::installTap(uint32_t bufferFrames, Tap onBuffer) {
  auto tap = std::make_shared<const Tap>(std::move(onBuffer));
  MainloopGuard guard(connection_);
  tap_ = std::move(tap);
  tapFrames_ = std::max(bufferFrames, 1u);
  prepareBuffer();
}

void PulseAudioInput::removeTap() {
  MainloopGuard guard(connection_);
  tap_.reset();
}

void PulseAudioInput::setConfigurationChangeHandler(ChangeHandler onChange) {
  auto handler = onChange ? std::make_shared<const ChangeHandler>(std::move(onChange)) : nullptr;
  MainloopGuard guard(connection_);
  onChange_ = std::move(handler);
}

void PulseAudioInput::start() {
  if (source_.empty() && !resolveSource())
    throw pulseError(PA_ERR_NOENTITY);
  std::shared_ptr<PulseConnection> current = link_->connection();
  if (current != connection_) {
    // The link connected afresh: any stream there was died with the old connection.
    stop();
    connection_ = std::move(current);
  }
  PulseConnection& pulse = *connection_;
  PulseConnection::Lock lock(pulse);
  if (running_)
    return;
  releaseStream();
  prepareBuffer();

  pa_sample_spec pcm{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(format_.sampleRate),
                     static_cast<uint8_t>(format_.channels)};
  pa_stream* stream = pa_stream_new(pulse.context(), "Microphone", &pcm, nullptr);
  if (!stream)
    throw pulse.error();
  stream_ = stream;
  pa_stream_set_state_callback(stream, &onStreamState, this);
  pa_stream_set_read_callback(stream, &onStreamRead, this);

  uint32_t serverChooses = static_cast<uint32_t>(-1);
  pa_buffer_attr attributes{serverChooses, serverChooses, serverChooses, serverChooses,
                            serverChooses};
  if (tap_)
    attributes.fragsize = static_cast<uint32_t>(tapFrames_ * pa_frame_size(&pcm));
  // An unplugged source must end the recording rather than quietly switch to another one.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  // Audio may reach the tap while this waits, and the tap may stop the input.
  pa_stream_ref(stream);
  bool requested = pa_stream_connect_record(stream, source_.c_str(), &attributes, flags) == 0;
  bool connected = requested && pulse.waitUntil([stream] {
    pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  });
  bool ready = connected && pa_stream_get_state(stream) == PA_STREAM_READY;
  pa_stream_unref(stream);
  if (stream_ != stream)
    return;
  if (!ready) {
    PlatformError error = requested ? recordError(pulse, stream) : pulse.error();
    releaseStream();
    throw error;
  }
  running_ = true;
}

void PulseAudioInput::stop() {
  MainloopGuard guard(connection_);
  running_ = false;
  releaseStream();
  filledSamples_ = 0;
}

bool PulseAudioInput::isRunning() {
  MainloopGuard guard(connection_);
  return running_ && stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void PulseAudioInput::releaseStream() {
  if (!stream_)
    return;
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
    pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseAudioInput::onStreamRead(pa_stream* stream, size_t, void* userdata) {
  static_cast<PulseAudioInput*>(userdata)->deliver(stream);
}

void PulseAudioInput::onStreamState(pa_stream* stream, void* userdata) {
  static_cast<PulseAudioInput*>(userdata)->streamStateChanged(stream);
}

void PulseAudioInput::deliver(pa_stream* stream) {
  // A tap that stops the input releases the stream under this loop's feet.
  pa_stream_ref(stream);
  while (stream_ == stream) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
      break;
    // No data with a length is a hole in the recording: it counts as silence.
    if (!consume(static_cast<const char*>(data), bytes / sizeof(float), stream))
      break;
    pa_stream_drop(stream);
  }
  pa_stream_unref(stream);
}

bool PulseAudioInput::consume(const char* bytes, size_t samples, pa_stream* stream) {
  size_t done = 0;
  while (done < samples) {
    if (!tap_ || !buffer_)
      return true;
    std::span<float> plane = buffer_->floatPlane(0);
    size_t count = std::min(samples - done, plane.size() - filledSamples_);
    // memcpy: nothing promises the server's blocks are aligned for float.
    if (bytes)
      std::memcpy(plane.data() + filledSamples_, bytes + done * sizeof(float),
                  count * sizeof(float));
    else
      std::fill_n(plane.begin() + static_cast<ptrdiff_t>(filledSamples_), count, 0.0f);
    filledSamples_ += count;
    done += count;
    if (filledSamples_ < plane.size())
      continue;
    filledSamples_ = 0;
    buffer_->setFrameLength(tapFrames_);
    std::shared_ptr<const Tap> tap = tap_;
    std::shared_ptr<PcmBuffer> buffer = buffer_;
    // An exception must not unwind through libpulse.
    try {
      (*tap)(*buffer);
    } catch (...) {
    }
    if (stream_ != stream)
      return false;
  }
  return true;
}

void PulseAudioInput::streamStateChanged(pa_stream* stream) {
  connection_->wake();
  if (stream != stream_ || !running_ || PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
    return;
  running_ = false;
  std::shared_ptr<const ChangeHandler> handler = onChange_;
  if (!handler)
    return;
  try {
    (*handler)();
  } catch (...) {
  }
}

} // namespace

PulseAudioInputService::PulseAudioInputService(std::shared_ptr<PulseLink> link)
    : link_(std::move(link)) {}

std::unique_ptr<AudioInput> PulseAudioInputService::makeInput() {
  return std::make_unique<PulseAudioInput>(link_);
}

} // namespace quelt
