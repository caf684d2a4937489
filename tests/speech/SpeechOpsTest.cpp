#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

using Report = fakes::FakeSpeechSynthesizer::Report;

class SpeechOps : public ::testing::Test {
protected:
  void SetUp() override {
    harness.fakes().synthesizer->installed = {{"amy", "Amy", "en-US", 1, 2, 0}};
    harness.start();
    synth = harness.fakes().synthesizer->synthesizer(0);
  }

  void speak(int id, bool interrupt = false) {
    Json reply = harness.request(R"({"id":)" + std::to_string(100 + id) +
                                 R"(,"op":"speech.speak","params":{"utterance":)" +
                                 std::to_string(id) + R"(,"text":"text )" + std::to_string(id) +
                                 R"(","interrupt":)" + (interrupt ? "true" : "false") + "}}");
    EXPECT_EQ(reply, (Json{{"id", 100 + id}, {"ok", true}, {"result", {{"voice", "amy"}}}}));
  }
  Json event(const char* name, int id) { return {{"event", name}, {"utterance", id}}; }
  Json next() { return harness.next().value_or(Json()); }
  size_t spokenCount() {
    harness.onMain([] {});
    return synth->spokenUtterances().size();
  }

  ServerHarness harness;
  std::shared_ptr<fakes::FakeSpeechSynthesizer> synth;
};

TEST_F(SpeechOps, UtterancesAreSpokenOneAtATimeInOrder) {
  speak(1);
  speak(2);
  EXPECT_EQ(spokenCount(), 1u);
  EXPECT_EQ(synth->spokenUtterances()[0]->text, "text 1");
  synth->report(Report::started, 0);
  EXPECT_EQ(next(), event("speech.started", 1));
  synth->reportRange(0, 5, 1);
  EXPECT_EQ(next(),
            (Json{{"event", "speech.range"}, {"utterance", 1}, {"location", 5}, {"length", 1}}));
  synth->report(Report::finished, 0);
  EXPECT_EQ(next(), event("speech.finished", 1));
  EXPECT_EQ(spokenCount(), 2u);
  synth->report(Report::started, 1);
  EXPECT_EQ(next(), event("speech.started", 2));
}

TEST_F(SpeechOps, AnInterruptCancelsTheQueueAtOnceAndWaitsForTheCurrentOne) {
  speak(1);
  speak(2);
  speak(3);
  harness.send(
      R"({"id":9,"op":"speech.speak","params":{"utterance":4,"text":"now","interrupt":true}})");
  EXPECT_EQ(next(), event("speech.cancelled", 2));
  EXPECT_EQ(next(), event("speech.cancelled", 3));
  EXPECT_EQ(next()["id"], 9);
  EXPECT_EQ(synth->requests(), std::vector<std::string>{"stop immediate"});
  EXPECT_EQ(spokenCount(), 1u);
  // Stopped at a word boundary, the synthesizer may call it finished: still a cancel.
  synth->report(Report::finished, 0);
  EXPECT_EQ(next(), event("speech.cancelled", 1));
  EXPECT_EQ(spokenCount(), 2u);
  EXPECT_EQ(synth->spokenUtterances()[1]->text, "now");
}

TEST_F(SpeechOps, StopFindsTheCurrentOrTheOldestQueuedId) {
  speak(1);
  speak(2);
  speak(2);
  EXPECT_EQ(harness.request(R"({"id":1,"op":"speech.stop","params":{"utterance":2}})"),
            event("speech.cancelled", 2));
  EXPECT_EQ(next()["ok"], true);
  EXPECT_EQ(harness.request(R"({"id":2,"op":"speech.stop","params":{"utterance":12}})")["error"],
            (Json{{"code", "session_not_active"},
                  {"message", "utterance 12 is not queued or speaking"},
                  {"native_code", 12}}));
  harness.request(R"({"id":3,"op":"speech.stop","params":{"utterance":1,"boundary":"word"}})");
  EXPECT_EQ(synth->requests(), std::vector<std::string>{"stop word"});
  synth->report(Report::cancelled, 0);
  EXPECT_EQ(next(), event("speech.cancelled", 1));
  ASSERT_EQ(spokenCount(), 2u);
  EXPECT_EQ(synth->spokenUtterances().at(1)->text, "text 2"); // the younger 2 kept its place
  EXPECT_EQ(harness.request(R"({"id":4,"op":"speech.stop"})")["ok"], true);
}

TEST_F(SpeechOps, PauseAndContinueActOnTheCurrentUtteranceOnly) {
  EXPECT_EQ(harness.request(R"({"id":1,"op":"speech.pause"})")["error"],
            (Json{{"code", "session_not_active"},
                  {"message", "utterance is not speaking"},
                  {"native_code", 0}}));
  speak(1);
  speak(2);
  EXPECT_EQ(harness.request(
                R"({"id":2,"op":"speech.pause","params":{"utterance":2}})")["error"]["native_code"],
            2);
  EXPECT_EQ(harness.request(R"({"id":3,"op":"speech.pause","params":{"boundary":"Word"}})")["ok"],
            true);
  synth->report(Report::paused, 0);
  EXPECT_EQ(next(), event("speech.paused", 1));
  synth->answer = false;
  EXPECT_EQ(harness.request(
                R"({"id":4,"op":"speech.continue","params":{"utterance":1}})")["error"]["message"],
            "utterance is not paused");
  EXPECT_EQ(synth->requests(), (std::vector<std::string>{"pause immediate", "continue"}));
}

TEST_F(SpeechOps, ValidationReportsTheFirstBrokenRule) {
  auto message = [&](const std::string& params) {
    return harness.request(R"({"id":1,"op":"speech.speak","params":)" + params +
                           "}")["error"]["message"];
  };
  EXPECT_EQ(message(R"({"text":""})"), "utterance id required");
  EXPECT_EQ(message(R"({"utterance":1,"text":" \t\n\u2003"})"), "text is empty");
  EXPECT_EQ(message(R"({"utterance":1,"text":5,"rate":9})"), "text is empty");
  EXPECT_EQ(message(R"({"utterance":1,"text":"hi","voice":"nope","rate":9})"), "nope");
  EXPECT_EQ(message(R"({"utterance":1,"text":"hi","rate":1.01})"), "rate must be within 0.0...1.0");
  EXPECT_EQ(message(R"({"utterance":1,"text":"hi","pitch":0.49})"),
            "pitch must be within 0.5...2.0");
  EXPECT_EQ(message(R"({"utterance":1,"text":"hi","volume":-0.1})"),
            "volume must be within 0.0...1.0");
  std::string longest;
  for (int i = 0; i < 32768; ++i)
    longest += "a\u0301";
  EXPECT_EQ(harness.request(R"({"id":2,"op":"speech.speak","params":{"utterance":7.9,"text":")" +
                            longest +
                            R"(","rate":0,"pitch":2,"volume":0,"language":"en_us"}})")["ok"],
            true);
  EXPECT_EQ(message(R"({"utterance":1,"text":")" + longest + R"(b"})"), "text exceeds 32768 chars");
  auto spoken = synth->spokenUtterances().at(0);
  EXPECT_EQ(spoken->rate, 0.0f);
  EXPECT_EQ(spoken->pitch, 2.0f);
  EXPECT_EQ(spoken->voice->identifier, "amy");
  harness.request(
      R"({"id":3,"op":"speech.speak","params":{"utterance":8,"text":" word ","rate":"fast"}})");
  harness.request(R"({"id":4,"op":"speech.stop","params":{"utterance":7}})");
  synth->report(Report::cancelled, 0);
  next();
  ASSERT_EQ(spokenCount(), 2u);
  auto second = synth->spokenUtterances().at(1);
  EXPECT_EQ(second->text, " word ");
  EXPECT_EQ(second->rate, std::nullopt);
}

TEST_F(SpeechOps, ShutdownSilencesTheQueue) {
  speak(1);
  speak(2);
  harness.closeInput();
  EXPECT_EQ(harness.exitCode(), 0);
  EXPECT_EQ(harness.nextRaw(std::chrono::milliseconds(100)), std::nullopt);
  EXPECT_EQ(synth->requests(), std::vector<std::string>{"stop immediate"});
}

} // namespace
} // namespace quelt::testing
