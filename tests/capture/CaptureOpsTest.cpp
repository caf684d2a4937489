// What the transcripts (tests/transcripts/capture.txt) cannot show: audio with chosen samples,
// and a source that takes its time to open.

#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <limits>

namespace quelt::testing {
namespace {

TEST(CaptureOps, LevelsFollowTheAudioClockAcrossBuffersAndStayFinite) {
  const AudioFormat micFormat{48000, 1, SampleFormat::float32, true};
  ServerHarness harness;
  auto& fakes = harness.fakes();
  fakes.recognizer->supported = {"en-US"};
  fakes.recognizer->recognizers = {{"en-US", {}}};
  fakes::FakeHardware::Device mic;
  mic.id = 10;
  mic.uid = "mic-1";
  mic.inputBuffers = {1};
  fakes.hardware->devices = {mic};
  fakes.audioInput->devices["mic-1"] = micFormat;
  harness.start();
  harness.send(R"({"id":1,"op":"capture.start","params":{"capture":11}})"); // 50 ms by default
  EXPECT_EQ(harness.replyTo(1)["ok"], true);

  PcmBuffer buffer(micFormat, 2048);
  buffer.setFrameLength(2048);
  std::fill(buffer.floatPlane(0).begin(), buffer.floatPlane(0).end(), 0.5f);
  buffer.floatPlane(0)[7] = -1.5f;
  // What a broken file or driver can hold counts as silence.
  buffer.floatPlane(0)[8] = std::numeric_limits<float>::quiet_NaN();
  buffer.floatPlane(0)[9] = std::numeric_limits<float>::infinity();
  auto* input = fakes.audioInput->latest();
  for (int i = 0; i < 4; ++i)
    input->deliver(buffer);
  Json first = harness.next().value();
  EXPECT_EQ(first["event"], "capture.level");
  EXPECT_EQ(first["peak"], 1.0);
  EXPECT_NEAR(first["rms"].get<double>(), 0.5, 0.01);
  EXPECT_NEAR(first["elapsed_ms"].get<double>(), 4096 / 48.0, 1e-6);
  EXPECT_NEAR(harness.next().value()["elapsed_ms"].get<double>(), 8192 / 48.0, 1e-6);
  EXPECT_EQ(fakes.recognizer->task(0)->appendedFrames, 4u * 2048);
}

TEST(CaptureStart, ASourceStillOpeningStallsOnlyItsOwnCapture) {
  ServerHarness harness;
  harness.fakes().recognizer->supported = {"en-US"};
  harness.fakes().recognizer->recognizers = {{"en-US", {}}};
  harness.fakes().audio->stalled = {"/fifo"};
  harness.start();
  harness.send(
      R"({"id":1,"op":"capture.start","params":{"capture":1,"source":{"kind":"file","path":"/fifo"}}})");
  ASSERT_TRUE(harness.fakes().audio->awaitStalledOpening());
  EXPECT_EQ(harness.request(R"({"id":2,"op":"hello"})")["id"], 2);
  // Cancelled while its source cannot open: the capture ends, and its start is answered now
  // rather than whenever the opening returns.
  harness.send(R"({"id":3,"op":"capture.cancel","params":{"capture":1}})");
  EXPECT_EQ(harness.next().value()["event"], "capture.cancelled");
  auto start = harness.next().value();
  EXPECT_EQ(start["id"], 1);
  EXPECT_EQ(start["error"]["message"], "capture 1 is cancelled");
  EXPECT_EQ(harness.next().value(), (Json{{"id", 3}, {"ok", true}, {"result", Json::object()}}));
  harness.fakes().audio->releaseStalled();
  EXPECT_EQ(harness.request(R"({"id":4,"op":"hello"})")["id"], 4);
}

} // namespace
} // namespace quelt::testing
