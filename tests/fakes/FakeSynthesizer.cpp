#include "fakes/FakeSynthesizer.h"

#include "fakes/Locked.h"

#include <thread>

namespace quelt::fakes {

void FakeSpeechSynthesizer::setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void FakeSpeechSynthesizer::speak(std::shared_ptr<SpeechUtterance> utterance) {
  std::lock_guard lock(mutex_);
  spoken_.push_back(std::move(utterance));
}

bool FakeSpeechSynthesizer::request(std::string what, bool reply) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(what));
  return reply;
}

namespace {
std::string boundaryName(SpeechBoundary boundary) {
  return boundary == SpeechBoundary::word ? "word" : "immediate";
}
} // namespace

bool FakeSpeechSynthesizer::stopSpeaking(SpeechBoundary boundary) {
  return request("stop " + boundaryName(boundary), true);
}

bool FakeSpeechSynthesizer::pauseSpeaking(SpeechBoundary boundary) {
  return request("pause " + boundaryName(boundary), answer);
}

bool FakeSpeechSynthesizer::continueSpeaking() { return request("continue", answer); }

void FakeSpeechSynthesizer::write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
                                  RenderFailure onFailure) {
  std::lock_guard lock(mutex_);
  rendered = std::move(utterance);
  onBuffer_ = std::move(onBuffer);
  onFailure_ = std::move(onFailure);
}

void FakeSpeechSynthesizer::tell(size_t spoken, const Telling& call) {
  std::shared_ptr<SynthesizerDelegate> delegate;
  std::shared_ptr<SpeechUtterance> utterance;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
    utterance = spoken_.at(spoken);
  }
  std::thread([&] { call(*delegate, utterance); }).join();
}

void FakeSpeechSynthesizer::report(Report what, size_t spoken) {
  // In the order of Report.
  using Member = void (SynthesizerDelegate::*)(const std::shared_ptr<SpeechUtterance>&);
  static constexpr Member calls[] = {&SynthesizerDelegate::didStart, &SynthesizerDelegate::didPause,
                                     &SynthesizerDelegate::didContinue,
                                     &SynthesizerDelegate::didFinish,
                                     &SynthesizerDelegate::didCancel};
  tell(spoken, [what](SynthesizerDelegate& delegate, const auto& utterance) {
    (delegate.*calls[static_cast<size_t>(what)])(utterance);
  });
}

void FakeSpeechSynthesizer::reportRange(size_t spoken, int64_t location, int64_t length) {
  tell(spoken, [&](SynthesizerDelegate& delegate, const auto& utterance) {
    delegate.willSpeakRange(utterance, location, length);
  });
}

void FakeSpeechSynthesizer::deliver(const PcmBuffer* buffer) {
  auto onBuffer = lockedCopy(mutex_, onBuffer_);
  std::thread([&] { onBuffer(buffer); }).join();
}

void FakeSpeechSynthesizer::fail(const PlatformError& error) {
  auto onFailure = lockedCopy(mutex_, onFailure_);
  std::thread([&] { onFailure(error); }).join();
}

std::vector<std::shared_ptr<SpeechUtterance>> FakeSpeechSynthesizer::spokenUtterances() {
  return lockedCopy(mutex_, spoken_);
}

std::vector<std::string> FakeSpeechSynthesizer::requests() { return lockedCopy(mutex_, requests_); }

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
