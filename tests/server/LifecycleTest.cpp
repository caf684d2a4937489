#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

// The ways out themselves (end of input, the parent's exit, signals) are taken by the built
// helper under load; here, that the shutdown hooks run once and in order, whatever comes.
class Lifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    harness.server().onShutdown([this] {
      harness.server().log("first hook");
      harness.server().event(EventName{"hook.event"});
    });
    harness.server().onShutdown([this] { harness.server().log("second hook"); });
  }

  void expectHooksRanOnceThenExit() {
    EXPECT_EQ(harness.nextLogLine(), "first hook");
    EXPECT_EQ(harness.nextLogLine(), "second hook");
    EXPECT_EQ(harness.exitCode(), 0);
    EXPECT_EQ(harness.nextLogLine(200ms), std::nullopt);
  }

  ServerHarness harness;
};

TEST_F(Lifecycle, ShutdownRepliesThenRunsTheHooksAndExits) {
  harness.start();
  harness.send(R"({"id":1,"op":"shutdown"})");
  EXPECT_EQ(harness.next(), (Json{{"id", 1}, {"ok", true}, {"result", Json::object()}}));
  EXPECT_EQ(harness.next(), (Json{{"event", "hook.event"}}));
  expectHooksRanOnceThenExit();
}

TEST_F(Lifecycle, ShutdownFollowedAtOnceByEndOfInputRunsTheHooksOnce) {
  harness.start();
  harness.send(R"({"id":1,"op":"shutdown"})");
  harness.closeInput();
  expectHooksRanOnceThenExit();
}

// Without a parent there is nobody to serve (a pid namespace, where the built helper would show
// it, is not always there to be had).
TEST_F(Lifecycle, AnOrphanedStartShutsDownAtOnce) {
  harness.process().parentPidValue = 1;
  harness.start();
  EXPECT_EQ(harness.next(), (Json{{"event", "hook.event"}}));
  expectHooksRanOnceThenExit();
}

TEST_F(Lifecycle, ATriggerDuringTheSequenceIsIgnored) {
  harness.server().onShutdown([this] { harness.server().shutdown(3); });
  harness.start();
  EXPECT_EQ(harness.request(R"({"id":1,"op":"hello"})")["id"], 1);
  harness.process().killParent();
  expectHooksRanOnceThenExit();
}

} // namespace
} // namespace quelt::testing
