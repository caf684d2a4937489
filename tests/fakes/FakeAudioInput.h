#pragma once

#include "platform/AudioInput.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quelt::fakes {

// Microphones by uid with the format each offers; `startFails` keeps inputs from starting. The
// test feeds the running input with deliver() and unplugs it with vanish().
class FakeAudioInputService : public AudioInputService {
public:
  class Input : public AudioInput {
  public:
    explicit Input(FakeAudioInputService& owner) : owner_(owner) {}
    ~Input() override;
    int32_t selectDevice(const InputDeviceInfo& device) override;
    AudioFormat outputFormat() override { return format_; }
    void installTap(uint32_t, std::function<void(const PcmBuffer&)> onBuffer) override;
    void removeTap() override;
    void setConfigurationChangeHandler(std::function<void()> onChange) override;
    void start() override;
    void stop() override { running_ = false; }
    bool isRunning() override { return running_; }

    void deliver(const PcmBuffer& buffer);
    void vanish();

  private:
    FakeAudioInputService& owner_;
    AudioFormat format_;
    std::mutex mutex_;
    std::function<void(const PcmBuffer&)> tap_;
    std::function<void()> onChange_;
    std::atomic<bool> running_ = false;
  };

  std::map<std::string, AudioFormat> devices;
  std::atomic<bool> startFails = false;

  std::unique_ptr<AudioInput> makeInput() override;
  // The newest input that still exists.
  Input* latest();

private:
  friend class Input;
  std::mutex mutex_;
  std::vector<Input*> live_;
};

} // namespace quelt::fakes
