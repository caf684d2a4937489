#include "fakes/FakePlatform.h"

#include <algorithm>
#include <fstream>

namespace quelt::fakes {

const FakeHardware::Device* FakeHardware::find(AudioObjectId id) const {
  auto found = std::find_if(devices.begin(), devices.end(),
                            [id](const Device& device) { return device.id == id; });
  return found == devices.end() ? nullptr : &*found;
}

bool FakeHardware::has(AudioObjectId object, PropertyAddress address) {
  if (object == property::systemObject)
    return address.selector == property::devices ||
           (address.selector == property::defaultInputDevice && defaultDevice);
  const Device* device = find(object);
  if (!device)
    return false;
  switch (address.selector) {
  case property::streamConfiguration:
    return true;
  case property::deviceUid:
    return device->uid.has_value();
  case property::name:
    return device->name.has_value();
  case property::manufacturer:
    return device->manufacturer.has_value();
  case property::nominalSampleRate:
    return device->sampleRate.has_value();
  case property::transportType:
    return device->transport.has_value();
  default:
    return false;
  }
}

std::optional<uint32_t> FakeHardware::size(AudioObjectId object, PropertyAddress address) {
  if (object == property::systemObject && address.selector == property::devices)
    return listFails ? std::nullopt : std::optional<uint32_t>(4 * devices.size());
  const Device* device = find(object);
  if (!device || device->readFails)
    return std::nullopt;
  if (address.selector == property::streamConfiguration)
    return device->inputBuffers.empty() ? 0 : 4 + 16 * device->inputBuffers.size();
  return std::nullopt;
}

std::optional<std::vector<AudioObjectId>> FakeHardware::readObjectIds(AudioObjectId object,
                                                                      PropertyAddress address) {
  if (object != property::systemObject)
    return std::nullopt;
  if (address.selector == property::defaultInputDevice)
    return defaultDevice ? std::optional(std::vector{*defaultDevice}) : std::nullopt;
  std::vector<AudioObjectId> ids;
  for (const auto& device : devices)
    ids.push_back(device.id);
  return ids;
}

std::optional<std::vector<uint32_t>> FakeHardware::readBufferChannels(AudioObjectId object,
                                                                      PropertyAddress) {
  const Device* device = find(object);
  if (!device || device->readFails)
    return std::nullopt;
  return device->inputBuffers;
}

std::optional<std::optional<std::string>> FakeHardware::readString(AudioObjectId object,
                                                                   PropertyAddress address) {
  const Device* device = find(object);
  if (!device || device->readFails)
    return std::nullopt;
  if (address.selector == property::deviceUid)
    return device->uid;
  if (address.selector == property::name)
    return device->name;
  if (address.selector == property::manufacturer && device->manufacturer)
    return std::optional<std::string>(*device->manufacturer);
  return std::nullopt;
}

std::optional<double> FakeHardware::readFloat64(AudioObjectId object, PropertyAddress) {
  const Device* device = find(object);
  return device && !device->readFails ? device->sampleRate : std::nullopt;
}

std::optional<uint32_t> FakeHardware::readUInt32(AudioObjectId object, PropertyAddress) {
  const Device* device = find(object);
  return device && !device->readFails ? device->transport : std::nullopt;
}

namespace {

class FakeRecognizer : public SpeechRecognizer {
public:
  FakeRecognizer(FakeRecognizerService& service, FakeRecognizerService::Traits traits)
      : service_(service), traits_(traits) {}
  bool supportsOnDeviceRecognition() const override { return traits_.onDevice; }
  bool isAvailable() override { return traits_.available; }
  std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings& settings,
                                             RecognitionHandler handler) override {
    auto task = std::make_shared<FakeRecognitionTask>(settings, std::move(handler));
    service_.recordTask(task);
    return task;
  }

private:
  FakeRecognizerService& service_;
  FakeRecognizerService::Traits traits_;
};

class FakeInstallation : public AssetInstallationRequest {
public:
  FakeInstallation(FakeTranscriber& owner, std::function<void()> install)
      : owner_(owner), install_(std::move(install)) {}
  void downloadAndInstall() override {
    ++owner_.downloads;
    if (owner_.downloadError)
      throw *owner_.downloadError;
    install_();
  }

private:
  FakeTranscriber& owner_;
  std::function<void()> install_;
};

} // namespace

std::shared_ptr<SpeechRecognizer> FakeRecognizerService::makeRecognizer(const std::string& locale) {
  auto found = recognizers.find(locale);
  if (found == recognizers.end())
    return nullptr;
  ++made;
  return std::make_shared<FakeRecognizer>(*this, found->second);
}

std::shared_ptr<FakeRecognitionTask> FakeRecognizerService::task(size_t index) {
  std::lock_guard lock(mutex_);
  return index < tasks_.size() ? tasks_[index] : nullptr;
}

size_t FakeRecognizerService::taskCount() {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void FakeRecognizerService::recordTask(std::shared_ptr<FakeRecognitionTask> task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

void FakeSpeechAnalyzer::start(std::shared_ptr<AnalyzerInputStream> input) {
  if (startError)
    throw *startError;
  std::lock_guard lock(mutex_);
  input_ = std::move(input);
}

std::optional<TranscriptionResult> FakeSpeechAnalyzer::nextResult() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return ended_ || failure_ || !results_.empty(); });
  if (!results_.empty()) {
    auto result = results_.front();
    results_.pop_front();
    return result;
  }
  if (failure_)
    throw *failure_;
  return std::nullopt;
}

void FakeSpeechAnalyzer::finalizeAndFinishThroughEndOfInput() {
  if (finalizeError)
    throw *finalizeError;
}

void FakeSpeechAnalyzer::cancelAndFinishNow() {
  ++cancelCalls;
  endResults();
}

void FakeSpeechAnalyzer::push(const std::string& text, bool isFinal) {
  {
    std::lock_guard lock(mutex_);
    results_.push_back({text, isFinal});
  }
  changed_.notify_all();
}

void FakeSpeechAnalyzer::endResults() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

void FakeSpeechAnalyzer::failResults(PlatformError error) {
  {
    std::lock_guard lock(mutex_);
    failure_ = std::move(error);
  }
  changed_.notify_all();
}

std::shared_ptr<AnalyzerInputStream> FakeSpeechAnalyzer::input() {
  std::lock_guard lock(mutex_);
  return input_;
}

std::shared_ptr<SpeechAnalyzer> FakeTranscriber::makeAnalyzer(const std::string& locale) {
  std::lock_guard lock(mutex_);
  analyzerLocale = locale;
  return analyzer;
}

std::vector<std::string> FakeTranscriber::supportedLocales() {
  std::lock_guard lock(mutex_);
  return supported;
}

std::vector<std::string> FakeTranscriber::installedLocales() {
  std::lock_guard lock(mutex_);
  return installed;
}

std::unique_ptr<AssetInstallationRequest>
FakeTranscriber::assetInstallationRequest(const std::string& locale) {
  if (inventoryError)
    throw *inventoryError;
  std::lock_guard lock(mutex_);
  if (std::find(installed.begin(), installed.end(), locale) != installed.end())
    return nullptr;
  return std::make_unique<FakeInstallation>(*this, [this, locale] {
    std::lock_guard lock(mutex_);
    installed.push_back(locale);
  });
}

namespace {

class ScalingConverter : public AudioConverter {
public:
  ScalingConverter(const FakeAudioServices& owner, AudioFormat from, AudioFormat to)
      : owner_(owner), ratio_(to.sampleRate / from.sampleRate) {}
  bool convert(const PcmBuffer& input, PcmBuffer& output) override {
    output.setFrameLength(static_cast<uint32_t>(input.frameLength() * ratio_));
    return !owner_.failing;
  }
  bool flush(PcmBuffer& output) override {
    output.setFrameLength(0);
    return true;
  }

private:
  const FakeAudioServices& owner_;
  double ratio_;
};

} // namespace

namespace {

class SilentFile : public AudioFileReader {
public:
  explicit SilentFile(FakeAudioServices::File file) : file_(file) {}
  AudioFormat processingFormat() const override { return file_.format; }
  int64_t length() const override { return file_.frames; }
  int64_t framePosition() const override { return position_; }
  void read(PcmBuffer& buffer, uint32_t frames) override {
    auto count = static_cast<uint32_t>(
        std::min<int64_t>({frames, buffer.frameCapacity(), file_.frames - position_}));
    buffer.setFrameLength(count);
    buffer.silence();
    position_ += count;
  }

private:
  FakeAudioServices::File file_;
  int64_t position_ = 0;
};

} // namespace

void FakeAudioServices::releaseStalled() {
  {
    std::lock_guard lock(stallMutex_);
    stallsReleased_ = true;
  }
  released_.notify_all();
}

bool FakeAudioServices::awaitStalledOpening() {
  std::unique_lock lock(stallMutex_);
  return released_.wait_for(lock, std::chrono::seconds(10),
                            [this] { return stalledOpenings_ > 0; });
}

std::unique_ptr<AudioFileReader> FakeAudioServices::openForReading(const std::string& path) {
  if (stalled.count(path)) {
    std::unique_lock lock(stallMutex_);
    ++stalledOpenings_;
    released_.notify_all();
    released_.wait(lock, [this] { return stallsReleased_; });
  }
  auto found = files.find(path);
  if (found == files.end())
    throw PlatformError("fake", 2, "No such file or directory");
  return std::make_unique<SilentFile>(found->second);
}

namespace {

class RecordingWriter : public AudioFileWriter {
public:
  RecordingWriter(FakeAudioServices& owner, std::string path)
      : owner_(owner), path_(std::move(path)), file_(path_, std::ios::binary) {}
  void write(const PcmBuffer& buffer) override {
    auto& written = owner_.written[path_];
    written.frames += buffer.frameLength();
    size_t bytes =
        buffer.frameLength() * written.encoding.channels * written.encoding.bytesPerSample();
    file_ << std::string(bytes, '\0');
  }
  void close() override { file_.close(); }

private:
  FakeAudioServices& owner_;
  std::string path_;
  std::ofstream file_;
};

} // namespace

std::unique_ptr<AudioFileWriter> FakeAudioServices::openForWriting(const std::string& path,
                                                                   const AudioFormat& encoding,
                                                                   const AudioFormat& processing) {
  written[path] = {encoding, processing, 0};
  return std::make_unique<RecordingWriter>(*this, path);
}

int32_t FakeAudioInputService::Input::selectDevice(const InputDeviceInfo& device) {
  std::lock_guard lock(owner_.mutex_);
  owner_.latest_ = this;
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

void FakeAudioInputService::Input::deliver(const PcmBuffer& buffer) {
  std::lock_guard lock(mutex_);
  if (tap_ && running_)
    tap_(buffer);
}

void FakeAudioInputService::Input::vanish() {
  running_ = false;
  std::function<void()> onChange;
  {
    std::lock_guard lock(mutex_);
    onChange = onChange_;
  }
  if (onChange)
    onChange();
}

std::unique_ptr<AudioInput> FakeAudioInputService::makeInput() {
  return std::make_unique<Input>(*this);
}

FakeAudioInputService::Input* FakeAudioInputService::latest() {
  std::lock_guard lock(mutex_);
  return latest_;
}

std::unique_ptr<AudioConverter> FakeAudioServices::makeConverter(const AudioFormat& from,
                                                                 const AudioFormat& to) {
  if (!convertible)
    return nullptr;
  ++converters;
  return std::make_unique<ScalingConverter>(*this, from, to);
}

void FakeSpeechSynthesizer::setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void FakeSpeechSynthesizer::speak(std::shared_ptr<SpeechUtterance> utterance) {
  std::lock_guard lock(mutex_);
  spoken_.push_back(std::move(utterance));
}

namespace {
const char* boundaryName(SpeechBoundary boundary) {
  return boundary == SpeechBoundary::word ? "word" : "immediate";
}
} // namespace

bool FakeSpeechSynthesizer::stopSpeaking(SpeechBoundary boundary) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::string("stop ") + boundaryName(boundary));
  return true;
}

bool FakeSpeechSynthesizer::pauseSpeaking(SpeechBoundary boundary) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::string("pause ") + boundaryName(boundary));
  return answer;
}

bool FakeSpeechSynthesizer::continueSpeaking() {
  std::lock_guard lock(mutex_);
  requests_.push_back("continue");
  return answer;
}

void FakeSpeechSynthesizer::write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
                                  RenderFailure onFailure) {
  std::lock_guard lock(mutex_);
  rendered = std::move(utterance);
  onBuffer_ = std::move(onBuffer);
  onFailure_ = std::move(onFailure);
}

void FakeSpeechSynthesizer::report(Report what, size_t spoken) {
  std::shared_ptr<SynthesizerDelegate> delegate;
  std::shared_ptr<SpeechUtterance> utterance;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
    utterance = spoken_.at(spoken);
  }
  std::thread([&] {
    switch (what) {
    case Report::started:
      delegate->didStart(utterance);
      break;
    case Report::paused:
      delegate->didPause(utterance);
      break;
    case Report::resumed:
      delegate->didContinue(utterance);
      break;
    case Report::finished:
      delegate->didFinish(utterance);
      break;
    case Report::cancelled:
      delegate->didCancel(utterance);
      break;
    }
  }).join();
}

void FakeSpeechSynthesizer::reportRange(size_t spoken, int64_t location, int64_t length) {
  std::shared_ptr<SynthesizerDelegate> delegate;
  std::shared_ptr<SpeechUtterance> utterance;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
    utterance = spoken_.at(spoken);
  }
  std::thread([&] { delegate->willSpeakRange(utterance, location, length); }).join();
}

void FakeSpeechSynthesizer::deliver(const PcmBuffer* buffer) {
  RenderBuffer onBuffer;
  {
    std::lock_guard lock(mutex_);
    onBuffer = onBuffer_;
  }
  std::thread([&] { onBuffer(buffer); }).join();
}

void FakeSpeechSynthesizer::fail(const PlatformError& error) {
  RenderFailure onFailure;
  {
    std::lock_guard lock(mutex_);
    onFailure = onFailure_;
  }
  std::thread([&] { onFailure(error); }).join();
}

std::vector<std::shared_ptr<SpeechUtterance>> FakeSpeechSynthesizer::spokenUtterances() {
  std::lock_guard lock(mutex_);
  return spoken_;
}

std::vector<std::string> FakeSpeechSynthesizer::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::optional<VoiceInfo>
FakeSynthesizerService::voiceWithIdentifier(const std::string& identifier) {
  for (const auto& voice : installed)
    if (voice.identifier == identifier)
      return voice;
  return std::nullopt;
}

std::optional<VoiceInfo>
FakeSynthesizerService::voiceWithLanguage(const std::optional<std::string>& language) {
  if (!language)
    return defaultVoice;
  for (const auto& voice : installed)
    if (voice.language == *language)
      return voice;
  return std::nullopt;
}

std::shared_ptr<SpeechSynthesizer> FakeSynthesizerService::makeSynthesizer() {
  auto synthesizer = std::make_shared<FakeSpeechSynthesizer>();
  std::lock_guard lock(mutex_);
  made_.push_back(synthesizer);
  return synthesizer;
}

std::shared_ptr<FakeSpeechSynthesizer> FakeSynthesizerService::synthesizer(size_t index) {
  std::lock_guard lock(mutex_);
  return index < made_.size() ? made_[index] : nullptr;
}

} // namespace quelt::fakes
