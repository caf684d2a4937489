#pragma once

#include "platform/AudioOutput.h"
#include "platform/SynthesizerService.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quelt {

class SynthesisWorkers;

using MakeAudioOutput = std::function<std::unique_ptr<AudioOutput>()>;

// Speech synthesis by the engines of the synthesis workers (see SynthesisWorker.h), spoken
// aloud on an AudioOutput.
//
// Engines crash on some ordinary texts, keep global state and cannot be interrupted, so they
// run in worker processes: one per synthesizer for the spoken queue and a pool the size of the
// machine for renders, so that renders run side by side and a long one holds up neither a
// short one nor speech. A worker that crashes or hangs is killed and another started; the
// utterance is cancelled, the render fails. The voices are read from a worker once, and again
// when the engines' voice data on disk changes, so looking one up never waits for synthesis.
// Without a sound server speech is still paced in real time, silently, so its reports keep
// their timing.
//
// Voices are identified as "<engine>:<the engine's key>", e.g. "espeak-ng:gmw/en-US:en-us" or
// "flite:slt". Rendered audio is mono int16 at the voice's rate.
class WorkerSynthesizerService : public SynthesizerService {
public:
  // `workerProgram` is the helper's binary. Each synthesizer makes one output with
  // `makeOutput` on first use and again after one failed; without one its speech is silent.
  // `log` hears the workers' own stderr lines, why
  // synthesis failed, and once per service that audio cannot be played. A worker silent for
  // `stallLimit` in the middle of a job is taken to be hung.
  explicit WorkerSynthesizerService(
      std::string workerProgram, MakeAudioOutput makeOutput = {},
      std::function<void(const std::string&)> log = {},
      std::chrono::milliseconds stallLimit = std::chrono::seconds(10));
  ~WorkerSynthesizerService() override;
  WorkerSynthesizerService(const WorkerSynthesizerService&) = delete;
  WorkerSynthesizerService& operator=(const WorkerSynthesizerService&) = delete;

  std::vector<VoiceInfo> voices() override;
  std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) override;
  // Matches the whole language case-insensitively first, then its base language; among voices
  // that match equally, the first engine's, then that engine's own preference. No language:
  // the "en" voice.
  std::optional<VoiceInfo> voiceWithLanguage(const std::optional<std::string>& language) override;
  std::string currentLanguageCode() override;
  // Its `write` hands `onBuffer` a block that is reused once the call returns: copy what you keep.
  std::shared_ptr<SpeechSynthesizer> makeSynthesizer() override;

private:
  std::shared_ptr<SynthesisWorkers> workers_;
};

} // namespace quelt
