#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <limits>

namespace quelt::testing {
namespace {

const AudioFormat micFormat{48000, 1, SampleFormat::float32, true};

// Captures from a fake microphone, recognised by scripted recognition tasks.
class CaptureOps : public ::testing::Test {
protected:
  void SetUp() override {
    auto& fakes = harness.fakes();
    fakes.recognizer->supported = {"en-US"};
    fakes.recognizer->recognizers = {{"en-US", {}}};
    fakes::FakeHardware::Device mic;
    mic.id = 10;
    mic.uid = "mic-1";
    mic.name = "Desk Mic";
    mic.inputBuffers = {1};
    mic.sampleRate = 48000;
    fakes.hardware->devices = {mic};
    fakes.hardware->defaultDevice = 10;
    fakes.audioInput->devices["mic-1"] = micFormat;
  }

  Json request(const std::string& line) { return harness.request(line); }
  Json next() { return harness.next().value_or(Json()); }
  Json error(const std::string& line) { return request(line)["error"]; }

  // Starts capture `id` from the microphone and reads its listening event and reply.
  void startMicrophone(int id, const std::string& extra = "") {
    harness.send(R"({"id":)" + std::to_string(id) +
                 R"(,"op":"capture.start","params":{"capture":)" + std::to_string(id) + extra +
                 "}}");
    EXPECT_EQ(next()["event"], "capture.listening");
    EXPECT_EQ(next()["ok"], true);
  }
  std::shared_ptr<fakes::FakeRecognitionTask> task(size_t index) {
    return harness.fakes().recognizer->task(index);
  }

  ServerHarness harness;
};

TEST_F(CaptureOps, AMicrophoneCaptureAnnouncesItselfThenReplies) {
  harness.start();
  harness.send(R"({"id":1,"op":"capture.start","params":{"capture":7}})");
  Json device = {{"uid", "mic-1"},
                 {"name", "Desk Mic"},
                 {"input_channels", 1},
                 {"sample_rate", 48000.0},
                 {"is_default", true}};
  EXPECT_EQ(next(), (Json{{"event", "capture.listening"},
                          {"capture", 7},
                          {"engine", "speech_recognizer"},
                          {"device", device}}));
  EXPECT_EQ(next(), (Json{{"id", 1},
                          {"ok", true},
                          {"result",
                           {{"engine", "speech_recognizer"},
                            {"device", device},
                            {"locale", "en-US"},
                            {"on_device", true}}}}));
  EXPECT_TRUE(task(0)->settings.addsPunctuation);
  EXPECT_TRUE(task(0)->settings.requiresOnDeviceRecognition);
}

TEST_F(CaptureOps, CommitsSplitTheAudioIntoSegmentsThatFinishOnTheirOwn) {
  harness.start();
  startMicrophone(3);
  task(0)->emitPartial("hello");
  EXPECT_EQ(
      next(),
      (Json{{"event", "capture.partial"}, {"capture", 3}, {"segment", 0}, {"text", "hello"}}));
  harness.send(R"({"id":2,"op":"capture.commit","params":{"capture":3}})");
  EXPECT_EQ(next(), (Json{{"event", "capture.segment"}, {"capture", 3}, {"segment", 1}}));
  EXPECT_EQ(next(), (Json{{"id", 2}, {"ok", true}, {"result", {{"segment", 1}}}}));
  harness.send(R"({"id":3,"op":"capture.commit","params":{"capture":3}})");
  EXPECT_EQ(next()["segment"], 2);
  EXPECT_EQ(next()["result"]["segment"], 2);
  EXPECT_EQ(task(0)->endAudioCalls, 1);
  EXPECT_EQ(task(1)->endAudioCalls, 1);
  EXPECT_EQ(task(2)->endAudioCalls, 0);

  task(1)->emitFinal("second", {0.5f});
  EXPECT_EQ(next(), (Json{{"event", "capture.final"},
                          {"capture", 3},
                          {"segment", 1},
                          {"text", "second"},
                          {"confidence", 0.5}}));
  task(0)->emitFinal("hello world", {});
  EXPECT_EQ(
      next(),
      (Json{{"event", "capture.final"}, {"capture", 3}, {"segment", 0}, {"text", "hello world"}}));
}

TEST_F(CaptureOps, StopWaitsForClosingSegmentsAndFinalsComeFirst) {
  harness.start();
  startMicrophone(4);
  EXPECT_EQ(request(R"({"id":2,"op":"capture.stop","params":{"capture":4}})")["result"],
            Json::object());
  // Stopping: a commit names the phase, a second stop changes nothing.
  EXPECT_EQ(error(R"({"id":3,"op":"capture.commit","params":{"capture":4}})"),
            (Json{{"code", "session_not_active"},
                  {"message", "capture 4 is stopping"},
                  {"native_code", 4}}));
  EXPECT_EQ(request(R"({"id":4,"op":"capture.stop","params":{"capture":4}})")["ok"], true);
  task(0)->emitFinal("done", {});
  EXPECT_EQ(next()["event"], "capture.final");
  EXPECT_EQ(next(), (Json{{"event", "capture.stopped"}, {"capture", 4}}));
  // Ended sessions leave the registry; their id can be used again.
  EXPECT_EQ(error(R"({"id":5,"op":"capture.stop","params":{"capture":4}})")["message"],
            "capture 4 is not active");
  startMicrophone(4);
}

TEST_F(CaptureOps, AStopWithNothingClosingEndsAtOnce) {
  harness.start();
  startMicrophone(5);
  task(0)->emitFinal("finished early", {}); // the recognizer ended the segment by itself
  EXPECT_EQ(next()["event"], "capture.final");
  harness.send(R"({"id":2,"op":"capture.stop","params":{"capture":5}})");
  EXPECT_EQ(next(), (Json{{"event", "capture.stopped"}, {"capture", 5}}));
  EXPECT_EQ(next()["id"], 2);
  EXPECT_EQ(task(0)->endAudioCalls, 0);
}

TEST_F(CaptureOps, CancelAfterStopSilencesTheRestAndASecondCancelIsRefused) {
  harness.start();
  startMicrophone(8);
  request(R"({"id":2,"op":"capture.stop","params":{"capture":8}})");
  EXPECT_EQ(request(R"({"id":3,"op":"capture.cancel","params":{"capture":8}})"),
            (Json{{"event", "capture.cancelled"}, {"capture", 8}}));
  EXPECT_EQ(next()["id"], 3);
  task(0)->emitFinal("too late", {});
  EXPECT_EQ(error(R"({"id":4,"op":"capture.cancel","params":{"capture":8}})")["code"],
            "session_not_active");
  EXPECT_EQ(task(0)->cancelCalls, 1);
}

TEST_F(CaptureOps, ASegmentFailureWhileStoppingFailsTheSession) {
  harness.start();
  startMicrophone(9);
  request(R"({"id":2,"op":"capture.stop","params":{"capture":9}})");
  task(0)->emitError("Other", 5, "decoder crashed");
  EXPECT_EQ(next(), (Json{{"event", "capture.failed"},
                          {"capture", 9},
                          {"error",
                           {{"code", "native"},
                            {"message", "recognition: decoder crashed"},
                            {"domain", "Other"},
                            {"native_code", 5}}}}));
  EXPECT_EQ(harness.nextRaw(std::chrono::milliseconds(100)), std::nullopt);
}

TEST_F(CaptureOps, AVanishingMicrophoneFailsTheCaptureAndFreesIt) {
  harness.start();
  startMicrophone(10);
  harness.fakes().audioInput->latest()->vanish();
  EXPECT_EQ(next(), (Json{{"event", "capture.failed"},
                          {"capture", 10},
                          {"error",
                           {{"code", "native"},
                            {"message", "audio input configuration changed; capture stopped"},
                            {"domain", "AVFAudio"}}}}));
  EXPECT_EQ(task(0)->cancelCalls, 1);
  EXPECT_EQ(error(R"({"id":2,"op":"capture.commit","params":{"capture":10}})")["code"],
            "session_not_active");
}

TEST_F(CaptureOps, LevelsFollowTheAudioClockAcrossBuffersAndStayFinite) {
  harness.start();
  startMicrophone(11); // 50 ms by default
  PcmBuffer buffer(micFormat, 2048);
  buffer.setFrameLength(2048);
  std::fill(buffer.floatPlane(0).begin(), buffer.floatPlane(0).end(), 0.5f);
  buffer.floatPlane(0)[7] = -1.5f;
  // What a broken file or driver can hold counts as silence.
  buffer.floatPlane(0)[8] = std::numeric_limits<float>::quiet_NaN();
  buffer.floatPlane(0)[9] = std::numeric_limits<float>::infinity();
  auto* input = harness.fakes().audioInput->latest();
  for (int i = 0; i < 4; ++i)
    input->deliver(buffer);
  Json first = next();
  EXPECT_EQ(first["event"], "capture.level");
  EXPECT_EQ(first["peak"], 1.0);
  EXPECT_NEAR(first["rms"].get<double>(), 0.5, 0.01);
  EXPECT_NEAR(first["elapsed_ms"].get<double>(), 4096 / 48.0, 1e-6);
  Json second = next();
  EXPECT_NEAR(second["elapsed_ms"].get<double>(), 8192 / 48.0, 1e-6);
  EXPECT_EQ(task(0)->appendedFrames, 4u * 2048);
}

} // namespace
} // namespace quelt::testing
