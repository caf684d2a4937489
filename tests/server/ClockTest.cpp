#include "protocol/Clock.h"

#include <gtest/gtest.h>

namespace quelt {
namespace {

using namespace std::chrono_literals;

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
} // namespace quelt
