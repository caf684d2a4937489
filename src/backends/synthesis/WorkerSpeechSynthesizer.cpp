#include "WorkerSpeechSynthesizer.h"

namespace quelt {

WorkerSpeechSynthesizer::WorkerSpeechSynthesizer(std::shared_ptr<SynthesisWorkers> workers)
    : workers_(workers), speaker_(std::make_shared<Speaker>(std::move(workers))) {}

WorkerSpeechSynthesizer::~WorkerSpeechSynthesizer() {
  speaker_->shutdown();
  std::lock_guard lock(threadMutex_);
  for (std::thread* thread : {&player_, &synthesis_}) {
    if (!thread->joinable())
      continue;
    // A delegate may let go of its synthesizer from the player's own reports.
    if (thread->get_id() == std::this_thread::get_id())
      thread->detach();
    else
      thread->join();
  }
}

void WorkerSpeechSynthesizer::speak(std::shared_ptr<SpeechUtterance> utterance) {
  if (!utterance)
    return;
  {
    // The threads start with the first utterance: renders need none.
    std::lock_guard lock(threadMutex_);
    if (!player_.joinable()) {
      player_ = std::thread([speaker = speaker_] { speaker->run(); });
      synthesis_ = std::thread([speaker = speaker_] { speaker->synthesizeAll(); });
    }
  }
  speaker_->enqueue(std::make_shared<Spoken>(std::move(utterance)));
}

} // namespace quelt
