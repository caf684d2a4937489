#include "process/LinuxPlatform.h"

#include "platform/EngineModule.h"
#include "platform/PlatformError.h"
#include "process/LinuxAuthorization.h"
#include "process/LinuxProcessInfo.h"

#include <dlfcn.h>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;

// Beside the binary in a build tree, or in the library directory of an installed prefix.
std::vector<std::string> moduleCandidates() {
  if (const char* path = std::getenv("QUELT_VOICE_ENGINES"); path && *path)
    return {path};
  std::error_code error;
  fs::path binary = fs::read_symlink("/proc/self/exe", error);
  if (error)
    return {engineModuleFile};
  fs::path directory = binary.parent_path();
  return {(directory / engineModuleFile).string(),
          (directory.parent_path() / "lib" / "quelt-voice-helper" / engineModuleFile).string()};
}

// Opens the module and finds one of its entry points. Never closed: objects it made outlive
// every caller.
void* openModule(const char* symbol, std::string& failure) {
  failure.clear();
  for (const auto& path : moduleCandidates()) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
      const char* reason = ::dlerror();
      failure += (failure.empty() ? "" : "; ") + std::string(reason ? reason : path);
      continue;
    }
    if (void* entry = ::dlsym(handle, symbol))
      return entry;
    failure += (failure.empty() ? "" : "; ") + path + " has no " + symbol;
  }
  return nullptr;
}

// Loads the module once, on first use, from whichever thread asks first.
class EngineLoader {
public:
  explicit EngineLoader(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

  // Null when the module cannot be loaded; `failure()` then says why.
  const EngineServices* services() {
    std::call_once(once_, [this] {
      auto* make =
          reinterpret_cast<MakeEngineServices*>(openModule(makeEngineServicesSymbol, failure_));
      if (make) {
        make(services_, log_);
        loaded_ = true;
      } else if (log_) {
        log_("audio and speech engines unavailable: " + failure_);
      }
    });
    return loaded_ ? &services_ : nullptr;
  }

  PlatformError failure() const {
    return PlatformError("dlopen", -1, "audio and speech engines unavailable: " + failure_);
  }

private:
  std::function<void(const std::string&)> log_;
  std::once_flag once_;
  EngineServices services_;
  bool loaded_ = false;
  std::string failure_;
};

using Engines = std::shared_ptr<EngineLoader>;

// One of the module's services, reached on first use. Each proxy below says what a call gives
// when the module cannot be loaded: an empty answer, or the reason as a PlatformError.
template <typename Service, std::shared_ptr<Service> EngineServices::*member>
class LazyService : public Service {
public:
  explicit LazyService(Engines engines) : engines_(std::move(engines)) {}

protected:
  // `orElse` when the module is not there.
  template <typename Result, typename... Parameters, typename... Arguments>
  Result orElse(Result (Service::*method)(Parameters...), Result fallback,
                Arguments&&... arguments) {
    auto* services = engines_->services();
    if (!services)
      return fallback;
    return ((*(services->*member)).*method)(std::forward<Arguments>(arguments)...);
  }
  // Throws why the module is not there.
  Service& required() {
    auto* services = engines_->services();
    if (!services)
      throw engines_->failure();
    return *(services->*member);
  }

  Engines engines_;
};

// A read that cannot reach the hardware yields nothing, as the seam allows.
class LazyHardware : public LazyService<HardwareProperties, &EngineServices::hardware> {
public:
  using LazyService::LazyService;
  bool has(AudioObjectId object, PropertyAddress address) override {
    return orElse(&HardwareProperties::has, false, object, address);
  }
  std::optional<uint32_t> size(AudioObjectId object, PropertyAddress address) override {
    return orElse(&HardwareProperties::size, {}, object, address);
  }
  std::optional<std::vector<AudioObjectId>> readObjectIds(AudioObjectId object,
                                                          PropertyAddress address) override {
    return orElse(&HardwareProperties::readObjectIds, {}, object, address);
  }
  std::optional<std::vector<uint32_t>> readBufferChannels(AudioObjectId object,
                                                          PropertyAddress address) override {
    return orElse(&HardwareProperties::readBufferChannels, {}, object, address);
  }
  std::optional<std::optional<std::string>> readString(AudioObjectId object,
                                                       PropertyAddress address) override {
    return orElse(&HardwareProperties::readString, {}, object, address);
  }
  std::optional<double> readFloat64(AudioObjectId object, PropertyAddress address) override {
    return orElse(&HardwareProperties::readFloat64, {}, object, address);
  }
  std::optional<uint32_t> readUInt32(AudioObjectId object, PropertyAddress address) override {
    return orElse(&HardwareProperties::readUInt32, {}, object, address);
  }
};

class LazyAudio : public LazyService<AudioServices, &EngineServices::audio> {
public:
  using LazyService::LazyService;
  std::unique_ptr<AudioFileReader> openForReading(const std::string& path) override {
    return required().openForReading(path);
  }
  std::unique_ptr<AudioFileWriter> openForWriting(const std::string& path,
                                                  const AudioFormat& encoding,
                                                  const AudioFormat& processing) override {
    return required().openForWriting(path, encoding, processing);
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    return orElse(&AudioServices::makeConverter, {}, from, to);
  }
};

class LazyAudioInput : public LazyService<AudioInputService, &EngineServices::audioInput> {
public:
  using LazyService::LazyService;
  std::unique_ptr<AudioInput> makeInput() override { return required().makeInput(); }
};

class LazyRecognizer : public LazyService<SpeechRecognizerService, &EngineServices::recognizer> {
public:
  using LazyService::LazyService;
  std::vector<std::string> supportedLocales() override {
    return orElse(&SpeechRecognizerService::supportedLocales, {});
  }
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override {
    return orElse(&SpeechRecognizerService::makeRecognizer, {}, locale);
  }
};

// The speech queue makes its synthesizer at start-up; the real one is made when it is first
// given something to say or render. Until then it has nothing to stop, pause or continue.
class LazySpeechSynthesizer : public SpeechSynthesizer {
public:
  explicit LazySpeechSynthesizer(Engines engines) : engines_(std::move(engines)) {}

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    if (real_)
      real_->setDelegate(std::move(delegate));
  }
  void speak(std::shared_ptr<SpeechUtterance> utterance) override {
    if (auto real = made()) {
      real->speak(std::move(utterance));
      return;
    }
    // Nothing can say it: the queue hears that it ended unspoken and goes on. Off this thread,
    // as a synthesizer's reports always are.
    std::thread([delegate = delegate(), utterance = std::move(utterance)] {
      if (auto strong = delegate.lock())
        strong->didCancel(utterance);
    }).detach();
  }
  bool stopSpeaking(SpeechBoundary boundary) override {
    auto real = existing();
    return real && real->stopSpeaking(boundary);
  }
  bool pauseSpeaking(SpeechBoundary boundary) override {
    auto real = existing();
    return real && real->pauseSpeaking(boundary);
  }
  bool continueSpeaking() override {
    auto real = existing();
    return real && real->continueSpeaking();
  }
  void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
             RenderFailure onFailure) override {
    if (auto real = made()) {
      real->write(std::move(utterance), std::move(onBuffer), std::move(onFailure));
      return;
    }
    // Nothing can render it: the renderer fails the file with the reason.
    std::thread([onFailure = std::move(onFailure), error = engines_->failure()] {
      onFailure(error);
    }).detach();
  }

private:
  std::shared_ptr<SpeechSynthesizer> made() {
    auto* services = engines_->services();
    std::lock_guard lock(mutex_);
    if (!real_ && services) {
      real_ = services->synthesizer->makeSynthesizer();
      real_->setDelegate(delegate_);
    }
    return real_;
  }
  std::shared_ptr<SpeechSynthesizer> existing() {
    std::lock_guard lock(mutex_);
    return real_;
  }
  std::weak_ptr<SynthesizerDelegate> delegate() {
    std::lock_guard lock(mutex_);
    return delegate_;
  }

  Engines engines_;
  std::mutex mutex_;
  std::shared_ptr<SpeechSynthesizer> real_;
  std::weak_ptr<SynthesizerDelegate> delegate_;
};

class LazySynthesizer : public LazyService<SynthesizerService, &EngineServices::synthesizer> {
public:
  using LazyService::LazyService;
  std::vector<VoiceInfo> voices() override { return orElse(&SynthesizerService::voices, {}); }
  std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) override {
    return orElse(&SynthesizerService::voiceWithIdentifier, {}, identifier);
  }
  std::optional<VoiceInfo> voiceWithLanguage(const std::optional<std::string>& language) override {
    return orElse(&SynthesizerService::voiceWithLanguage, {}, language);
  }
  std::string currentLanguageCode() override {
    return orElse(&SynthesizerService::currentLanguageCode, std::string("en-US"));
  }
  std::shared_ptr<SpeechSynthesizer> makeSynthesizer() override {
    return std::make_shared<LazySpeechSynthesizer>(engines_);
  }
};

} // namespace

Platform makeLinuxPlatform(std::function<void(const std::string&)> log) {
  auto engines = std::make_shared<EngineLoader>(std::move(log));
  Platform platform;
  platform.process = std::make_shared<LinuxProcessInfo>();
  platform.authorization = std::make_shared<LinuxAuthorization>();
  platform.hardware = std::make_shared<LazyHardware>(engines);
  platform.audio = std::make_shared<LazyAudio>(engines);
  platform.audioInput = std::make_shared<LazyAudioInput>(engines);
  platform.recognizer = std::make_shared<LazyRecognizer>(engines);
  platform.synthesizer = std::make_shared<LazySynthesizer>(engines);
  // No speech analyzer on Linux: platform.transcriber stays empty.
  return platform;
}

void runWorkerIfAsked(int argc, char** argv) {
  if (argc < 2 || (argv[1] != pocketsphinxModelCheck && argv[1] != synthesisWorkerMode))
    return;
  std::string failure;
  auto* run = reinterpret_cast<RunWorkerIfAsked*>(openModule(runWorkerSymbol, failure));
  if (run)
    run(argc, argv);
  // A malformed request, or no module to run it: the work cannot be done.
  ::_exit(1);
}

} // namespace quelt
