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
  server.registerOp(OpName{"op"}, [this](const Params&, Reply done) {
    done(Json::object());
    server.event(EventName{"during"}, {{"n", 1}});
  });
  harness.start();
  harness.send(R"({"id":1,"op":"op"})");
  EXPECT_EQ(harness.next(), (Json{{"event", "during"}, {"n", 1}}));
  EXPECT_EQ(harness.next(), (Json{{"id", 1}, {"ok", true}, {"result", Json::object()}}));
}

TEST_F(ServerCore, EventsFromOtherThreadsKeepTheirOrderAgainstReplies) {
  server.registerOp(OpName{"op"}, [this](const Params&, Reply done) {
    std::thread([this, done] {
      server.event(EventName{"from.thread"}, {{"event", "overwritten"}});
      done(Json::object());
    }).detach();
  });
  harness.start();
  harness.send(R"({"id":1,"op":"op"})");
  EXPECT_EQ(harness.next(), (Json{{"event", "from.thread"}}));
  EXPECT_EQ(harness.next()->at("id"), 1);
}

TEST_F(ServerCore, RequestsRunInLineOrderWhileRepliesFollowCompletionOrder) {
  Reply held;
  server.registerOp(OpName{"slow"}, [&held](const Params&, Reply done) { held = done; });
  server.registerOp(OpName{"fast"}, [&held](const Params&, Reply done) {
    done(Json::object());
    held(Json::object());
  });
  harness.start();
  harness.send(R"({"id":1,"op":"slow"})");
  harness.send(R"({"id":2,"op":"fast"})");
  EXPECT_EQ(harness.next()->at("id"), 2);
  EXPECT_EQ(harness.next()->at("id"), 1);
}

// A request is answered once: a second answer, here a handler's answer and then its throw, is
// dropped and logged as the bug it is.
TEST_F(ServerCore, ASecondAnswerIsDroppedAndLogged) {
  server.registerOp(OpName{"twice"}, [](const Params&, Reply done) {
    done(Json::object());
    throw std::runtime_error("after answering");
  });
  harness.start();
  EXPECT_EQ(harness.request(R"({"id":1,"op":"twice"})"),
            (Json{{"id", 1}, {"ok", true}, {"result", Json::object()}}));
  EXPECT_EQ(harness.nextLogLine(), "internal error: request 1 was answered twice");
  EXPECT_EQ(harness.request(R"({"id":2,"op":"twice"})")["id"], 2);

  Reply bare([](OpResult) {});
  bare(Json::object());
  EXPECT_FALSE(bare.answerIfFirst(Json::object()));
  EXPECT_THROW(bare(Json::object()), std::logic_error);
}

TEST_F(ServerCore, AFailingHandlerAnswersWithItsErrorAndServingGoesOn) {
  server.registerOp(OpName{"refuses"}, [](const Params&, Reply) {
    throw HelperError(errors::voiceNotFound, "no voice");
  });
  server.registerOp(OpName{"breaks"}, [](const Params&, Reply) {
    throw PlatformError("POSIX", 5, "Input/output error");
  });
  server.registerOp(OpName{"faults"},
                    [](const Params&, Reply) { throw std::runtime_error("out of memory"); });
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
  server.registerOp(OpName{"op"}, [this](const Params&, Reply done) {
    for (int i = 0; i < 200; ++i) {
      server.log("log " + std::to_string(i));
      server.event(EventName{"tick"}, {{"i", i}});
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
