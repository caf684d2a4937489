#include "engines/RecognizerSegment.h"
#include "ServerHarness.h"
#include "engines/SegmentRecorder.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

using Calls = std::vector<std::string>;

class RecognizerSegmentTest : public ::testing::Test {
protected:
  void SetUp() override {
    harness.fakes().recognizer->recognizers = {{"en-US", {}}};
    harness.start();
    start(/*onDevice=*/false);
  }

  void start(bool onDevice) {
    harness.onMain([&] {
      auto recognizer = harness.fakes().recognizer->makeRecognizer("en-US");
      segment = RecognizerSegment::create(3, *recognizer,
                                          {.requiresOnDeviceRecognition = onDevice,
                                           .contextualStrings = {"Quelt"},
                                           .addsPunctuation = true},
                                          recorder.callbacks(),
                                          {*harness.server().clock(), harness.server().poster()});
    });
    task = harness.fakes().recognizer->task(harness.fakes().recognizer->taskCount() - 1);
  }

  // Lets every block posted so far run, then reads what the segment reported.
  Calls calls() {
    harness.onMain([] {});
    return recorder.calls;
  }
  void onMain(std::function<void()> block) { harness.onMain(std::move(block)); }

  ServerHarness harness;
  SegmentRecorder recorder;
  std::shared_ptr<RecognizerSegment> segment;
  std::shared_ptr<fakes::FakeRecognitionTask> task;
};

TEST_F(RecognizerSegmentTest, AsksForPartialsAndPassesTheContextualStrings) {
  EXPECT_TRUE(task->settings.reportPartialResults);
  EXPECT_EQ(task->settings.contextualStrings, std::vector<std::string>{"Quelt"});
}

TEST_F(RecognizerSegmentTest, PartialsThenAFinalWithTheMeanConfidence) {
  task->emitPartial("hello");
  task->emitPartial("hello there");
  task->emitFinal("Hello there.", {0.5f, 1.0f});
  task->emitFinal("ignored", {});
  EXPECT_EQ(calls(),
            (Calls{"partial 3 hello", "partial 3 hello there", "final 3 Hello there. 0.75"}));
}

TEST_F(RecognizerSegmentTest, EndOfSpeechErrorsEndTheSegmentOnlyAfterTheEndOfAudio) {
  task->emitPartial("so far");
  task->emitError("kLSRErrorDomain", 301, "Recognition request was canceled");
  EXPECT_EQ(calls(), (Calls{"partial 3 so far",
                            "failure 3 native recognition: Recognition request was canceled"}));
  EXPECT_EQ(recorder.errors[0].domain(), "kLSRErrorDomain");
  EXPECT_EQ(recorder.errors[0].nativeCode(), 301);
  EXPECT_EQ(task->cancelCalls, 1);

  for (auto [domain, code] :
       {std::pair{"kAFAssistantErrorDomain", 1110}, std::pair{"kAFAssistantErrorDomain", 216},
        std::pair{"kLSRErrorDomain", 7}}) {
    recorder.calls.clear();
    start(false);
    task->emitPartial("words");
    onMain([&] { segment->endAudio(); });
    task->emitError(domain, code, "No speech detected");
    EXPECT_EQ(calls(), (Calls{"partial 3 words", "final 3 words -"})) << domain << code;
    EXPECT_EQ(task->cancelCalls, 0);
  }
}

TEST_F(RecognizerSegmentTest, NetworkFailuresAreTheirOwnError) {
  task->emitError("NSURLErrorDomain", -1009, "The Internet connection appears to be offline.");
  EXPECT_EQ(calls(), (Calls{"failure 3 network_unavailable The Internet connection appears to be "
                            "offline."}));
  EXPECT_EQ(recorder.errors[0].json()["native_code"], -1009);

  recorder.calls.clear();
  start(false);
  task->emitError("kAFAssistantErrorDomain", 1107, "offline");
  EXPECT_EQ(calls(), (Calls{"failure 3 network_unavailable offline"}));

  recorder.calls.clear();
  start(true); // required on device: 1107 is just another failure
  task->emitError("kAFAssistantErrorDomain", 1107, "offline");
  EXPECT_EQ(calls(), (Calls{"failure 3 native recognition: offline"}));
}

TEST_F(RecognizerSegmentTest, TheTimerFinishesARecognizerEightSecondsAfterItLastShowedWork) {
  task->emitPartial("last words");
  onMain([&] {
    segment->endAudio();
    segment->endAudio();
  });
  EXPECT_EQ(task->endAudioCalls, 1);
  // Still decoding audio it was given: each sign of work restarts the wait.
  // Each sign is let through the main queue before the clock moves on.
  harness.clock().advance(std::chrono::milliseconds(7000));
  task->emit(std::nullopt);
  onMain([] {});
  harness.clock().advance(std::chrono::milliseconds(7000));
  task->emitPartial("last words");
  onMain([] {});
  harness.clock().advance(std::chrono::milliseconds(7999));
  EXPECT_EQ(calls(), (Calls{"partial 3 last words", "partial 3 last words"}));
  harness.clock().advance(std::chrono::milliseconds(1));
  EXPECT_EQ(calls(),
            (Calls{"partial 3 last words", "partial 3 last words", "final 3 last words -"}));
  EXPECT_EQ(task->cancelCalls, 1);
  task->emitFinal("too late", {1.0f});
  EXPECT_EQ(calls().size(), 3u);
}

TEST_F(RecognizerSegmentTest, CancelSilencesEverythingEvenWhatIsAlreadyQueued) {
  onMain([&] { segment->endAudio(); });
  // The result is on its way to the main queue when the cancel runs there first.
  onMain([&] {
    task->emit(RecognitionResult{"queued", {}, true});
    segment->cancel();
  });
  harness.clock().advance(std::chrono::seconds(10));
  EXPECT_EQ(calls(), Calls{});
  EXPECT_EQ(task->cancelCalls, 1);
}

TEST_F(RecognizerSegmentTest, OneTerminalCallbackOnly) {
  task->emitError("Other", 1, "boom");
  task->emitFinal("after", {});
  onMain([&] { segment->endAudio(); });
  harness.clock().advance(std::chrono::seconds(9));
  EXPECT_EQ(calls(), (Calls{"failure 3 native recognition: boom"}));
}

} // namespace
} // namespace quelt::testing
