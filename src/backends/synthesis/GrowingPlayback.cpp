#include "GrowingPlayback.h"

namespace quelt {

GrowingPlayback::GrowingPlayback(const Spoken& spoken, Open open)
    : spoken_(spoken), open_(std::move(open)), part_(spoken.samplesFrom(0)),
      current_(open_(part_, spoken.rate())) {}

int64_t GrowingPlayback::position() {
  advance();
  return offset_ + current_->position();
}

bool GrowingPlayback::finished() {
  advance();
  auto end = offset_ + static_cast<int64_t>(part_.size());
  return current_->finished() && spoken_.state() != Spoken::State::synthesizing &&
         spoken_.available() <= end;
}

void GrowingPlayback::setPaused(bool paused) {
  paused_ = paused;
  current_->setPaused(paused);
}

void GrowingPlayback::advance() {
  auto end = offset_ + static_cast<int64_t>(part_.size());
  if (paused_ || spoken_.available() <= end || !current_->finished())
    return;
  current_.reset();
  offset_ = end;
  part_ = spoken_.samplesFrom(offset_);
  current_ = open_(part_, spoken_.rate());
}

} // namespace quelt
