#pragma once

#include "platform/SynthesizerService.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace quelt {

// An utterance on its way to being spoken: synthesized by a worker while it is played, so
// that a long text starts to be heard once its first sentence is made. The synthesis thread
// adds to it, the player reads what has come so far.
class Spoken {
public:
  struct Range {
    int64_t location;
    int64_t length;
  };
  struct Word {
    int64_t sample;
    Range range;
  };
  enum class State { synthesizing, whole, failed };

  explicit Spoken(std::shared_ptr<SpeechUtterance> u) : utterance(std::move(u)) {}

  const std::shared_ptr<SpeechUtterance> utterance;
  std::atomic<bool> cancelled{false};
  bool ready = false; // under the speaker's mutex: it has audio, or will have none

  // The synthesis thread's side.
  void setRate(double rate);
  void append(std::span<const int16_t> samples);
  void addWord(const Word& word);
  void end(State state);

  // The player's side.
  double rate() const;
  State state() const;
  int64_t available() const;
  // The samples from `from` on, as far as they have come.
  std::vector<int16_t> samplesFrom(int64_t from) const;
  std::optional<Word> word(size_t index) const;

private:
  mutable std::mutex mutex_;
  double rate_ = 0;
  State state_ = State::synthesizing;
  std::vector<int16_t> samples_;
  std::vector<Word> words_;
};

} // namespace quelt
