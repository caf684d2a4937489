#include "engines/AnalyzerSegment.h"
#include "ServerHarness.h"
#include "engines/SegmentEngine.h"
#include "engines/SegmentRecorder.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

using Calls = std::vector<std::string>;

const AudioFormat micFormat{48000, 1, SampleFormat::float32, true};

PcmBuffer audio(const AudioFormat& format, uint32_t frames) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  return buffer;
}

class AnalyzerSegmentTest : public ::testing::Test {
protected:
  void SetUp() override { harness.start(); }

  std::shared_ptr<AnalyzerSegment> make(AudioFormat input = micFormat) {
    Server& server = harness.server();
    return AnalyzerSegment::create(
        0, Locale("fr-FR"), input, *harness.fakes().transcriber, recorder.callbacks(),
        {*server.clock(), server.poster(),
         [&server](std::function<void()> work) { server.runTask(std::move(work)); },
         *harness.fakes().audio});
  }

  // A started segment, as the session has it.
  std::shared_ptr<AnalyzerSegment> started(AudioFormat input = micFormat) {
    auto segment = make(input);
    segment->start();
    return segment;
  }

  // Read on the main queue, where the results keep arriving.
  Calls calls() {
    Calls copy;
    harness.onMain([&] { copy = recorder.calls; });
    return copy;
  }
  // Results travel through the analyzer's own thread; wait until they have been reported.
  Calls callsOnceThereAre(size_t count) {
    for (int i = 0; i < 500 && calls().size() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return calls();
  }

  fakes::FakeSpeechAnalyzer& analyzer() { return *harness.fakes().transcriber->analyzer; }

  ServerHarness harness;
  SegmentRecorder recorder;
};

TEST_F(AnalyzerSegmentTest, VolatileAndFinalPiecesFoldIntoWholeTexts) {
  auto segment = started();
  EXPECT_EQ(harness.fakes().transcriber->analyzerLocale, "fr-FR");
  analyzer().push("A", false);
  analyzer().push("AB", false);
  analyzer().push("ABC", true);
  analyzer().push(" V", false);
  analyzer().push(" F2", true);
  analyzer().endResults();
  EXPECT_EQ(callsOnceThereAre(6),
            (Calls{"partial 0 A", "partial 0 AB", "partial 0 ABC", "partial 0 ABC V",
                   "partial 0 ABC F2", "final 0 ABC F2 -"}));
}

TEST_F(AnalyzerSegmentTest, StartFailsWithoutAFormatAConverterOrAnAnalyzer) {
  analyzer().offered.reset();
  try {
    make()->start();
    FAIL() << "started without a format";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.json(), (Json{{"code", "on_device_unavailable"},
                                  {"message", "SpeechAnalyzer offers no audio format for fr-FR"},
                                  {"locale", "fr-FR"}}));
  }
  analyzer().offered = AudioFormat{16000, 1, SampleFormat::int16, true};
  harness.fakes().audio->convertible = false;
  try {
    make()->start();
    FAIL() << "started without a converter";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.json(),
              (Json{{"code", "native"},
                    {"message", "cannot convert 1 ch, 48000 Hz, Float32, interleaved to 1 ch, "
                                "16000 Hz, Int16, interleaved"},
                    {"domain", "AVFAudio"}}));
  }
  harness.fakes().audio->convertible = true;
  analyzer().startError = PlatformError("Speech", 3, "busy");
  try {
    make()->start();
    FAIL() << "started although the analyzer refused";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.message(), "start SpeechAnalyzer: busy");
    EXPECT_EQ(error.nativeCode(), 3);
  }
}

TEST_F(AnalyzerSegmentTest, AudioIsConvertedOnlyWhenTheFormatsDiffer) {
  auto segment = make();
  segment->append(audio(micFormat, 480)); // before start: dropped
  segment->start();
  segment->append(audio(micFormat, 4800));
  auto input = analyzer().input();
  auto converted = input->next();
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->format(), analyzer().offered);
  EXPECT_EQ(converted->frameLength(), 1600u);

  harness.fakes().audio->failing = true;
  segment->append(audio(micFormat, 4800)); // a failed conversion is dropped silently
  harness.onMain([&] { segment->endAudio(); });
  segment->append(audio(micFormat, 4800)); // after the end: dropped
  EXPECT_EQ(input->next(), std::nullopt);

  AudioFormat same{16000, 1, SampleFormat::int16, false}; // layout alone needs no converter
  int convertersBefore = harness.fakes().audio->converters;
  auto passthrough = started(same);
  passthrough->append(audio(same, 160));
  EXPECT_EQ(analyzer().input()->next()->frameLength(), 160u);
  EXPECT_EQ(harness.fakes().audio->converters, convertersBefore);
}

TEST_F(AnalyzerSegmentTest, AFailedFinalisationStillEndsWithTheTextSoFar) {
  analyzer().finalizeError = PlatformError("Speech", 9, "finalize failed");
  auto segment = started();
  analyzer().push("partial text", false);
  callsOnceThereAre(1);
  harness.onMain([&] { segment->endAudio(); });
  EXPECT_EQ(callsOnceThereAre(2), (Calls{"partial 0 partial text", "final 0 partial text -"}));
}

TEST_F(AnalyzerSegmentTest, TheTimerEndsTheSegmentAndCancelsTheAnalyzer) {
  auto segment = started();
  analyzer().push("kept", true);
  callsOnceThereAre(1);
  harness.onMain([&] { segment->endAudio(); });
  harness.clock().advance(finalizeTimeout);
  EXPECT_EQ(calls(), (Calls{"partial 0 kept", "final 0 kept -"}));
  for (int i = 0; i < 500 && analyzer().cancelCalls == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(analyzer().cancelCalls, 1);
}

TEST_F(AnalyzerSegmentTest, ResultFailuresAreReportedAndCancelSilencesAll) {
  auto failing = started();
  analyzer().failResults(PlatformError("Speech", 4, "model crashed"));
  EXPECT_EQ(callsOnceThereAre(1),
            (Calls{"failure 0 native SpeechAnalyzer results: model crashed"}));

  recorder.calls.clear();
  harness.fakes().transcriber->analyzer = std::make_shared<fakes::FakeSpeechAnalyzer>();
  auto cancelled = started();
  harness.onMain([&] {
    cancelled->endAudio();
    cancelled->cancel();
  });
  analyzer().push("late", true);
  analyzer().endResults();
  harness.clock().advance(std::chrono::seconds(9));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls(), Calls{});
}

} // namespace
} // namespace quelt::testing
