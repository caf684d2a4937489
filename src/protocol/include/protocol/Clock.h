#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace quelt {

// A one-shot timer handle. Dropping it does not cancel the timer.
class Timer {
public:
  virtual ~Timer() = default;
  // After this the callback does not run, even if its time has already come.
  virtual void cancel() = 0;
};

// Time as the core sees it. Timeouts and pacing go through this, so tests can run them in
// virtual time.
class Clock {
public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Runs `fire` on the main queue once `delay` has passed. Call on the main queue.
  virtual std::shared_ptr<Timer> schedule(Duration delay, std::function<void()> fire) = 0;
  // Blocks the calling thread (never the main one) until `deadline`.
  virtual void sleepUntil(TimePoint deadline) = 0;
};

// Real time, with timers on the main queue's io_context.
class SteadyClock : public Clock {
public:
  explicit SteadyClock(asio::io_context& mainContext) : context_(mainContext) {}

  TimePoint now() const override;
  std::shared_ptr<Timer> schedule(Duration delay, std::function<void()> fire) override;
  void sleepUntil(TimePoint deadline) override;

private:
  asio::io_context& context_;
};

} // namespace quelt
