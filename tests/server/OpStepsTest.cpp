#include "protocol/OpSteps.h"

#include <gtest/gtest.h>

#include <system_error>

namespace quelt {
namespace {

// A host whose queues are lists the test runs or drops by hand; a blocking task finds no thread.
class QueueHost : public OpHost {
public:
  std::vector<std::function<void()>> main, tasks;

  void post(std::function<void()> block) override { main.push_back(std::move(block)); }
  void runTask(std::function<void()> work) override { tasks.push_back(std::move(work)); }
  void runBlockingTask(std::function<void()>) override {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  void registerOp(OpName, Handler) override {}
  void onShutdown(std::function<void()>) override {}
  void event(EventName, Json) override {}
  void log(std::string_view) override {}
  PostToMain poster() override { return {}; }
  void completeOnMain(Reply, OpResult) override {}
  void shutdown(int) override {}
  bool shuttingDown() const override { return false; }
  std::shared_ptr<Clock> clock() override { return nullptr; }
};

void runFirst(std::vector<std::function<void()>>& queue) {
  auto step = std::move(queue.front());
  queue.erase(queue.begin());
  step();
}

OpSteps hops(std::shared_ptr<QueueHost> host, std::shared_ptr<std::vector<std::string>> trace,
             Reply done) {
  trace->push_back("called");
  co_await onTask(*host);
  trace->push_back("task");
  co_await onMain(*host);
  trace->push_back("main");
  try {
    co_await onBlockingTask(*host);
    trace->push_back("blocking");
  } catch (const std::system_error&) {
    trace->push_back("no thread");
  }
  done(Json::object());
}

TEST(OpSteps, EachStepRunsWhereItsQueueRunsItAndAFailedHopThrowsInTheCoroutine) {
  auto host = std::make_shared<QueueHost>();
  auto trace = std::make_shared<std::vector<std::string>>();
  std::optional<OpResult> answer;
  hops(host, trace, [&](OpResult result) { answer = result; });
  EXPECT_EQ(*trace, std::vector<std::string>{"called"});
  ASSERT_EQ(host->tasks.size(), 1u);
  EXPECT_TRUE(host->main.empty());

  runFirst(host->tasks);
  EXPECT_EQ(trace->back(), "task");
  ASSERT_EQ(host->main.size(), 1u);
  EXPECT_FALSE(answer);

  runFirst(host->main);
  EXPECT_EQ(*trace, (std::vector<std::string>{"called", "task", "main", "no thread"}));
  EXPECT_TRUE(answer);
}

// The helper ending with a step still queued must free what the coroutine holds, and answer
// nothing, as a dropped callback would.
TEST(OpSteps, AStepDroppedWithItsQueueEndsTheCoroutineAndWhatItHeld) {
  auto host = std::make_shared<QueueHost>();
  auto trace = std::make_shared<std::vector<std::string>>();
  bool answered = false;
  hops(host, trace, [&](OpResult) { answered = true; });
  EXPECT_EQ(trace.use_count(), 2);
  host->tasks.clear();
  EXPECT_EQ(trace.use_count(), 1);
  EXPECT_EQ(*trace, std::vector<std::string>{"called"});
  EXPECT_FALSE(answered);
}

} // namespace
} // namespace quelt
