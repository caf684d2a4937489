#pragma once

#include "Spoken.h"
#include "platform/AudioOutput.h"

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quelt {

// An utterance heard while it is still being made: what has come so far is played, then what
// came meanwhile, and so on, each part a playback of its own. Positions count from the start
// of the utterance.
class GrowingPlayback : public Playback {
public:
  using Open = std::function<std::unique_ptr<Playback>(std::span<const int16_t>, double rate)>;

  GrowingPlayback(const Spoken& spoken, Open open);

  int64_t position() override;
  // Every sample heard and no more to come.
  bool finished() override;
  bool failed() override { return current_->failed(); }
  void setPaused(bool paused) override;

private:
  // Plays what has come since the part being played, once that part is heard.
  void advance();

  const Spoken& spoken_;
  Open open_;
  std::vector<int16_t> part_; // outlives its playback
  int64_t offset_ = 0;        // of `part_` in the utterance
  std::unique_ptr<Playback> current_;
  bool paused_ = false;
};

} // namespace quelt
