#pragma once

#include "platform/AudioOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

namespace quelt {

// Silence that takes as long as the audio would.
class ClockPlayback : public Playback {
public:
  ClockPlayback(int64_t samples, double rate) : total_(samples), rate_(rate) {}

  int64_t position() override {
    auto heard = (pausedAt_ ? *pausedAt_ : Clock::now()) - start_ - pausedFor_;
    auto samples = static_cast<int64_t>(std::chrono::duration<double>(heard).count() * rate_);
    return std::clamp<int64_t>(samples, 0, total_);
  }
  bool finished() override { return position() >= total_; }
  void setPaused(bool paused) override {
    if (paused && !pausedAt_) {
      pausedAt_ = Clock::now();
    } else if (!paused && pausedAt_) {
      pausedFor_ += Clock::now() - *pausedAt_;
      pausedAt_.reset();
    }
  }

private:
  using Clock = std::chrono::steady_clock;

  int64_t total_;
  double rate_;
  Clock::time_point start_ = Clock::now();
  Clock::duration pausedFor_{};
  std::optional<Clock::time_point> pausedAt_;
};

} // namespace quelt
