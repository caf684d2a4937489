#include "Speaker.h"

#include "ClockPlayback.h"
#include "GrowingPlayback.h"
#include "WorkerJob.h"
#include "platform/PlatformError.h"

#include <chrono>
#include <span>

namespace quelt {
namespace {

constexpr double firstPartSeconds = 1.0;

} // namespace

void Speaker::setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void Speaker::enqueue(const std::shared_ptr<Spoken>& spoken) {
  std::lock_guard lock(mutex_);
  queue_.push_back(spoken);
  unsynthesized_.push_back(spoken);
  changed_.notify_all();
}

bool Speaker::stop(SpeechBoundary boundary) {
  std::lock_guard lock(mutex_);
  if (!current_ && queue_.empty())
    return false;
  for (auto& spoken : queue_) {
    spoken->cancelled = true;
    cancelled_.push_back(spoken);
  }
  queue_.clear();
  abandonSynthesis();
  if (current_ && (!stop_ || boundary == SpeechBoundary::immediate))
    stop_ = boundary;
  changed_.notify_all();
  return true;
}

bool Speaker::pause(SpeechBoundary boundary) {
  std::lock_guard lock(mutex_);
  if ((!current_ && queue_.empty()) || paused_)
    return false;
  paused_ = true;
  pauseAt_ = boundary;
  changed_.notify_all();
  return true;
}

bool Speaker::resume() {
  std::lock_guard lock(mutex_);
  if (!paused_)
    return false;
  paused_ = false;
  changed_.notify_all();
  return true;
}

void Speaker::shutdown() {
  std::lock_guard lock(mutex_);
  shutdown_ = true;
  for (auto& spoken : queue_)
    spoken->cancelled = true;
  abandonSynthesis();
  changed_.notify_all();
}

void Speaker::synthesizeAll() {
  auto worker = workers_->makeWorker();
  for (;;) {
    std::shared_ptr<Spoken> next;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return shutdown_ || !unsynthesized_.empty(); });
      if (shutdown_)
        return;
      next = unsynthesized_.front();
      unsynthesized_.pop_front();
      synthesizing_ = next;
      worker_ = worker.get();
    }
    synthesize(*next, *worker);
    std::lock_guard lock(mutex_);
    synthesizing_.reset();
    worker_ = nullptr;
    next->ready = true;
    changed_.notify_all();
  }
}

void Speaker::run() {
  for (;;) {
    std::deque<std::shared_ptr<Spoken>> cancelled;
    std::shared_ptr<Spoken> next;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] {
        return shutdown_ || !cancelled_.empty() || (!queue_.empty() && queue_.front()->ready);
      });
      if (shutdown_)
        return;
      cancelled.swap(cancelled_);
      if (!queue_.empty() && queue_.front()->ready) {
        next = queue_.front();
        queue_.pop_front();
        current_ = next;
      }
    }
    for (const auto& spoken : cancelled)
      report(&SynthesizerDelegate::didCancel, spoken->utterance);
    if (next)
      play(*next);
  }
}

void Speaker::abandonSynthesis() {
  if (synthesizing_ && synthesizing_->cancelled && worker_)
    worker_->kill();
}

void Speaker::synthesize(Spoken& spoken, SynthesisWorkerProcess& worker) {
  if (spoken.cancelled) {
    spoken.end(Spoken::State::failed);
    return;
  }
  try {
    Json job = jobFor(*spoken.utterance, *workers_->catalogue(), WordReports::on);
    SynthesisWorkerProcess::Handlers handlers;
    handlers.format = [&](int64_t rate) { spoken.setRate(static_cast<double>(rate)); };
    handlers.audio = [&](std::span<const int16_t> samples) {
      spoken.append(samples);
      // The player may start on it once there is a second of it: each part the player starts
      // on its own costs a moment of silence between them, and most texts are made far faster
      // than they are said, so there are seldom more than two.
      std::lock_guard lock(mutex_);
      if (!spoken.ready && spoken.rate() > 0 &&
          static_cast<double>(spoken.available()) >= spoken.rate() * firstPartSeconds) {
        spoken.ready = true;
        changed_.notify_all();
      }
      return !spoken.cancelled;
    };
    handlers.word = [&](int64_t sample, int64_t location, int64_t length) {
      spoken.addWord({sample, {location, length}});
    };
    handlers.abandoned = [&] { return spoken.cancelled.load(); };
    bool whole =
        worker.run(job, handlers) == SynthesisWorkerProcess::Outcome::spoken && spoken.rate() > 0;
    spoken.end(whole ? Spoken::State::whole : Spoken::State::failed);
    return;
  } catch (const PlatformError& error) {
    if (!spoken.cancelled)
      workers_->log("speech synthesis failed: " + error.description());
  }
  spoken.end(Spoken::State::failed);
}

std::unique_ptr<Playback> Speaker::open(std::span<const int16_t> samples, double rate) {
  std::string reason;
  try {
    if (!output_)
      output_ = workers_->makeOutput();
    return output_->play(samples, rate);
  } catch (const PlatformError& error) {
    reason = error.description();
  }
  workers_->logOnce()("audio playback unavailable (" + reason + "); speech is timed but silent");
  return std::make_unique<ClockPlayback>(static_cast<int64_t>(samples.size()), rate);
}

void Speaker::play(Spoken& spoken) {
  const auto& utterance = spoken.utterance;
  Outcome outcome = Outcome::cancelled;
  // Ready with no audio: synthesis failed, or the text has nothing to say.
  bool sayable = spoken.available() > 0 || spoken.state() == Spoken::State::whole;
  if (sayable && spoken.rate() > 0 && !spoken.cancelled) {
    GrowingPlayback playback(spoken, [this](std::span<const int16_t> samples, double rate) {
      return open(samples, rate);
    });
    report(&SynthesizerDelegate::didStart, utterance);
    outcome = perform(spoken, playback);
  }
  {
    std::lock_guard lock(mutex_);
    current_.reset();
    stop_.reset();
    // A pause waiting for a word that never came ends with its utterance.
    paused_ = false;
    // What is still being made of a stopped utterance is not wanted.
    if (spoken.state() == Spoken::State::synthesizing) {
      spoken.cancelled = true;
      abandonSynthesis();
    }
  }
  if (outcome == Outcome::finished)
    report(&SynthesizerDelegate::didFinish, utterance);
  else if (outcome == Outcome::cancelled)
    report(&SynthesizerDelegate::didCancel, utterance);
}

Speaker::Outcome Speaker::perform(const Spoken& spoken, Playback& playback) {
  const auto& utterance = spoken.utterance;
  size_t next = 0;
  bool paused = false;
  for (;;) {
    std::optional<SpeechBoundary> stop;
    bool wantPaused = false;
    SpeechBoundary pauseAt = SpeechBoundary::immediate;
    {
      std::lock_guard lock(mutex_);
      if (shutdown_)
        return Outcome::abandoned;
      stop = stop_;
      wantPaused = paused_;
      pauseAt = pauseAt_;
    }
    // A paused utterance reaches no further word, so it stops where it is.
    if (stop == SpeechBoundary::immediate || (stop && paused))
      return Outcome::cancelled;
    if (wantPaused && !paused && pauseAt == SpeechBoundary::immediate) {
      playback.setPaused(paused = true);
      report(&SynthesizerDelegate::didPause, utterance);
    } else if (!wantPaused && paused) {
      playback.setPaused(paused = false);
      report(&SynthesizerDelegate::didContinue, utterance);
    }
    if (!paused) {
      int64_t heard = playback.position();
      for (auto word = spoken.word(next); word && word->sample <= heard;
           word = spoken.word(++next)) {
        if (stop)
          return Outcome::cancelled;
        if (wantPaused) {
          playback.setPaused(paused = true);
          report(&SynthesizerDelegate::didPause, utterance);
          break;
        }
        report(&SynthesizerDelegate::willSpeakRange, utterance, word->range.location,
               word->range.length);
      }
      // A stream the sound server dropped did not say the rest.
      if (playback.failed()) {
        workers_->log("speech playback failed: the sound server ended the stream");
        return Outcome::cancelled;
      }
      if (!paused && playback.finished()) {
        // What a failed synthesis made was heard, but not the whole text.
        if (spoken.state() == Spoken::State::failed)
          return Outcome::cancelled;
        for (auto word = spoken.word(next); word; word = spoken.word(++next))
          report(&SynthesizerDelegate::willSpeakRange, utterance, word->range.location,
                 word->range.length);
        return Outcome::finished;
      }
    }
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

} // namespace quelt
