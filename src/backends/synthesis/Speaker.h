#pragma once

#include "Spoken.h"
#include "SynthesisWorkerProcess.h"
#include "SynthesisWorkers.h"
#include "platform/AudioOutput.h"
#include "platform/SynthesizerService.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quelt {

// Synthesizes one utterance after another in a worker of its own and plays them, each on its
// own thread, telling the delegate how it goes; an utterance plays as soon as its first audio
// is made. Requests only set what the threads should do;
// the player does it and reports, so each utterance's reports come from one thread in order.
class Speaker {
public:
  explicit Speaker(std::shared_ptr<SynthesisWorkers> workers) : workers_(std::move(workers)) {}

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate);
  void enqueue(const std::shared_ptr<Spoken>& spoken);
  bool stop(SpeechBoundary boundary);
  bool pause(SpeechBoundary boundary);
  bool resume();
  void shutdown();

  // The synthesis thread: one utterance after another, in the order they came.
  void synthesizeAll();
  // The player thread.
  void run();

private:
  enum class Outcome { finished, cancelled, abandoned };

  // Under mutex_: an utterance dropped while being synthesized is not finished; its worker
  // goes, whatever it is in the middle of.
  void abandonSynthesis();

  void synthesize(Spoken& spoken, SynthesisWorkerProcess& worker);

  template <typename... Args>
  void report(void (SynthesizerDelegate::*method)(const std::shared_ptr<SpeechUtterance>&, Args...),
              const std::shared_ptr<SpeechUtterance>& utterance, Args... args) {
    std::shared_ptr<SynthesizerDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      delegate = delegate_.lock();
    }
    if (delegate)
      (delegate.get()->*method)(utterance, args...);
  }

  std::unique_ptr<Playback> open(std::span<const int16_t> samples, double rate);
  void play(Spoken& spoken);
  Outcome perform(const Spoken& spoken, Playback& playback);

  const std::shared_ptr<SynthesisWorkers> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::weak_ptr<SynthesizerDelegate> delegate_;
  // Waiting to be played, in order; the front may still be synthesizing.
  std::deque<std::shared_ptr<Spoken>> queue_;
  // Waiting for the synthesis thread, and the one it is on with its worker.
  std::deque<std::shared_ptr<Spoken>> unsynthesized_;
  std::shared_ptr<Spoken> synthesizing_;
  SynthesisWorkerProcess* worker_ = nullptr;
  // Dropped from the queue, to be reported.
  std::deque<std::shared_ptr<Spoken>> cancelled_;
  std::shared_ptr<Spoken> current_;
  std::optional<SpeechBoundary> stop_;
  bool paused_ = false;
  SpeechBoundary pauseAt_ = SpeechBoundary::immediate;
  bool shutdown_ = false;
  // Only the player thread uses it.
  std::unique_ptr<AudioOutput> output_;
};

} // namespace quelt
