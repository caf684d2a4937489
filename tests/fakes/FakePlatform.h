#pragma once

#include "fakes/FakeProcessInfo.h"
#include "platform/Platform.h"
#include "platform/PlatformError.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace quelt::fakes {

// Permissions with given raw states; a prompt waits until the test answers it.
class FakeAuthorization : public Authorization {
public:
  std::atomic<int64_t> microphone = 3;
  std::atomic<int64_t> speech = 3;
  std::atomic<int> prompts = 0;

  int64_t microphoneStatus() override { return microphone; }
  int64_t speechStatus() override { return speech; }
  void requestMicrophoneAccess(std::function<void(bool)> done) override {
    ++prompts;
    std::lock_guard lock(mutex_);
    pendingMicrophone_ = std::move(done);
  }
  void requestSpeechAuthorization(std::function<void(int64_t)> done) override {
    ++prompts;
    std::lock_guard lock(mutex_);
    pendingSpeech_ = std::move(done);
  }

  // The user answers the prompt: the state changes, then the platform calls back from a
  // thread of its own with a flag the helper must not rely on.
  void answerMicrophone(int64_t newState, bool claimedGranted) {
    microphone = newState;
    std::function<void(bool)> done;
    {
      std::lock_guard lock(mutex_);
      done = std::exchange(pendingMicrophone_, nullptr);
    }
    std::thread([done, claimedGranted] { done(claimedGranted); }).join();
  }
  void answerSpeech(int64_t newState, int64_t claimedState) {
    speech = newState;
    std::function<void(int64_t)> done;
    {
      std::lock_guard lock(mutex_);
      done = std::exchange(pendingSpeech_, nullptr);
    }
    std::thread([done, claimedState] { done(claimedState); }).join();
  }

private:
  std::mutex mutex_;
  std::function<void(bool)> pendingMicrophone_;
  std::function<void(int64_t)> pendingSpeech_;
};

// Audio hardware with given devices. Optional fields left empty are properties the device
// lacks; `readFails` makes every read of that device's properties fail.
class FakeHardware : public HardwareProperties {
public:
  struct Device {
    AudioObjectId id = 0;
    std::vector<uint32_t> inputBuffers; // channels per input buffer; empty: output only
    std::optional<std::optional<std::string>> uid;
    std::optional<std::optional<std::string>> name;
    std::optional<std::string> manufacturer;
    std::optional<double> sampleRate;
    std::optional<uint32_t> transport;
    bool readFails = false;
  };

  std::vector<Device> devices;
  std::optional<AudioObjectId> defaultDevice;
  bool listFails = false;

  bool has(AudioObjectId object, PropertyAddress address) override;
  std::optional<uint32_t> size(AudioObjectId object, PropertyAddress address) override;
  std::optional<std::vector<AudioObjectId>> readObjectIds(AudioObjectId object,
                                                          PropertyAddress address) override;
  std::optional<std::vector<uint32_t>> readBufferChannels(AudioObjectId object,
                                                          PropertyAddress address) override;
  std::optional<std::optional<std::string>> readString(AudioObjectId object,
                                                       PropertyAddress address) override;
  std::optional<double> readFloat64(AudioObjectId object, PropertyAddress address) override;
  std::optional<uint32_t> readUInt32(AudioObjectId object, PropertyAddress address) override;

private:
  const Device* find(AudioObjectId id) const;
};

// The classic recognizer: `supported` is its locale list; `recognizers` the locales a
// recognizer can be made for, with what each reports.
class FakeRecognizerService : public SpeechRecognizerService {
public:
  struct Traits {
    bool onDevice = true;
    bool available = true;
  };
  std::vector<std::string> supported;
  std::map<std::string, Traits> recognizers;
  std::atomic<int> made = 0;

  std::vector<std::string> supportedLocales() override { return supported; }
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;
};

// The analyzer's transcriber and its asset inventory.
class FakeTranscriber : public TranscriberService {
public:
  std::vector<std::string> supported;
  std::vector<std::string> installed;
  std::optional<PlatformError> inventoryError;
  std::optional<PlatformError> downloadError;
  std::atomic<int> downloads = 0;

  std::vector<std::string> supportedLocales() override;
  std::vector<std::string> installedLocales() override;
  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(const std::string&) override;

private:
  std::mutex mutex_;
};

// One of each fake, handed to the core as its platform.
struct FakePlatform {
  std::shared_ptr<FakeProcessInfo> process = std::make_shared<FakeProcessInfo>();
  std::shared_ptr<FakeAuthorization> authorization = std::make_shared<FakeAuthorization>();
  std::shared_ptr<FakeHardware> hardware = std::make_shared<FakeHardware>();
  std::shared_ptr<FakeRecognizerService> recognizer = std::make_shared<FakeRecognizerService>();
  std::shared_ptr<FakeTranscriber> transcriber = std::make_shared<FakeTranscriber>();

  Platform platform() const {
    Platform platform;
    platform.process = process;
    platform.authorization = authorization;
    platform.hardware = hardware;
    platform.recognizer = recognizer;
    platform.transcriber = transcriber;
    return platform;
  }
};

} // namespace quelt::fakes
