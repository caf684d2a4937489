#include "speech/SpeechController.h"

#include "protocol/OpHost.h"

namespace quelt {

// Moves the synthesizer's reports, from whatever thread they come on, to the main queue.
class SpeechController::Delegate : public SynthesizerDelegate {
public:
  Delegate(std::weak_ptr<SpeechController> controller, PostToMain post)
      : controller_(std::move(controller)), post_(std::move(post)) {}

  void didStart(const std::shared_ptr<SpeechUtterance>& u) override {
    forward([u](SpeechController& c) { c.started(u); });
  }
  void willSpeakRange(const std::shared_ptr<SpeechUtterance>& u, int64_t location,
                      int64_t length) override {
    forward([u, location, length](SpeechController& c) { c.range(u, location, length); });
  }
  void didPause(const std::shared_ptr<SpeechUtterance>& u) override {
    forward([u](SpeechController& c) { c.paused(u); });
  }
  void didContinue(const std::shared_ptr<SpeechUtterance>& u) override {
    forward([u](SpeechController& c) { c.resumed(u); });
  }
  void didFinish(const std::shared_ptr<SpeechUtterance>& u) override {
    forward([u](SpeechController& c) { c.finished(u, events::speechFinished); });
  }
  void didCancel(const std::shared_ptr<SpeechUtterance>& u) override {
    forward([u](SpeechController& c) { c.finished(u, events::speechCancelled); });
  }

private:
  void forward(std::function<void(SpeechController&)> report) {
    post_([controller = controller_, report = std::move(report)] {
      if (auto alive = controller.lock())
        report(*alive);
    });
  }

  std::weak_ptr<SpeechController> controller_;
  PostToMain post_;
};

SpeechController::SpeechController(std::shared_ptr<OpHost> host, SynthesizerService& synthesizer)
    : host_(host), synthesizer_(synthesizer.makeSynthesizer()) {}

std::shared_ptr<SpeechController> SpeechController::create(std::shared_ptr<OpHost> host,
                                                           SynthesizerService& synthesizer) {
  PostToMain post = host->poster();
  std::shared_ptr<SpeechController> controller(new SpeechController(std::move(host), synthesizer));
  controller->delegate_ = std::make_shared<Delegate>(controller, std::move(post));
  controller->synthesizer_->setDelegate(controller->delegate_);
  return controller;
}

void SpeechController::send(EventName event, int64_t id, Json extra) {
  extra["utterance"] = id;
  if (auto host = host_.lock())
    host->event(event, std::move(extra));
}

void SpeechController::speak(int64_t id, const SpeechParams& params, Queueing queueing) {
  if (queueing == Queueing::replaceAll)
    stopAll(SpeechBoundary::immediate);
  queue_.push_back({id, params.makeUtterance()});
  pump();
}

void SpeechController::pump() {
  if (current_ || queue_.empty())
    return;
  current_ = std::move(queue_.front());
  queue_.pop_front();
  synthesizer_->speak(current_->utterance);
}

void SpeechController::stopAll(SpeechBoundary boundary) {
  auto dropped = std::move(queue_);
  queue_.clear();
  for (const auto& entry : dropped)
    send(events::speechCancelled, entry.id);
  if (current_) {
    stopRequested_ = current_->id;
    synthesizer_->stopSpeaking(boundary);
  }
}

bool SpeechController::stop(int64_t id, SpeechBoundary boundary) {
  if (current_ && current_->id == id) {
    stopRequested_ = id;
    synthesizer_->stopSpeaking(boundary);
    return true;
  }
  for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) {
    if (entry->id != id)
      continue;
    queue_.erase(entry);
    send(events::speechCancelled, id);
    return true;
  }
  return false;
}

bool SpeechController::isCurrent(std::optional<int64_t> id) const {
  return current_ && (!id || *id == current_->id);
}

bool SpeechController::pause(std::optional<int64_t> id, SpeechBoundary boundary) {
  return isCurrent(id) && synthesizer_->pauseSpeaking(boundary);
}

bool SpeechController::resume(std::optional<int64_t> id) {
  return isCurrent(id) && synthesizer_->continueSpeaking();
}

void SpeechController::shutdown() {
  queue_.clear();
  if (current_)
    synthesizer_->stopSpeaking(SpeechBoundary::immediate);
}

std::optional<int64_t>
SpeechController::idFor(const std::shared_ptr<SpeechUtterance>& utterance) const {
  if (current_ && current_->utterance == utterance)
    return current_->id;
  for (const auto& entry : queue_)
    if (entry.utterance == utterance)
      return entry.id;
  return std::nullopt;
}

void SpeechController::started(const std::shared_ptr<SpeechUtterance>& utterance) {
  if (auto id = idFor(utterance))
    send(events::speechStarted, *id);
}

void SpeechController::range(const std::shared_ptr<SpeechUtterance>& utterance, int64_t location,
                             int64_t length) {
  if (auto id = idFor(utterance))
    send(events::speechRange, *id, {{"location", location}, {"length", length}});
}

void SpeechController::paused(const std::shared_ptr<SpeechUtterance>& utterance) {
  if (auto id = idFor(utterance))
    send(events::speechPaused, *id);
}

void SpeechController::resumed(const std::shared_ptr<SpeechUtterance>& utterance) {
  if (auto id = idFor(utterance))
    send(events::speechResumed, *id);
}

void SpeechController::finished(const std::shared_ptr<SpeechUtterance>& utterance,
                                EventName event) {
  std::optional<int64_t> id;
  if (current_ && current_->utterance == utterance) {
    id = current_->id;
    current_.reset();
  } else {
    id = idFor(utterance);
  }
  if (!id)
    return;
  EventName reported = event;
  if (stopRequested_ == id) {
    reported = events::speechCancelled;
    stopRequested_.reset();
  }
  send(reported, *id);
  pump();
}

} // namespace quelt
