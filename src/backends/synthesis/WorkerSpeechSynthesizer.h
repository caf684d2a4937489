#pragma once

#include "Speaker.h"
#include "SynthesisWorkers.h"
#include "platform/SynthesizerService.h"

#include <memory>
#include <mutex>
#include <thread>

namespace quelt {

// A synthesizer of the service: speaks through a Speaker of its own, renders on the shared
// pool.
class WorkerSpeechSynthesizer : public SpeechSynthesizer {
public:
  explicit WorkerSpeechSynthesizer(std::shared_ptr<SynthesisWorkers> workers);
  ~WorkerSpeechSynthesizer() override;
  WorkerSpeechSynthesizer(const WorkerSpeechSynthesizer&) = delete;
  WorkerSpeechSynthesizer& operator=(const WorkerSpeechSynthesizer&) = delete;

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) override {
    speaker_->setDelegate(std::move(delegate));
  }

  void speak(std::shared_ptr<SpeechUtterance> utterance) override;

  bool stopSpeaking(SpeechBoundary boundary) override { return speaker_->stop(boundary); }
  bool pauseSpeaking(SpeechBoundary boundary) override { return speaker_->pause(boundary); }
  bool continueSpeaking() override { return speaker_->resume(); }

  void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
             RenderFailure onFailure) override {
    workers_->render({std::move(utterance), std::move(onBuffer), std::move(onFailure)});
  }

private:
  std::shared_ptr<SynthesisWorkers> workers_;
  std::shared_ptr<Speaker> speaker_;
  std::mutex threadMutex_;
  std::thread player_;
  std::thread synthesis_;
};

} // namespace quelt
