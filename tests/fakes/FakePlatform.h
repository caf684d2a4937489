#pragma once

#include "fakes/FakeProcessInfo.h"
#include "platform/Platform.h"
#include "platform/PlatformError.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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

// A recognition the test drives: it records what the segment did and answers through
// emit(), from a thread of its own as the platform does.
class FakeRecognitionTask : public RecognitionTask {
public:
  FakeRecognitionTask(RecognitionSettings settings, RecognitionHandler handler)
      : settings(std::move(settings)), handler_(std::move(handler)) {}

  void append(const PcmBuffer& buffer) override { appendedFrames += buffer.frameLength(); }
  void endAudio() override { ++endAudioCalls; }
  void cancel() override { ++cancelCalls; }

  void emit(std::optional<RecognitionResult> result, std::optional<PlatformError> error = {}) {
    std::thread([this, result, error] { handler_(result, error); }).join();
  }
  void emitPartial(const std::string& text) { emit(RecognitionResult{text, {}, false}); }
  void emitFinal(const std::string& text, std::vector<float> confidences = {}) {
    emit(RecognitionResult{text, std::move(confidences), true});
  }
  void emitError(const std::string& domain, int64_t code, const std::string& description) {
    emit(std::nullopt, PlatformError(domain, code, description));
  }

  const RecognitionSettings settings;
  std::atomic<uint64_t> appendedFrames = 0;
  std::atomic<int> endAudioCalls = 0;
  std::atomic<int> cancelCalls = 0;

private:
  RecognitionHandler handler_;
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

  // Every task started so far, in order.
  std::shared_ptr<FakeRecognitionTask> task(size_t index);
  size_t taskCount();
  void recordTask(std::shared_ptr<FakeRecognitionTask> task);

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeRecognitionTask>> tasks_;
};

// An analyzer the test scripts: the format it offers, whether it starts, and the results it
// hands out one by one (nextResult blocks until the test pushes one or ends them).
class FakeSpeechAnalyzer : public SpeechAnalyzer {
public:
  std::optional<AudioFormat> offered = AudioFormat{16000, 1, SampleFormat::int16, true};
  std::optional<PlatformError> startError;
  std::optional<PlatformError> finalizeError;
  std::atomic<int> cancelCalls = 0;

  std::optional<AudioFormat> bestAvailableAudioFormat() override { return offered; }
  void start(std::shared_ptr<AnalyzerInputStream> input) override;
  std::optional<TranscriptionResult> nextResult() override;
  void finalizeAndFinishThroughEndOfInput() override;
  void cancelAndFinishNow() override;

  void push(const std::string& text, bool isFinal);
  void endResults();
  void failResults(PlatformError error);
  std::shared_ptr<AnalyzerInputStream> input();

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TranscriptionResult> results_;
  bool ended_ = false;
  std::optional<PlatformError> failure_;
  std::shared_ptr<AnalyzerInputStream> input_;
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
  // Hands out `analyzer` (made up front so the test can script it) and notes the locale.
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const std::string& locale) override;

  std::shared_ptr<FakeSpeechAnalyzer> analyzer = std::make_shared<FakeSpeechAnalyzer>();
  std::string analyzerLocale;

private:
  std::mutex mutex_;
};

// Converters that only scale the frame count by the rate ratio; `convertible` false refuses to
// make one, `failing` makes every conversion fail. Files are not opened.
class FakeAudioServices : public AudioServices {
public:
  // Files that open: silent audio of the given format and length.
  struct File {
    AudioFormat format;
    int64_t frames = 0;
  };
  std::map<std::string, File> files;
  // Paths whose opening waits, as a named pipe's does for its writer, until releaseStalled().
  std::set<std::string> stalled;
  void releaseStalled();
  // Waits until an opening of a stalled path has begun.
  bool awaitStalledOpening();
  // What was written: each file's encoding and the frames it received. The bytes go to disk
  // too, as many as the encoding takes, so sizes can be read back.
  struct Written {
    AudioFormat encoding;
    AudioFormat processing;
    int64_t frames = 0;
  };
  std::map<std::string, Written> written;
  std::atomic<bool> convertible = true;
  std::atomic<bool> failing = false;
  std::atomic<int> converters = 0;

  std::unique_ptr<AudioFileReader> openForReading(const std::string& path) override;
  std::unique_ptr<AudioFileWriter> openForWriting(const std::string& path,
                                                  const AudioFormat& encoding,
                                                  const AudioFormat& processing) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;

private:
  std::mutex stallMutex_;
  std::condition_variable released_;
  bool stallsReleased_ = false;
  int stalledOpenings_ = 0;
};

// Microphones by uid with the format each offers. The test feeds the running input with
// deliver() and unplugs it with vanish().
class FakeAudioInputService : public AudioInputService {
public:
  class Input : public AudioInput {
  public:
    explicit Input(FakeAudioInputService& owner) : owner_(owner) {}
    int32_t selectDevice(const InputDeviceInfo& device) override;
    AudioFormat outputFormat() override { return format_; }
    void installTap(uint32_t, std::function<void(const PcmBuffer&)> onBuffer) override;
    void removeTap() override;
    void setConfigurationChangeHandler(std::function<void()> onChange) override;
    void start() override { running_ = true; }
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

  std::unique_ptr<AudioInput> makeInput() override;
  // The input that last selected a device.
  Input* latest();

private:
  friend class Input;
  std::mutex mutex_;
  Input* latest_ = nullptr;
};

// A synthesizer the test drives: it records what it was asked, and the test reports back as
// the platform would (from a thread of its own) with report().
class FakeSpeechSynthesizer : public SpeechSynthesizer {
public:
  enum class Report { started, paused, resumed, finished, cancelled };

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) override;
  void speak(std::shared_ptr<SpeechUtterance> utterance) override;
  bool stopSpeaking(SpeechBoundary boundary) override;
  bool pauseSpeaking(SpeechBoundary boundary) override;
  bool continueSpeaking() override;
  void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
             RenderFailure onFailure) override;

  void report(Report what, size_t spoken);
  void reportRange(size_t spoken, int64_t location, int64_t length);
  // Render side: hands a block (null: not PCM) to the render's callback, or fails the render.
  void deliver(const PcmBuffer* buffer);
  void fail(const PlatformError& error);

  std::vector<std::shared_ptr<SpeechUtterance>> spokenUtterances();
  std::vector<std::string> requests(); // "stop immediate", "pause word", "continue"
  std::atomic<bool> answer = true;     // what pause and continue answer
  std::shared_ptr<SpeechUtterance> rendered;

private:
  std::mutex mutex_;
  std::weak_ptr<SynthesizerDelegate> delegate_;
  std::vector<std::shared_ptr<SpeechUtterance>> spoken_;
  std::vector<std::string> requests_;
  RenderBuffer onBuffer_;
  RenderFailure onFailure_;
};

// Voices as given; every synthesizer made is kept for the test to drive.
class FakeSynthesizerService : public SynthesizerService {
public:
  std::vector<VoiceInfo> installed;
  std::string currentLanguage = "en-US";
  std::optional<VoiceInfo> defaultVoice;

  std::vector<VoiceInfo> voices() override { return installed; }
  std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) override;
  std::optional<VoiceInfo> voiceWithLanguage(const std::optional<std::string>& language) override;
  std::string currentLanguageCode() override { return currentLanguage; }
  std::shared_ptr<SpeechSynthesizer> makeSynthesizer() override;

  std::shared_ptr<FakeSpeechSynthesizer> synthesizer(size_t index);

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeSpeechSynthesizer>> made_;
};

// One of each fake, handed to the core as its platform.
struct FakePlatform {
  std::shared_ptr<FakeProcessInfo> process = std::make_shared<FakeProcessInfo>();
  std::shared_ptr<FakeAuthorization> authorization = std::make_shared<FakeAuthorization>();
  std::shared_ptr<FakeHardware> hardware = std::make_shared<FakeHardware>();
  std::shared_ptr<FakeRecognizerService> recognizer = std::make_shared<FakeRecognizerService>();
  std::shared_ptr<FakeTranscriber> transcriber = std::make_shared<FakeTranscriber>();
  std::shared_ptr<FakeAudioServices> audio = std::make_shared<FakeAudioServices>();
  std::shared_ptr<FakeAudioInputService> audioInput = std::make_shared<FakeAudioInputService>();
  std::shared_ptr<FakeSynthesizerService> synthesizer = std::make_shared<FakeSynthesizerService>();

  Platform platform() const {
    Platform platform;
    platform.process = process;
    platform.authorization = authorization;
    platform.hardware = hardware;
    platform.recognizer = recognizer;
    platform.transcriber = transcriber;
    platform.audio = audio;
    platform.audioInput = audioInput;
    platform.synthesizer = synthesizer;
    return platform;
  }
};

} // namespace quelt::fakes
