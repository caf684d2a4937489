#include "audio/FileSource.h"

#include "ServerHarness.h"
#include "sndfile/SndfileAudioServices.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <condition_variable>
#include <filesystem>

namespace quelt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string fixtures = QUELT_FIXTURES_DIR;

// What a source handed over: each buffer's frame count, or -1 for a silent one.
struct Log {
  std::mutex mutex;
  std::vector<int> buffers;
  int ends = 0;
  std::thread::id endThread;
  std::function<void()> afterBuffer; // on the delivery thread
};

// Records each deadline a delivery thread sleeps until, then sleeps on the wrapped clock.
class RecordingClock : public Clock {
public:
  explicit RecordingClock(Clock& inner) : inner_(inner) {}
  TimePoint now() const override { return inner_.now(); }
  std::shared_ptr<Timer> schedule(Duration delay, std::function<void()> fire) override {
    return inner_.schedule(delay, std::move(fire));
  }
  void sleepUntil(TimePoint deadline) override {
    {
      std::lock_guard lock(mutex_);
      deadlines.push_back(deadline);
    }
    changed_.notify_all();
    inner_.sleepUntil(deadline);
  }
  TimePoint waitForSleep(size_t number) {
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(changed_.wait_for(lock, 10s, [&] { return deadlines.size() >= number; }));
    return deadlines.size() >= number ? deadlines[number - 1] : TimePoint{};
  }
  std::vector<TimePoint> deadlines;

private:
  Clock& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

class FileSourceTest : public ::testing::Test {
protected:
  void SetUp() override {
    harness.start();
    harness.onMain([this] { mainThread = std::this_thread::get_id(); });
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  std::shared_ptr<FileSource> open(const std::string& path, Pace pace = Pace::asRead) {
    auto source = FileSource::create(services, path, pace, clock, harness.server().poster());
    source->open();
    return source;
  }

  // Runs delivery into the log and waits until its thread has let go of the callbacks, then
  // until the main queue has run what it posted.
  void run(FileSource& source) {
    auto token = std::make_shared<int>();
    std::weak_ptr<int> running = token;
    auto onBuffer = [log = log, token](const PcmBuffer& buffer) {
      auto samples = buffer.floatPlane(0).first(buffer.frameLength());
      bool silent = std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0; });
      {
        std::lock_guard lock(log->mutex);
        log->buffers.push_back(silent ? -1 : static_cast<int>(buffer.frameLength()));
      }
      if (log->afterBuffer)
        log->afterBuffer();
    };
    auto onEnd = [log = log] {
      std::lock_guard lock(log->mutex);
      ++log->ends;
      log->endThread = std::this_thread::get_id();
    };
    source.start(std::move(onBuffer), onEnd,
                 [](const HelperError& error) { ADD_FAILURE() << error.what(); });
    token.reset();
    for (int waited = 0; waited < 10000 && !running.expired(); ++waited)
      std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(running.expired()) << "the delivery thread is still running";
    harness.onMain([] {});
  }

  std::string writeFile(const std::string& name, int rate, const std::vector<float>& samples) {
    std::string path = (directory / name).string();
    SF_INFO info{.frames = 0,
                 .samplerate = rate,
                 .channels = 1,
                 .format = SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                 .sections = 0,
                 .seekable = 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return path;
  }

  testing::ServerHarness harness{testing::ServerHarness::Ops::none};
  std::shared_ptr<RecordingClock> clock = std::make_shared<RecordingClock>(harness.clock());
  SndfileAudioServices services;
  std::shared_ptr<Log> log = std::make_shared<Log>();
  std::thread::id mainThread;
  fs::path directory =
      fs::temp_directory_path() / ("quelt-file-source-" + std::to_string(::getpid()));
};

std::vector<int> tenthsThenTail(int full, int last, int chunk) {
  std::vector<int> buffers(full, chunk);
  if (last)
    buffers.push_back(last);
  buffers.insert(buffers.end(), 5, -1);
  return buffers;
}

TEST_F(FileSourceTest, DeliversTenthsOfASecondThenFiveSilentOnesThenEndsOnTheMainQueue) {
  auto source = open(fixtures + "/sentence-48k-stereo.wav");
  EXPECT_EQ(source->format(), (AudioFormat{48000, 2, SampleFormat::float32, false}));
  run(*source);
  EXPECT_EQ(log->buffers, tenthsThenTail(24, 2880, 4800));
  EXPECT_EQ(log->ends, 1);
  EXPECT_EQ(log->endThread, mainThread);
}

// An empty file still gives the silent tail; below ten hertz every buffer is one frame.
TEST_F(FileSourceTest, EmptyFilesAndSlowRatesStillEndWithTheSilentTail) {
  run(*open(writeFile("empty.wav", 16000, {})));
  EXPECT_EQ(log->buffers, tenthsThenTail(0, 0, 1600));
  EXPECT_EQ(log->ends, 1);
  log = std::make_shared<Log>();
  run(*open(writeFile("slow.wav", 5, {0.25f, -0.5f, 0.75f})));
  EXPECT_EQ(log->buffers, tenthsThenTail(3, 0, 1));
}

TEST_F(FileSourceTest, StopEndsDeliveryWithoutTailOrEnd) {
  auto source = open(fixtures + "/sentence-16k-mono.wav");
  log->afterBuffer = [this, source] {
    if (log->buffers.size() == 3)
      source->stop();
  };
  run(*source);
  EXPECT_EQ(log->buffers, std::vector<int>(3, 1600));
  EXPECT_EQ(log->ends, 0);
}

TEST_F(FileSourceTest, TheLastReferenceMayDropOnTheDeliveryThread) {
  auto source = open(fixtures + "/tone-8k-1s.wav");
  FileSource& started = *source;
  log->afterBuffer = [only = std::move(source)]() mutable { only.reset(); };
  run(started);
  EXPECT_EQ(log->buffers, std::vector<int>{800});
  EXPECT_EQ(log->ends, 0);
}

TEST_F(FileSourceTest, RealtimeSleepsUntilAbsoluteDeadlinesAndCatchesUpWhenLate) {
  Clock::TimePoint begin = clock->now();
  auto source = open(fixtures + "/tone-8k-1s.wav", Pace::realtime);
  std::thread runner([&] { run(*source); });
  EXPECT_EQ(clock->waitForSleep(1), begin + 100ms);
  harness.clock().advance(100ms);
  EXPECT_EQ(clock->waitForSleep(2), begin + 200ms);
  // Woken past the end of the file's audio: the buffers already due go out at once, but the
  // silent tail still takes its half second, a tenth after each of its buffers.
  harness.clock().advance(1500ms);
  for (int sleep = 3; sleep <= 7; ++sleep) {
    EXPECT_EQ(clock->waitForSleep(sleep), begin + 1700ms + (sleep - 3) * 100ms);
    if (sleep == 3) {
      std::lock_guard lock(log->mutex);
      EXPECT_EQ(log->buffers.size(), 11u);
    }
    harness.clock().advance(100ms);
  }
  runner.join();
  EXPECT_EQ(clock->deadlines.size(), 7u);
  EXPECT_EQ(log->buffers, tenthsThenTail(10, 0, 800));
  EXPECT_EQ(log->ends, 1);
}

} // namespace
} // namespace quelt
