#include "Spoken.h"

namespace quelt {

void Spoken::setRate(double rate) {
  std::lock_guard lock(mutex_);
  rate_ = rate;
}

void Spoken::append(std::span<const int16_t> samples) {
  std::lock_guard lock(mutex_);
  samples_.insert(samples_.end(), samples.begin(), samples.end());
}

void Spoken::addWord(const Word& word) {
  std::lock_guard lock(mutex_);
  words_.push_back(word);
}

void Spoken::end(State state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

double Spoken::rate() const {
  std::lock_guard lock(mutex_);
  return rate_;
}

Spoken::State Spoken::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

int64_t Spoken::available() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(samples_.size());
}

std::vector<int16_t> Spoken::samplesFrom(int64_t from) const {
  std::lock_guard lock(mutex_);
  auto start = std::min(samples_.size(), static_cast<size_t>(std::max<int64_t>(from, 0)));
  return {samples_.begin() + static_cast<ptrdiff_t>(start), samples_.end()};
}

std::optional<Spoken::Word> Spoken::word(size_t index) const {
  std::lock_guard lock(mutex_);
  return index < words_.size() ? std::optional(words_[index]) : std::nullopt;
}

} // namespace quelt
