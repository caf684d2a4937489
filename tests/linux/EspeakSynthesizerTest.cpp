#include "synthesis/WorkerSynthesizerService.h"

#include "linux/PulseServerFixture.h"
#include "linux/SynthesisWorkers.h"
#include "pulse/PulseAudioOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace quelt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string sentence = "Hello world, this is a test.";
const std::string longText = "This sentence goes on for a good while, so that there is time to "
                             "stop it, pause it and carry on again before it comes to its end.";

std::shared_ptr<SpeechUtterance> utterance(const std::string& text,
                                           std::optional<float> rate = std::nullopt) {
  auto u = std::make_shared<SpeechUtterance>();
  u->text = text;
  u->rate = rate;
  return u;
}

struct Report {
  std::string kind;
  int64_t location = 0;
  int64_t length = 0;
};

class Recorder : public SynthesizerDelegate {
public:
  void didStart(const std::shared_ptr<SpeechUtterance>&) override { add({"start"}); }
  void willSpeakRange(const std::shared_ptr<SpeechUtterance>&, int64_t location,
                      int64_t length) override {
    add({"range", location, length});
  }
  void didPause(const std::shared_ptr<SpeechUtterance>&) override { add({"pause"}); }
  void didContinue(const std::shared_ptr<SpeechUtterance>&) override { add({"continue"}); }
  void didFinish(const std::shared_ptr<SpeechUtterance>&) override { add({"finish"}); }
  void didCancel(const std::shared_ptr<SpeechUtterance>&) override { add({"cancel"}); }

  // True once `count` reports of this kind have come.
  bool waitFor(const std::string& kind, size_t count = 1, Clock::duration timeout = 15s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(kind) >= count; });
  }
  size_t count(const std::string& kind) {
    std::lock_guard lock(mutex_);
    return countLocked(kind);
  }
  std::vector<Report> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  // The kinds in order, ranges folded into one entry per run.
  std::vector<std::string> outline() {
    std::vector<std::string> kinds;
    for (const auto& report : reports())
      if (kinds.empty() || kinds.back() != report.kind || report.kind != "range")
        kinds.push_back(report.kind);
    return kinds;
  }

private:
  void add(Report report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
    changed_.notify_all();
  }
  size_t countLocked(const std::string& kind) const {
    return static_cast<size_t>(std::count_if(reports_.begin(), reports_.end(),
                                             [&](const Report& r) { return r.kind == kind; }));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
};

struct Rendered {
  std::vector<uint32_t> frames;
  bool ended = false;
  std::string failure;
  uint32_t total() const {
    uint32_t sum = 0;
    for (auto f : frames)
      sum += f;
    return sum;
  }
};

struct RenderInFlight {
  std::shared_ptr<Rendered> result = std::make_shared<Rendered>();
  std::shared_ptr<std::promise<void>> audio = std::make_shared<std::promise<void>>();
  std::shared_ptr<std::promise<void>> done = std::make_shared<std::promise<void>>();
  std::future<void> audioCame = audio->get_future();
  std::future<void> ended = done->get_future();

  Rendered wait() {
    EXPECT_EQ(ended.wait_for(20s), std::future_status::ready);
    return *result;
  }
};

std::unique_ptr<RenderInFlight> startRender(SpeechSynthesizer& synthesizer,
                                            std::shared_ptr<SpeechUtterance> u) {
  auto render = std::make_unique<RenderInFlight>();
  synthesizer.write(
      std::move(u),
      [result = render->result, audio = render->audio,
       done = render->done](const PcmBuffer* buffer) {
        EXPECT_FALSE(result->ended) << "audio after the end";
        if (!buffer || result->ended)
          return false;
        if (buffer->frameLength() == 0) {
          result->ended = true;
          done->set_value();
        } else {
          if (result->frames.empty())
            audio->set_value();
          result->frames.push_back(buffer->frameLength());
        }
        return true;
      },
      [result = render->result, done = render->done](const PlatformError& error) {
        result->failure = error.description();
        done->set_value();
      });
  return render;
}

Rendered render(SpeechSynthesizer& synthesizer, std::shared_ptr<SpeechUtterance> u) {
  return startRender(synthesizer, std::move(u))->wait();
}

std::string veryLongText() {
  std::string text;
  for (int i = 0; i < 450; ++i)
    text += "This sentence is one of very many, so that synthesis takes a while. ";
  return text;
}

std::vector<std::string> identifiers(const std::vector<VoiceInfo>& voices) {
  std::vector<std::string> ids;
  for (const auto& voice : voices)
    ids.push_back(voice.identifier);
  return ids;
}

// A parent stores voice identifiers: they must still name the same voice in the next process.
TEST(EspeakVoices, IdentifiersAreUniqueAndLastAndLanguagesMatchWholeThenByBase) {
  auto voices = WorkerSynthesizerService(QUELT_HELPER_PATH).voices();
  ASSERT_FALSE(voices.empty());
  auto ids = identifiers(voices);
  EXPECT_EQ(ids, identifiers(WorkerSynthesizerService(QUELT_HELPER_PATH).voices()));
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
  auto american = std::find_if(voices.begin(), voices.end(),
                               [](const VoiceInfo& v) { return v.language == "en-US"; });
  ASSERT_NE(american, voices.end());
  WorkerSynthesizerService service(QUELT_HELPER_PATH);
  EXPECT_EQ(service.voiceWithIdentifier(american->identifier)->name, american->name);
  EXPECT_FALSE(service.voiceWithIdentifier("espeak-ng:none:xx"));

  EXPECT_EQ(service.voiceWithLanguage("en-us")->language, "en-US");
  EXPECT_EQ(service.voiceWithLanguage("EN_GB")->language, "en-GB");
  auto fallback = service.voiceWithLanguage("en-AU");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->language.substr(0, 2), "en");
  auto byDefault = service.voiceWithLanguage(std::nullopt);
  ASSERT_TRUE(byDefault);
  EXPECT_EQ(byDefault->language, "en");
  EXPECT_FALSE(service.voiceWithLanguage("qq"));
  EXPECT_NE(service.currentLanguageCode().find('-'), std::string::npos);
}

TEST(EspeakRender, RateSetsTheSpeedAndConcurrentRendersAllEnd) {
  WorkerSynthesizerService service(QUELT_HELPER_PATH);
  auto slow = service.makeSynthesizer();
  auto fast = service.makeSynthesizer();
  Rendered slowly;
  std::thread other([&] { slowly = render(*slow, utterance(sentence, 0.0f)); });
  Rendered quickly = render(*fast, utterance(sentence, 1.0f));
  other.join();
  ASSERT_TRUE(slowly.ended && quickly.ended);
  EXPECT_LT(quickly.total() * 2.5, slowly.total());
}

// espeak-ng crashes on some texts and could hang on others: either ends only the work its
// worker had, and the next render or utterance gets a fresh worker.
TEST(EspeakWorkers, ACrashedOrHungWorkerFailsOnlyItsOwnWork) {
  testing::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:/nonexistent/quelt-no-server");
  WorkerSynthesizerService service(QUELT_HELPER_PATH, {}, {}, 1s);
  ASSERT_FALSE(service.voices().empty());
  auto synthesizer = service.makeSynthesizer();

  // An utterance whose synthesis crashes is cancelled unspoken; the queue goes on.
  auto recorder = std::make_shared<Recorder>();
  synthesizer->setDelegate(recorder);
  synthesizer->speak(utterance(veryLongText()));
  synthesizer->speak(utterance(sentence, 1.0f));
  auto speaking = testing::awaitSynthesisWorkers(::getpid());
  ASSERT_EQ(speaking.size(), 1u);
  ::kill(speaking.front(), SIGKILL);
  ASSERT_TRUE(recorder->waitFor("finish", 1, 30s));
  EXPECT_EQ(recorder->outline(), (std::vector<std::string>{"cancel", "start", "range", "finish"}));

  // The render's worker cannot be told from the idle ones: all get the signal, and those still
  // there afterwards are let go on.
  for (int signal : {SIGKILL, SIGSTOP}) {
    auto running = startRender(*synthesizer, utterance(veryLongText()));
    ASSERT_EQ(running->audioCame.wait_for(20s), std::future_status::ready);
    auto workers = testing::synthesisWorkersOf(::getpid());
    for (pid_t worker : workers)
      ::kill(worker, signal);
    Rendered failed = running->wait();
    EXPECT_FALSE(failed.ended);
    EXPECT_EQ(failed.failure, signal == SIGKILL
                                  ? "the synthesizer ended: killed by signal 9 (SIGKILL)"
                                  : "the synthesizer made no progress for 1 s and was stopped");
    for (pid_t worker : workers)
      ::kill(worker, SIGCONT);
    ASSERT_TRUE(signal != SIGKILL || testing::awaitEnd(workers, ::getpid()));
    EXPECT_TRUE(render(*synthesizer, utterance(sentence)).ended);
  }
}

class EspeakSpeechTest : public testing::PulseServerFixture {
protected:
  void SetUp() override {
    PulseServerFixture::SetUp();
    service_ = std::make_unique<WorkerSynthesizerService>(
        QUELT_HELPER_PATH, [] { return std::make_unique<PulseAudioOutput>("quelt-voice-test"); });
    synthesizer_ = service_->makeSynthesizer();
    synthesizer_->setDelegate(recorder_);
  }
  void TearDown() override {
    synthesizer_.reset();
    service_.reset();
    PulseServerFixture::TearDown();
  }

  std::unique_ptr<WorkerSynthesizerService> service_;
  std::shared_ptr<SpeechSynthesizer> synthesizer_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

TEST_F(EspeakSpeechTest, StoppingAtOnceCancelsMidUtterance) {
  synthesizer_->speak(utterance(longText));
  ASSERT_TRUE(recorder_->waitFor("range", 2));
  EXPECT_TRUE(synthesizer_->stopSpeaking(SpeechBoundary::immediate));
  ASSERT_TRUE(recorder_->waitFor("cancel"));
  EXPECT_EQ(recorder_->outline(), (std::vector<std::string>{"start", "range", "cancel"}));
  EXPECT_LT(recorder_->count("range"), 10u);
  EXPECT_FALSE(synthesizer_->pauseSpeaking(SpeechBoundary::immediate));
}

TEST_F(EspeakSpeechTest, StoppingAtAWordSpeaksNoFurtherWord) {
  synthesizer_->speak(utterance(longText));
  ASSERT_TRUE(recorder_->waitFor("range", 2));
  EXPECT_TRUE(synthesizer_->stopSpeaking(SpeechBoundary::word));
  size_t ranges = recorder_->count("range");
  ASSERT_TRUE(recorder_->waitFor("cancel"));
  EXPECT_LE(recorder_->count("range"), ranges + 1);
}

TEST_F(EspeakSpeechTest, PausingHoldsTheWordsUntilItContinues) {
  EXPECT_FALSE(synthesizer_->pauseSpeaking(SpeechBoundary::immediate));
  EXPECT_FALSE(synthesizer_->continueSpeaking());
  synthesizer_->speak(utterance(longText, 0.7f));
  ASSERT_TRUE(recorder_->waitFor("range", 2));
  EXPECT_TRUE(synthesizer_->pauseSpeaking(SpeechBoundary::immediate));
  EXPECT_FALSE(synthesizer_->pauseSpeaking(SpeechBoundary::immediate));
  ASSERT_TRUE(recorder_->waitFor("pause"));
  size_t held = recorder_->count("range");
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(recorder_->count("range"), held);
  EXPECT_TRUE(synthesizer_->continueSpeaking());
  ASSERT_TRUE(recorder_->waitFor("finish", 1, 30s));
  EXPECT_EQ(recorder_->outline(),
            (std::vector<std::string>{"start", "range", "pause", "continue", "range", "finish"}));
}

// The delegate's ranges count UTF-16 units: "é" is one, the emoji two.
TEST(EspeakSilentSpeech, WordRangesAreUtf16OffsetsIntoTheText) {
  testing::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:/nonexistent/quelt-no-server");
  WorkerSynthesizerService service(QUELT_HELPER_PATH);
  auto synthesizer = service.makeSynthesizer();
  auto recorder = std::make_shared<Recorder>();
  synthesizer->setDelegate(recorder);
  // A NUL is a character like any other: the word after it is spoken and found where it is.
  synthesizer->speak(utterance(std::string("Café 😀 hello\0world", 19), 1.0f));
  ASSERT_TRUE(recorder->waitFor("finish"));
  std::vector<std::pair<int64_t, int64_t>> ranges;
  for (const auto& report : recorder->reports())
    if (report.kind == "range")
      ranges.emplace_back(report.location, report.length);
  EXPECT_EQ(ranges.front(), std::make_pair(int64_t{0}, int64_t{4}));
  EXPECT_EQ(ranges[3], std::make_pair(int64_t{8}, int64_t{5}));
  EXPECT_EQ(ranges.back().first, 14) << ::testing::PrintToString(ranges);
}

} // namespace
} // namespace quelt
