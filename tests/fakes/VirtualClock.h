#pragma once

#include "protocol/Clock.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

namespace quelt::fakes {

// Time that moves only when the test says so. Due timers are posted to the main queue in
// deadline order; sleepers wake when their deadline has been passed.
class VirtualClock : public Clock {
public:
  using Post = std::function<void(std::function<void()>)>;

  explicit VirtualClock(Post post) : post_(std::move(post)) {}

  TimePoint now() const override;
  std::shared_ptr<Timer> schedule(Duration delay, std::function<void()> fire) override;
  void sleepUntil(TimePoint deadline) override;

  void advance(Duration by);

private:
  struct Entry;

  Post post_;
  mutable std::mutex mutex_;
  std::condition_variable moved_;
  TimePoint now_{};
  uint64_t nextSequence_ = 0;
  // Ordered by deadline, then by scheduling order.
  std::map<std::pair<TimePoint, uint64_t>, std::shared_ptr<Entry>> timers_;
};

} // namespace quelt::fakes
