#include "audio/MicrophoneSource.h"

#include "common/NativeError.h"

namespace quelt {

std::shared_ptr<MicrophoneSource> MicrophoneSource::create(AudioInputService& service,
                                                           const InputDeviceInfo& device,
                                                           PostToMain post) {
  std::unique_ptr<AudioInput> input = service.makeInput();
  if (int32_t status = input->selectDevice(device); status != 0)
    throw HelperError(errors::deviceNotFound, device.uid,
                      {.domain = "CoreAudio", .nativeCode = status});
  AudioFormat format = input->outputFormat();
  if (!(format.sampleRate > 0) || format.channels == 0)
    throw HelperError(errors::noInputDevice,
                      "input device " + device.name + " reports no usable format");
  return std::shared_ptr<MicrophoneSource>(
      new MicrophoneSource(std::move(input), format, std::move(post)));
}

MicrophoneSource::MicrophoneSource(std::unique_ptr<AudioInput> input, AudioFormat format,
                                   PostToMain post)
    : input_(std::move(input)), format_(format), post_(std::move(post)) {}

MicrophoneSource::~MicrophoneSource() { stop(); }

void MicrophoneSource::start(BufferHandler onBuffer, EndHandler, FailureHandler onFailure) {
  uint64_t capture = ++capture_;
  input_->installTap(bufferFrames, std::move(onBuffer));
  // Weak: the input keeps its handler for as long as it lives, and the input is ours.
  std::weak_ptr<MicrophoneSource> weak = weak_from_this();
  input_->setConfigurationChangeHandler([weak, post = post_, capture, onFailure] {
    post([weak, capture, onFailure] {
      auto self = weak.lock();
      if (!self || self->capture_ != capture || self->input_->isRunning())
        return;
      ++self->capture_;
      onFailure(HelperError(errors::native, "audio input configuration changed; capture stopped",
                            {.domain = "AVFAudio"}));
    });
  });
  try {
    input_->start();
  } catch (const std::exception& error) {
    stop();
    throw nativeError(error, "start audio engine");
  }
}

void MicrophoneSource::stop() {
  ++capture_;
  input_->setConfigurationChangeHandler(nullptr);
  input_->removeTap();
  input_->stop();
}

} // namespace quelt
