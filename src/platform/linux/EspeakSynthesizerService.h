#pragma once

#include "platform/SynthesizerService.h"

#include <functional>
#include <memory>
#include <string>

namespace quelt {

// Speech synthesis with espeak-ng, spoken aloud through PulseAudio.
//
// espeak-ng keeps global state and is not thread-safe, so every call into it, from every
// instance, runs on one synthesis thread that starts, and initialises espeak-ng, on first use.
// Each synthesizer plays on a stream of its own from a thread of its own, so a long utterance
// being spoken holds up no render. Without a sound server speech is still paced in real time,
// silently, so its reports keep their timing.
//
// Voices: one per language each espeak-ng voice offers, identified as
// "espeak-ng:<voice file>:<espeak language>", e.g. "espeak-ng:gmw/en-US:en-us". The language is
// reported with a two-letter region in upper case ("en-us" becomes "en-US"); the rest stays as
// espeak-ng spells it. Rendered audio is mono int16 at espeak-ng's rate.
class EspeakSynthesizerService : public SynthesizerService {
public:
  // `log` hears, once per service, when audio cannot be played and speech goes silent.
  explicit EspeakSynthesizerService(std::function<void(const std::string&)> log = {});

  std::vector<VoiceInfo> voices() override;
  std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) override;
  // Matches the whole language case-insensitively first, then its base language; espeak-ng's
  // own preference decides among voices that match equally. No language: the "en" voice.
  std::optional<VoiceInfo> voiceWithLanguage(const std::optional<std::string>& language) override;
  std::string currentLanguageCode() override;
  // Its `write` hands `onBuffer` a block that is reused once the call returns: copy what you keep.
  std::shared_ptr<SpeechSynthesizer> makeSynthesizer() override;

  // espeak-ng's output rate, starting espeak-ng if it has not started; 0 when it cannot start.
  int sampleRate();

private:
  // Passes on the first message only; shared with the synthesizers this service makes.
  std::function<void(const std::string&)> logOnce_;
};

} // namespace quelt
