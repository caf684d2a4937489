#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

class ServerCore : public ::testing::Test {
protected:
  ServerHarness harness{ServerHarness::Ops::none};
  Server& server = harness.server();
};

TEST_F(ServerCore, ASynchronousCompletionRepliesAfterTheHandlingBlock) {
  server.registerOp("op", [this](const Params&, Completion done) {
    done(Json::object());
    server.event("during", {{"n", 1}});
  });
  harness.start();
  harness.send(R"({"id":1,"op":"op"})");
  EXPECT_EQ(harness.next(), (Json{{"event", "during"}, {"n", 1}}));
  EXPECT_EQ(harness.next(), (Json{{"id", 1}, {"ok", true}, {"result", Json::object()}}));
}

TEST_F(ServerCore, EventsFromOtherThreadsKeepTheirOrderAgainstReplies) {
  server.registerOp("op", [this](const Params&, Completion done) {
    std::thread([this, done] {
      server.event("from.thread", {{"event", "overwritten"}});
      done(Json::object());
    }).detach();
  });
  harness.start();
  harness.send(R"({"id":1,"op":"op"})");
  EXPECT_EQ(harness.next(), (Json{{"event", "from.thread"}}));
  EXPECT_EQ(harness.next()->at("id"), 1);
}

TEST_F(ServerCore, RequestsRunInLineOrderWhileRepliesFollowCompletionOrder) {
  Completion held;
  server.registerOp("slow", [&held](const Params&, Completion done) { held = done; });
  server.registerOp("fast", [&held](const Params&, Completion done) {
    done(Json::object());
    held(Json::object());
  });
  harness.start();
  harness.send(R"({"id":1,"op":"slow"})");
  harness.send(R"({"id":2,"op":"fast"})");
  EXPECT_EQ(harness.next()->at("id"), 2);
  EXPECT_EQ(harness.next()->at("id"), 1);
}

TEST_F(ServerCore, AFailingHandlerAnswersWithItsErrorAndServingGoesOn) {
  server.registerOp("refuses", [](const Params&, Completion) {
    throw HelperError("voice_not_found", "no voice");
  });
  server.registerOp("breaks", [](const Params&, Completion) {
    throw PlatformError("POSIX", 5, "Input/output error");
  });
  server.registerOp("faults",
                    [](const Params&, Completion) { throw std::runtime_error("out of memory"); });
  harness.start();
  EXPECT_EQ(harness.request(R"({"id":1,"op":"refuses"})")["error"],
            (Json{{"code", "voice_not_found"}, {"message", "no voice"}}));
  EXPECT_EQ(harness.request(R"({"id":2,"op":"breaks"})")["error"],
            (Json{{"code", "native"},
                  {"message", "breaks: Input/output error"},
                  {"domain", "POSIX"},
                  {"native_code", 5}}));
  EXPECT_EQ(harness.request(R"({"id":3,"op":"faults"})")["error"],
            (Json{{"code", "native"}, {"message", "faults: out of memory"}}));
}

TEST_F(ServerCore, LogLinesAndOutputLinesLeaveThroughOneQueue) {
  server.registerOp("op", [this](const Params&, Completion done) {
    for (int i = 0; i < 200; ++i) {
      server.log("log " + std::to_string(i));
      server.event("tick", {{"i", i}});
    }
    done(Json::object());
  });
  harness.start();
  harness.send(R"({"id":1,"op":"op"})");
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(harness.nextLogLine(), "log " + std::to_string(i));
    EXPECT_EQ(harness.next()->at("i"), i);
  }
  EXPECT_EQ(harness.next()->at("id"), 1);
}

} // namespace
} // namespace quelt::testing
