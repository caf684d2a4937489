#pragma once

#include "platform/AudioOutput.h"
#include "platform/SynthesizerService.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quelt {

class EspeakEngine;

using MakeAudioOutput = std::function<std::unique_ptr<AudioOutput>()>;

// Speech synthesis with espeak-ng, spoken aloud on an AudioOutput.
//
// espeak-ng crashes on some ordinary texts, keeps global state and cannot be interrupted, so it
// runs in worker processes (see SynthesisWorker.h): one per synthesizer for the spoken queue and
// a pool the size of the machine for renders, so that renders run side by side and a long one
// holds up neither a short one nor speech. A worker that crashes or hangs is killed and another
// started; the utterance is cancelled, the render fails. The voices are read from a worker once,
// and again when the voice data on disk changes, so looking one up never waits for synthesis.
// Without a sound server speech is still paced in real time, silently, so its reports keep their
// timing.
//
// Voices: one per language each espeak-ng voice offers, identified as
// "espeak-ng:<voice file>:<espeak language>", e.g. "espeak-ng:gmw/en-US:en-us". The language is
// reported with a two-letter region in upper case ("en-us" becomes "en-US"); the rest stays as
// espeak-ng spells it. Rendered audio is mono int16 at espeak-ng's rate.
class EspeakSynthesizerService : public SynthesizerService {
public:
  // `workerProgram` is the helper's binary. Each synthesizer makes one output with
  // `makeOutput` on first use and again after one failed; without one its speech is silent.
  // `log` hears the workers' own stderr lines, why
  // synthesis failed, and once per service that audio cannot be played. A worker silent for
  // `stallLimit` in the middle of a job is taken to be hung.
  explicit EspeakSynthesizerService(
      std::string workerProgram, MakeAudioOutput makeOutput = {},
      std::function<void(const std::string&)> log = {},
      std::chrono::milliseconds stallLimit = std::chrono::seconds(10));
  ~EspeakSynthesizerService() override;
  EspeakSynthesizerService(const EspeakSynthesizerService&) = delete;
  EspeakSynthesizerService& operator=(const EspeakSynthesizerService&) = delete;

  std::vector<VoiceInfo> voices() override;
  std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) override;
  // Matches the whole language case-insensitively first, then its base language; espeak-ng's
  // own preference decides among voices that match equally. No language: the "en" voice.
  std::optional<VoiceInfo> voiceWithLanguage(const std::optional<std::string>& language) override;
  std::string currentLanguageCode() override;
  // Its `write` hands `onBuffer` a block that is reused once the call returns: copy what you keep.
  std::shared_ptr<SpeechSynthesizer> makeSynthesizer() override;

private:
  std::shared_ptr<EspeakEngine> engine_;
};

} // namespace quelt
