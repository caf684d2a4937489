#pragma once

#include "platform/SynthesizerService.h"

#include <atomic>
#include <mutex>

namespace quelt::fakes {

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
  using Telling =
      std::function<void(SynthesizerDelegate&, const std::shared_ptr<SpeechUtterance>&)>;
  // Tells the delegate about spoken utterance `spoken`, from a thread of its own.
  void tell(size_t spoken, const Telling& call);
  bool request(std::string what, bool reply);

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

} // namespace quelt::fakes
