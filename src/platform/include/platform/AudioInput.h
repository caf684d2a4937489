#pragma once

#include "platform/AudioFormat.h"
#include "platform/InputDevice.h"
#include "platform/PcmBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quelt {

// The audio engine's input: records from one device and hands blocks of audio to a tap.
class AudioInput {
public:
  virtual ~AudioInput() = default;

  // Points the input at the device. 0 when that worked, otherwise the platform's status.
  virtual int32_t selectDevice(const InputDeviceInfo& device) = 0;
  // What the input delivers; a rate of 0 or no channels when the device offers nothing usable.
  virtual AudioFormat outputFormat() = 0;

  // The tap's callback runs on the input's own delivery thread, about `bufferFrames` at a time.
  virtual void installTap(uint32_t bufferFrames,
                          std::function<void(const PcmBuffer& buffer)> onBuffer) = 0;
  virtual void removeTap() = 0;
  // Called from any thread when the device's configuration changed (it vanished, say); the
  // input may have stopped running as a result.
  virtual void setConfigurationChangeHandler(std::function<void()> onChange) = 0;

  // Throws PlatformError when recording cannot start.
  virtual void start() = 0;
  virtual void stop() = 0;
  virtual bool isRunning() = 0;
};

class AudioInputService {
public:
  virtual ~AudioInputService() = default;
  virtual std::unique_ptr<AudioInput> makeInput() = 0;
};

} // namespace quelt
