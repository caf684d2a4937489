#include "protocol/Clock.h"

#include <asio/steady_timer.hpp>

#include <thread>

namespace quelt {
namespace {

class SteadyTimer : public Timer {
public:
  explicit SteadyTimer(asio::io_context& context) : timer(context) {}

  void cancel() override {
    // The completion may already be queued; the flag stops it there.
    cancelled = true;
    timer.cancel();
  }

  asio::steady_timer timer;
  bool cancelled = false;
};

} // namespace

Clock::TimePoint SteadyClock::now() const { return std::chrono::steady_clock::now(); }

std::shared_ptr<Timer> SteadyClock::schedule(Duration delay, std::function<void()> fire) {
  auto handle = std::make_shared<SteadyTimer>(context_);
  handle->timer.expires_after(delay);
  handle->timer.async_wait([handle, fire = std::move(fire)](const std::error_code& error) {
    if (!error && !handle->cancelled)
      fire();
  });
  return handle;
}

void SteadyClock::sleepUntil(TimePoint deadline) { std::this_thread::sleep_until(deadline); }

} // namespace quelt
