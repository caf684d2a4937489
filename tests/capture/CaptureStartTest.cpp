#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

// Every way "capture.start" can refuse, in the order the checks run.
class CaptureStart : public ::testing::Test {
protected:
  void SetUp() override {
    auto& fakes = harness.fakes();
    fakes.recognizer->supported = {"en-US", "de-DE"};
    fakes.recognizer->recognizers = {{"en-US", {true, true}}, {"de-DE", {false, true}}};
    fakes.audio->files["/a.wav"] = {{16000, 1, SampleFormat::float32, false}, 1600};
    fakes::FakeHardware::Device mic;
    mic.id = 10;
    mic.uid = "mic-1";
    mic.name = "Mic";
    mic.inputBuffers = {1};
    fakes.hardware->devices = {mic};
    fakes.audioInput->devices["mic-1"] = {16000, 1, SampleFormat::float32, true};
  }

  Json error(const std::string& params) {
    auto reply = harness.request(R"({"id":1,"op":"capture.start","params":)" + params + "}");
    EXPECT_EQ(reply.value("ok", true), false) << reply;
    return reply["error"];
  }
  std::string message(const std::string& params) { return error(params)["message"]; }

  static std::string phrases(size_t count, size_t length) {
    Json list = Json::array();
    for (size_t i = 0; i < count; ++i)
      list.push_back(std::string(length, 'x'));
    return list.dump();
  }

  ServerHarness harness;
};

TEST_F(CaptureStart, SynchronousChecksComeFirst) {
  harness.start();
  EXPECT_EQ(error(R"({"capture":"1"})"),
            (Json{{"code", "invalid_request"}, {"message", "capture id required"}}));
  EXPECT_EQ(message(R"({"capture":1,"contextual_strings":)" + phrases(101, 1) + "}"),
            "contextual_strings exceed 100 x 100");
  EXPECT_EQ(message(R"({"capture":1,"contextual_strings":)" + phrases(1, 101) + "}"),
            "contextual_strings exceed 100 x 100");
  // 100 user-perceived characters, each two code points, pass the length check.
  std::string accented;
  for (int i = 0; i < 100; ++i)
    accented += "e\u0301";
  EXPECT_EQ(message(R"({"capture":1,"locale":"xx","contextual_strings":[")" + accented + R"("]})"),
            "xx");
}

TEST_F(CaptureStart, TheLocaleIsResolvedBeforeTheSourceIsLookedAt) {
  harness.start();
  EXPECT_EQ(error(R"({"capture":1,"locale":"fr-FR","source":{"kind":"tape"}})"),
            (Json{{"code", "locale_unsupported"}, {"message", "fr-FR"}, {"locale", "fr-FR"}}));
  EXPECT_EQ(message(R"({"capture":1,"source":{"kind":"tape"}})"),
            "source.kind must be microphone or file");
  EXPECT_EQ(error(R"({"capture":1,"source":{"device_uid":"MIC-1"}})"),
            (Json{{"code", "device_not_found"}, {"message", "MIC-1"}}));
  harness.onMain([&] { harness.fakes().hardware->devices.clear(); });
  EXPECT_EQ(error(R"({"capture":1})"),
            (Json{{"code", "no_input_device"}, {"message", "no audio input device"}}));
}

TEST_F(CaptureStart, UndecidedPermissionsFailWithoutAPromptWhenNotToAsk) {
  harness.fakes().authorization->microphone = 0;
  harness.fakes().authorization->speech = 0;
  harness.start();
  EXPECT_EQ(error(R"({"capture":1,"request_authorization":false})"),
            (Json{{"code", "not_authorized_microphone"},
                  {"message", "microphone not_determined"},
                  {"status", "not_determined"}}));
  EXPECT_EQ(
      error(
          R"({"capture":1,"request_authorization":false,"source":{"kind":"file","path":"/a.wav"}})"),
      (Json{{"code", "not_authorized_speech"},
            {"message", "speech recognition not_determined"},
            {"status", "not_determined"}}));
  EXPECT_EQ(harness.fakes().authorization->prompts, 0);
}

TEST_F(CaptureStart, APromptIsAwaitedAndItsAnswerDecides) {
  harness.fakes().authorization->speech = 0;
  harness.start();
  harness.send(
      R"({"id":1,"op":"capture.start","params":{"capture":1,"source":{"kind":"file","path":"/a.wav"}}})");
  for (int i = 0; i < 500 && harness.fakes().authorization->prompts == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  harness.fakes().authorization->answerSpeech(2, 3);
  EXPECT_EQ(harness.next()->at("error"), (Json{{"code", "not_authorized_speech"},
                                               {"message", "speech recognition restricted"},
                                               {"status", "restricted"}}));
}

TEST_F(CaptureStart, EngineChoiceExplainsWhyNothingFits) {
  harness.start();
  // de-DE has a recognizer but no on-device model, and server recognition was not allowed.
  EXPECT_EQ(error(R"({"capture":1,"locale":"de-DE"})"),
            (Json{{"code", "on_device_unavailable"},
                  {"message", "SpeechAnalyzer needs macOS 26; SFSpeechRecognizer has no "
                              "on-device model for de-DE"},
                  {"locale", "de-DE"}}));
  harness.onMain([&] { harness.fakes().recognizer->recognizers["en-US"] = {true, false}; });
  EXPECT_EQ(
      error(R"({"capture":1})"),
      (Json{{"code", "recognizer_unavailable"},
            {"message", "SFSpeechRecognizer reports unavailable (Dictation/Siri may be disabled)"},
            {"locale", "en-US"}}));
}

TEST_F(CaptureStart, AnInstalledAnalyzerIsPreferredUnlessTheRecognizerIsAskedFor) {
  auto& fakes = harness.fakes();
  fakes.process->os = {"macOS", 26, 0, 0};
  fakes.transcriber->supported = {"de-DE"};
  fakes.transcriber->installed = {"de-DE"};
  harness.start();
  EXPECT_EQ(error(R"({"capture":1,"locale":"de-DE","engine":"speech_recognizer"})")["message"],
            "SpeechAnalyzer installed but not selectable; SFSpeechRecognizer has no on-device "
            "model for de-DE");
  harness.send(
      R"({"id":2,"op":"capture.start","params":{"capture":2,"locale":"de-DE","level_interval_ms":60000,"source":{"kind":"file","path":"/a.wav"}}})");
  EXPECT_EQ(harness.next()->at("engine"), "speech_analyzer");
  EXPECT_EQ(harness.replyTo(2)["result"]["on_device"], true);
  // Server recognition, when allowed, is the fallback for the classic recognizer only.
  harness.send(
      R"({"id":3,"op":"capture.start","params":{"capture":3,"locale":"de-DE","engine":"speech_recognizer","recognition":"allow_server","source":{"kind":"file","path":"/a.wav"}}})");
  EXPECT_EQ(harness.replyTo(3)["result"]["engine"], "speech_recognizer");
  EXPECT_EQ(harness.fakes().recognizer->task(0)->settings.requiresOnDeviceRecognition, false);
}

TEST_F(CaptureStart, TheFileIsOpenedLastAndFailuresLeaveNoSession) {
  harness.start();
  EXPECT_EQ(message(R"({"capture":1,"source":{"kind":"file","path":"a.wav"}})"),
            "file source needs an absolute path");
  EXPECT_EQ(error(R"({"capture":1,"source":{"kind":"file","path":"/missing.wav"}})"),
            (Json{{"code", "io"},
                  {"message", "open /missing.wav: No such file or directory"},
                  {"domain", "/missing.wav"},
                  {"native_code", 2}}));
  // A locale no recognizer can serve is refused, and leaves no session behind.
  harness.onMain([&] { harness.fakes().recognizer->recognizers.erase("en-US"); });
  harness.onMain([&] { harness.fakes().recognizer->supported = {"en-US"}; });
  auto failed = error(R"({"capture":1,"locale":"en-US","recognition":"allow_server"})");
  EXPECT_EQ(failed["code"], "locale_unsupported");
  EXPECT_EQ(
      harness.request(R"({"id":2,"op":"capture.cancel","params":{"capture":1}})")["error"]["code"],
      "session_not_active");
}

TEST_F(CaptureStart, ASourceStillOpeningStallsOnlyItsOwnCapture) {
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

TEST_F(CaptureStart, AnIdInUseIsRefused) {
  harness.start();
  harness.send(R"({"id":1,"op":"capture.start","params":{"capture":5}})");
  harness.next();
  harness.next();
  EXPECT_EQ(message(R"({"capture":5})"), "capture 5 already exists");
}

} // namespace
} // namespace quelt::testing
