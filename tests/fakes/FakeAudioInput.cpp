#include "fakes/FakeAudioInput.h"

#include "fakes/Locked.h"
#include "platform/PlatformError.h"

namespace quelt::fakes {

FakeAudioInputService::Input::~Input() {
  std::lock_guard lock(owner_.mutex_);
  std::erase(owner_.live_, this);
}

int32_t FakeAudioInputService::Input::selectDevice(const InputDeviceInfo& device) {
  std::lock_guard lock(owner_.mutex_);
  auto found = owner_.devices.find(device.uid);
  if (found == owner_.devices.end())
    return -10851; // the hardware layer's "invalid property value"
  format_ = found->second;
  return 0;
}

void FakeAudioInputService::Input::installTap(uint32_t,
                                              std::function<void(const PcmBuffer&)> onBuffer) {
  std::lock_guard lock(mutex_);
  tap_ = std::move(onBuffer);
}

void FakeAudioInputService::Input::removeTap() {
  std::lock_guard lock(mutex_);
  tap_ = nullptr;
}

void FakeAudioInputService::Input::setConfigurationChangeHandler(std::function<void()> onChange) {
  std::lock_guard lock(mutex_);
  onChange_ = std::move(onChange);
}

void FakeAudioInputService::Input::start() {
  if (owner_.startFails)
    throw PlatformError("fake", 561017449, "the input would not start");
  running_ = true;
}

void FakeAudioInputService::Input::deliver(const PcmBuffer& buffer) {
  std::lock_guard lock(mutex_);
  if (tap_ && running_)
    tap_(buffer);
}

void FakeAudioInputService::Input::vanish() {
  running_ = false;
  if (auto onChange = lockedCopy(mutex_, onChange_))
    onChange();
}

std::unique_ptr<AudioInput> FakeAudioInputService::makeInput() {
  auto input = std::make_unique<Input>(*this);
  std::lock_guard lock(mutex_);
  live_.push_back(input.get());
  return input;
}

FakeAudioInputService::Input* FakeAudioInputService::latest() {
  std::lock_guard lock(mutex_);
  return live_.empty() ? nullptr : live_.back();
}

} // namespace quelt::fakes
