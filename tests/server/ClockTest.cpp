#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <atomic>

namespace quelt::testing {
namespace {

TEST(VirtualClock, TimersFireOnTheMainQueueOnlyWhenTimeReachesThem) {
  ServerHarness harness;
  harness.start();
  std::vector<std::string> fired;
  std::shared_ptr<Timer> cancelled;
  harness.onMain([&] {
    harness.clock().schedule(8s, [&] { fired.push_back("8s"); });
    harness.clock().schedule(1s, [&] { fired.push_back("1s"); });
    cancelled = harness.clock().schedule(2s, [&] { fired.push_back("cancelled"); });
  });
  harness.clock().advance(1500ms);
  harness.onMain([&] { cancelled->cancel(); });
  harness.clock().advance(6400ms);
  harness.onMain([] {});
  EXPECT_EQ(fired, (std::vector<std::string>{"1s"}));
  harness.clock().advance(100ms);
  harness.onMain([] {});
  EXPECT_EQ(fired, (std::vector<std::string>{"1s", "8s"}));
}

TEST(VirtualClock, SleepersWakeWhenTheirDeadlineIsPassed) {
  ServerHarness harness;
  auto start = harness.clock().now();
  std::atomic<bool> woke = false;
  std::thread sleeper([&] {
    harness.clock().sleepUntil(start + 100ms);
    woke = true;
  });
  harness.clock().advance(50ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke);
  harness.clock().advance(50ms);
  sleeper.join();
  EXPECT_TRUE(woke);
}

TEST(SteadyClock, FiresOnTheMainQueueAndHonoursCancel) {
  asio::io_context context;
  SteadyClock clock(context);
  int fired = 0;
  clock.schedule(1ms, [&] { ++fired; });
  auto cancelled = clock.schedule(1ms, [&] { fired += 10; });
  cancelled->cancel();
  context.run();
  EXPECT_EQ(fired, 1);
}

} // namespace
} // namespace quelt::testing
