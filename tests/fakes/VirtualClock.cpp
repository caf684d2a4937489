#include "fakes/VirtualClock.h"

#include <atomic>

namespace quelt::fakes {

struct VirtualClock::Entry : Timer {
  explicit Entry(std::function<void()> fire) : fire(std::move(fire)) {}
  void cancel() override { cancelled = true; }
  std::function<void()> fire;
  std::atomic<bool> cancelled = false;
};

Clock::TimePoint VirtualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::shared_ptr<Timer> VirtualClock::schedule(Duration delay, std::function<void()> fire) {
  std::lock_guard lock(mutex_);
  auto entry = std::make_shared<Entry>(std::move(fire));
  timers_.emplace(std::make_pair(now_ + delay, nextSequence_++), entry);
  return entry;
}

void VirtualClock::sleepUntil(TimePoint deadline) {
  std::unique_lock lock(mutex_);
  moved_.wait(lock, [&] { return now_ >= deadline; });
}

void VirtualClock::advance(Duration by) {
  std::unique_lock lock(mutex_);
  TimePoint target = now_ + by;
  while (!timers_.empty() && timers_.begin()->first.first <= target) {
    auto node = timers_.extract(timers_.begin());
    now_ = node.key().first;
    auto entry = node.mapped();
    lock.unlock();
    moved_.notify_all();
    post_([entry] {
      if (!entry->cancelled)
        entry->fire();
    });
    lock.lock();
  }
  now_ = target;
  lock.unlock();
  moved_.notify_all();
}

} // namespace quelt::fakes
