#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quelt::testing {
namespace {

Json protocolError(const std::string& message) {
  return {{"event", "protocol_error"}, {"message", message}};
}

class WireProtocol : public ::testing::Test {
protected:
  void SetUp() override {
    harness.server().registerOp(OpName{"echo"},
                                [](const Params& params, Reply done) { done(params.json()); });
    harness.server().registerOp(OpName{"probe"}, [this](const Params&, Reply done) {
      harness.server().log("probe ran");
      done(Json::object());
    });
    harness.server().registerOp(OpName{"nan"}, [](const Params&, Reply done) {
      done(Json{{"level", std::nan("")}});
    });
    harness.start();
  }

  ServerHarness harness;
};

TEST_F(WireProtocol, LinesThatAreNoRequestGetAnEventAndTheNextLineIsServed) {
  EXPECT_EQ(harness.request(""), protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request("not json"), protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request("[1,2]"), protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request("7"), protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request(" {\"id\":1,\"op\":\"echo\"} x"),
            protocolError("request is not a JSON object"));
  using namespace std::string_literals;
  EXPECT_EQ(harness.request("{\"id\":1,\"op\":\"echo\"}\0x"s),
            protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request("{\"id\":1,\"op\":\"echo\"}\0{\"id\":2,\"op\":\"echo\"}"s),
            protocolError("request is not a JSON object"));
  EXPECT_EQ(harness.request(R"({"op":"echo"})"), protocolError("request has no integer id"));
  EXPECT_EQ(harness.request(R"({"id":"2","op":"echo"})"),
            protocolError("request has no integer id"));
  EXPECT_EQ(harness.request(R"({"id":1e300,"op":"echo"})"),
            protocolError("request has no integer id"));
  EXPECT_EQ(harness.request(R"({"id":3,"op":"echo"})")["ok"], true);
}

TEST_F(WireProtocol, ComplaintsAfterTheIdAreFailureRepliesForThatId) {
  auto noOp = harness.request(R"({"id":4})");
  EXPECT_EQ(noOp,
            (Json{{"id", 4},
                  {"ok", false},
                  {"error", {{"code", "invalid_request"}, {"message", "request has no op"}}}}));
  EXPECT_EQ(harness.request(R"({"id":5,"op":7})")["error"]["message"], "request has no op");
  auto unknown = harness.request(R"({"id":6,"op":"Echo"})");
  EXPECT_EQ(unknown["error"]["message"], "unknown op Echo");
  EXPECT_EQ(unknown["id"], 6);
}

TEST_F(WireProtocol, IdIsTruncatedAndParamsOfAnotherTypeAreEmpty) {
  EXPECT_EQ(harness.request(R"({"id":2.9,"op":"echo","params":{"a":1}})"),
            (Json{{"id", 2}, {"ok", true}, {"result", {{"a", 1}}}}));
  EXPECT_EQ(harness.request(R"({"id":-3.7,"op":"echo"})")["id"], -3);
  EXPECT_EQ(harness.request(R"({"op":"echo","id":3,"params":5,"extra":true})"),
            (Json{{"id", 3}, {"ok", true}, {"result", Json::object()}}));
  EXPECT_EQ(harness.request(R"({"id":9223372036854775807,"op":"echo","params":null})")["id"],
            INT64_MAX);
}

TEST_F(WireProtocol, LineLengthLimitIsExactlyOneMebibyte) {
  auto lineOfLength = [](size_t length) {
    std::string head = R"({"id":1,"op":"echo","params":{"pad":")";
    std::string tail = R"("}})";
    return head + std::string(length - head.size() - tail.size(), 'x') + tail;
  };
  EXPECT_EQ(harness.request(lineOfLength(1048576))["ok"], true);
  EXPECT_EQ(harness.request(lineOfLength(1048577)),
            protocolError("request line exceeds 1048576 bytes"));
  // The CR of a line end is not counted; one that is not directly before the LF is.
  harness.write(lineOfLength(1048576) + "\r\n");
  EXPECT_EQ(harness.next()->at("ok"), true);
  harness.write(lineOfLength(1048576) + "\r \n");
  EXPECT_EQ(harness.next(), protocolError("request line exceeds 1048576 bytes"));
  EXPECT_EQ(harness.request(R"({"id":2,"op":"echo"})")["id"], 2);
}

TEST_F(WireProtocol, CarriageReturnLineEndsAndSplitWritesFrameTheSameLines) {
  harness.write("{\"id\":1,\"op\":\"echo\"}\r\n{\"id\":2,");
  EXPECT_EQ(harness.next()->at("id"), 1);
  harness.write("\"op\":\"echo\"}\n");
  EXPECT_EQ(harness.next()->at("id"), 2);
}

TEST_F(WireProtocol, AnUnterminatedLastLineIsStillHandled) {
  harness.write(R"({"id":1,"op":"probe"})");
  harness.closeInput();
  EXPECT_EQ(harness.nextLogLine(), "probe ran");
  EXPECT_EQ(harness.exitCode(), 0);
}

TEST_F(WireProtocol, InvalidUtf8IsReplacedBeforeTheLineIsRead) {
  auto reply = harness.request("{\"id\":1,\"op\":\"ec\xff\xc3ho\"}");
  EXPECT_EQ(reply["error"]["message"], "unknown op ec\uFFFD\uFFFDho");
  auto echoed = harness.request("{\"id\":2,\"op\":\"echo\",\"params\":{\"t\":\"a\xe2\x82\"}}");
  EXPECT_EQ(echoed["result"]["t"], "a\uFFFD");
}

TEST_F(WireProtocol, OutputIsCompactSortedWithEscapedSlashesAndRawUtf8) {
  harness.send(
      R"({"op":"echo","id":1,"params":{"path":"/tmp/é","b":[1,{"z":1,"y":null}],"a":0.5}})");
  EXPECT_EQ(harness.nextRaw(),
            R"({"id":1,"ok":true,"result":{"a":0.5,"b":[1,{"y":null,"z":1}],"path":"\/tmp\/é"}})");
}

TEST_F(WireProtocol, AnUnserializableReplyIsDroppedWithALogLine) {
  harness.send(R"({"id":1,"op":"nan"})");
  EXPECT_EQ(harness.nextLogLine(), "dropping unserializable message");
  EXPECT_EQ(harness.request(R"({"id":2,"op":"echo"})")["id"], 2);
}

} // namespace
} // namespace quelt::testing
