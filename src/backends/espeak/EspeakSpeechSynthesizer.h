#pragma once

#include "EspeakEngine.h"
#include "Speaker.h"
#include "platform/SynthesizerService.h"

#include <memory>
#include <mutex>
#include <thread>

namespace quelt {

// A synthesizer of the service: speaks through a Speaker of its own, renders on the engine's
// pool.
class EspeakSpeechSynthesizer : public SpeechSynthesizer {
public:
  explicit EspeakSpeechSynthesizer(std::shared_ptr<EspeakEngine> engine);
  ~EspeakSpeechSynthesizer() override;
  EspeakSpeechSynthesizer(const EspeakSpeechSynthesizer&) = delete;
  EspeakSpeechSynthesizer& operator=(const EspeakSpeechSynthesizer&) = delete;

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) override {
    speaker_->setDelegate(std::move(delegate));
  }

  void speak(std::shared_ptr<SpeechUtterance> utterance) override;

  bool stopSpeaking(SpeechBoundary boundary) override { return speaker_->stop(boundary); }
  bool pauseSpeaking(SpeechBoundary boundary) override { return speaker_->pause(boundary); }
  bool continueSpeaking() override { return speaker_->resume(); }

  void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
             RenderFailure onFailure) override {
    engine_->render({std::move(utterance), std::move(onBuffer), std::move(onFailure)});
  }

private:
  std::shared_ptr<EspeakEngine> engine_;
  std::shared_ptr<Speaker> speaker_;
  std::mutex threadMutex_;
  std::thread player_;
  std::thread synthesis_;
};

} // namespace quelt
