#pragma once

#include "audio/AudioSourceDriver.h"
#include "platform/AudioInput.h"
#include "platform/InputDevice.h"
#include "protocol/MainQueue.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace quelt {

// Audio from an input device, through the audio engine's input. Buffers arrive in the device's
// own format, about 2048 frames at a time. A change of the device's configuration that stops
// the input (it was unplugged, say) fails the capture; one that leaves it running goes unseen.
class MicrophoneSource : public AudioSourceDriver,
                         public std::enable_shared_from_this<MicrophoneSource> {
public:
  static constexpr uint32_t bufferFrames = 2048;

  // Throws HelperError "device_not_found" when the input cannot use the device, and
  // "no_input_device" when the device offers no usable format.
  static std::shared_ptr<MicrophoneSource> create(AudioInputService& service,
                                                  const InputDeviceInfo& device, PostToMain post);
  ~MicrophoneSource() override;

  const AudioFormat& format() const override { return format_; }
  void start(BufferHandler onBuffer, EndHandler onEnd, FailureHandler onFailure) override;
  void stop() override;

private:
  MicrophoneSource(std::unique_ptr<AudioInput> input, AudioFormat format, PostToMain post);

  std::unique_ptr<AudioInput> input_;
  AudioFormat format_;
  PostToMain post_;
  // Each start and stop begins a new capture; a failure posted for an earlier one, or one
  // already reported, is dropped.
  std::atomic<uint64_t> capture_ = 0;
};

} // namespace quelt
