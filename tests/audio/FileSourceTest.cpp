#include "audio/FileSource.h"

#include "ServerHarness.h"
#include "platform/linux/SndfileAudioServices.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <pthread.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string fixtures = QUELT_FIXTURES_DIR;

struct Delivered {
  uint32_t frames = 0;
  double sum = 0; // of every valid sample, to tell buffers' contents apart
  bool silent = true;
  std::string thread;
};

// What a source handed over, in order, from whichever thread.
struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Delivered> buffers;
  int ends = 0;
  std::vector<HelperError> failures;
  std::thread::id endThread;
  // Runs on the delivery thread after each buffer is logged.
  std::function<void()> afterBuffer;

  void bufferArrived(const PcmBuffer& buffer) {
    Delivered delivered;
    delivered.frames = buffer.frameLength();
    for (uint32_t plane = 0; plane < buffer.format().planes(); ++plane)
      for (float sample : buffer.floatPlane(plane).first(buffer.frameLength())) {
        delivered.sum += sample;
        delivered.silent = delivered.silent && sample == 0;
      }
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    delivered.thread = name;
    {
      std::lock_guard lock(mutex);
      buffers.push_back(delivered);
    }
    changed.notify_all();
  }

  template <typename Predicate> bool waitFor(Predicate done, std::chrono::seconds timeout = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done(); });
  }
};

// Records the deadlines a delivery thread sleeps until, then sleeps on the wrapped clock.
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
      deadlines_.push_back(deadline);
    }
    changed_.notify_all();
    inner_.sleepUntil(deadline);
  }

  std::vector<TimePoint> deadlines() {
    std::lock_guard lock(mutex_);
    return deadlines_;
  }
  bool waitForSleeps(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return deadlines_.size() >= count; });
  }

private:
  Clock& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TimePoint> deadlines_;
};

// A reader whose second read fails, as a file on a vanished disk would.
class FailingReader : public AudioFileReader {
public:
  AudioFormat processingFormat() const override { return {10, 1, SampleFormat::float32, false}; }
  int64_t length() const override { return 100; }
  int64_t framePosition() const override { return position_; }
  void read(PcmBuffer& buffer, uint32_t frames) override {
    if (position_ > 0)
      throw PlatformError("libsndfile", 42, "disk gone");
    buffer.setFrameLength(frames);
    position_ += frames;
  }

private:
  int64_t position_ = 0;
};

class FailingServices : public AudioServices {
public:
  std::unique_ptr<AudioFileReader> openForReading(const std::string&) override {
    return std::make_unique<FailingReader>();
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
    return nullptr;
  }
};

class FileSourceTest : public ::testing::Test {
protected:
  void SetUp() override {
    harness.start();
    harness.onMain([this] { mainThread = std::this_thread::get_id(); });
    directory = fs::temp_directory_path() /
                ("quelt-file-source-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  std::shared_ptr<FileSource> open(const std::string& path, bool realtime = false) {
    return open(services, path, realtime, harness.clock());
  }
  std::shared_ptr<FileSource> open(AudioServices& from, const std::string& path, bool realtime,
                                   Clock& clock) {
    return FileSource::open(from, path, realtime, clock, harness.server().poster());
  }

  // Starts delivery into `log`. The delivery thread alone holds `running`'s object, so it
  // expires once that thread has let go of its callbacks.
  void start(FileSource& source) {
    auto token = std::make_shared<int>();
    running = token;
    auto onBuffer = [log = log, token](const PcmBuffer& buffer) {
      log->bufferArrived(buffer);
      if (log->afterBuffer)
        log->afterBuffer();
    };
    auto onEnd = [log = log] {
      {
        std::lock_guard lock(log->mutex);
        ++log->ends;
        log->endThread = std::this_thread::get_id();
      }
      log->changed.notify_all();
    };
    auto onFailure = [log = log](const HelperError& error) {
      {
        std::lock_guard lock(log->mutex);
        log->failures.push_back(error);
      }
      log->changed.notify_all();
    };
    source.start(onBuffer, onEnd, onFailure);
  }

  // Waits for the delivery thread to finish, then for the main queue to run what it posted.
  void waitForDeliveryToFinish() {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!running.expired() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(running.expired()) << "the delivery thread did not finish";
    harness.onMain([] {});
  }

  bool waitForEnd() {
    return log->waitFor([&] { return log->ends > 0; });
  }

  std::string writeFile(const std::string& name, int rate, const std::vector<float>& samples) {
    std::string path = (directory / name).string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file) {
      sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
      sf_close(file);
    }
    return path;
  }

  testing::ServerHarness harness{testing::ServerHarness::Ops::none};
  SndfileAudioServices services;
  std::shared_ptr<Log> log = std::make_shared<Log>();
  std::weak_ptr<int> running;
  std::thread::id mainThread;
  fs::path directory;
};

size_t countSilentTail(const std::vector<Delivered>& buffers, uint32_t chunk) {
  size_t count = 0;
  for (auto it = buffers.rbegin(); it != buffers.rend() && it->silent && it->frames == chunk; ++it)
    ++count;
  return count;
}

TEST_F(FileSourceTest, DeliversTenthsOfASecondThenHalfASecondOfSilenceThenEnds) {
  std::string path = fixtures + "/sentence-48k-stereo.wav";
  auto source = open(path);
  EXPECT_EQ(source->format(), (AudioFormat{48000, 2, SampleFormat::float32, false}));
  start(*source);
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();

  // The same file read directly: 24 full tenths and a last partial one of 2880 frames.
  auto reader = services.openForReading(path);
  PcmBuffer expected(reader->processingFormat(), 4800);
  std::vector<Delivered> file;
  for (reader->read(expected, 4800); expected.frameLength() > 0; reader->read(expected, 4800)) {
    Delivered delivered;
    delivered.frames = expected.frameLength();
    for (uint32_t plane = 0; plane < 2; ++plane)
      for (float sample : expected.floatPlane(plane).first(expected.frameLength()))
        delivered.sum += sample;
    file.push_back(delivered);
  }
  ASSERT_EQ(file.size(), 25u);
  ASSERT_EQ(file.back().frames, 2880u);

  std::lock_guard lock(log->mutex);
  ASSERT_EQ(log->buffers.size(), 30u);
  for (size_t i = 0; i < file.size(); ++i) {
    EXPECT_EQ(log->buffers[i].frames, file[i].frames) << "buffer " << i;
    EXPECT_DOUBLE_EQ(log->buffers[i].sum, file[i].sum) << "buffer " << i;
  }
  EXPECT_EQ(countSilentTail(log->buffers, 4800), 5u);
  for (const auto& buffer : log->buffers)
    EXPECT_EQ(buffer.thread, "fixture-reader");
  EXPECT_EQ(log->ends, 1);
  EXPECT_EQ(log->endThread, mainThread);
  EXPECT_TRUE(log->failures.empty());
}

TEST_F(FileSourceTest, AnEmptyFileGivesOnlyTheSilentTail) {
  auto source = open(writeFile("empty.wav", 16000, {}));
  start(*source);
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 5u);
  EXPECT_EQ(countSilentTail(log->buffers, 1600), 5u);
  EXPECT_EQ(log->ends, 1);
}

TEST_F(FileSourceTest, BelowTenHertzEveryBufferIsOneFrame) {
  auto source = open(writeFile("slow.wav", 5, {0.25f, -0.5f, 0.75f}));
  start(*source);
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  ASSERT_EQ(log->buffers.size(), 8u);
  EXPECT_EQ(log->buffers[0].sum, 0.25);
  EXPECT_EQ(log->buffers[1].sum, -0.5);
  EXPECT_EQ(log->buffers[2].sum, 0.75);
  EXPECT_EQ(countSilentTail(log->buffers, 1), 5u);
}

TEST_F(FileSourceTest, AFileThatDoesNotOpenIsAnIoErrorNamingThePath) {
  std::string missing = (directory / "missing.wav").string();
  std::string text = (directory / "notes.wav").string();
  std::ofstream(text) << "these are not samples, only words pretending to be a recording\n";

  for (const std::string& path : {missing, text}) {
    int64_t code = 0;
    std::string why;
    try {
      services.openForReading(path);
    } catch (const PlatformError& error) {
      code = error.code();
      why = error.description();
    }
    ASSERT_FALSE(why.empty()) << path << " opened";
    try {
      open(path);
      ADD_FAILURE() << path << " opened";
    } catch (const HelperError& error) {
      EXPECT_EQ(error.code(), "io");
      EXPECT_EQ(error.message(), "open " + path + ": " + why);
      EXPECT_EQ(error.domain(), path);
      EXPECT_EQ(error.nativeCode(), code);
    }
  }
}

TEST_F(FileSourceTest, StopBetweenBuffersEndsDeliveryWithoutTailOrEnd) {
  auto source = open(fixtures + "/sentence-16k-mono.wav");
  log->afterBuffer = [this, source] {
    if (log->buffers.size() == 3) {
      source->stop();
      source->stop();
    }
  };
  start(*source);
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 3u);
  EXPECT_EQ(log->ends, 0);
  EXPECT_TRUE(log->failures.empty());
}

TEST_F(FileSourceTest, StoppedBeforeStartDeliversNothing) {
  auto source = open(fixtures + "/tone-8k-1s.wav");
  source->stop();
  start(*source);
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_TRUE(log->buffers.empty());
  EXPECT_EQ(log->ends, 0);
}

TEST_F(FileSourceTest, DroppingTheSourceEndsDelivery) {
  RecordingClock clock(harness.clock());
  auto source = open(services, fixtures + "/tone-8k-1s.wav", true, clock);
  start(*source);
  ASSERT_TRUE(clock.waitForSleeps(1));
  source.reset();
  harness.clock().advance(100ms);
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 1u);
  EXPECT_EQ(log->ends, 0);
}

TEST_F(FileSourceTest, TheLastReferenceMayDropOnTheDeliveryThread) {
  auto source = open(fixtures + "/tone-8k-1s.wav");
  FileSource& started = *source;
  log->afterBuffer = [only = std::move(source)]() mutable { only.reset(); };
  start(started);
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 1u);
  EXPECT_EQ(log->ends, 0);
}

TEST_F(FileSourceTest, AReadErrorReportsAFailureOnTheMainQueueAndNoEnd) {
  FailingServices failing;
  auto source = open(failing, "/vanished/disk.wav", false, harness.clock());
  start(*source);
  ASSERT_TRUE(log->waitFor([&] { return !log->failures.empty(); }));
  waitForDeliveryToFinish();
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 1u);
  EXPECT_EQ(log->ends, 0);
  ASSERT_EQ(log->failures.size(), 1u);
  const HelperError& failure = log->failures[0];
  EXPECT_EQ(failure.code(), "native");
  EXPECT_EQ(failure.message(), "read fixture: disk gone");
  EXPECT_EQ(failure.domain(), "libsndfile");
  EXPECT_EQ(failure.nativeCode(), 42);
}

TEST_F(FileSourceTest, RealtimeSleepsUntilEachBuffersDeadline) {
  RecordingClock clock(harness.clock());
  Clock::TimePoint begin = clock.now();
  auto source = open(services, fixtures + "/tone-8k-1s.wav", true, clock);
  start(*source);
  // Ten tenths of a second of tone, five of silence, each followed by a sleep to its deadline.
  for (size_t i = 1; i <= 15; ++i) {
    ASSERT_TRUE(clock.waitForSleeps(i));
    EXPECT_EQ(clock.deadlines().back(), begin + static_cast<int>(i) * 100ms);
    {
      std::lock_guard lock(log->mutex);
      EXPECT_EQ(log->buffers.size(), i);
      EXPECT_EQ(log->ends, 0);
    }
    harness.clock().advance(100ms);
  }
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();
  EXPECT_EQ(clock.deadlines().size(), 15u);
}

TEST_F(FileSourceTest, RealtimeCatchesUpOnLateWakeUpsWithoutSleeping) {
  RecordingClock clock(harness.clock());
  Clock::TimePoint begin = clock.now();
  auto source = open(services, fixtures + "/tone-8k-1s.wav", true, clock);
  start(*source);
  ASSERT_TRUE(clock.waitForSleeps(1));
  // Woken nine tenths late: the buffers already due go out at once, the next one waits.
  harness.clock().advance(1000ms);
  ASSERT_TRUE(clock.waitForSleeps(2));
  EXPECT_EQ(clock.deadlines()[1], begin + 1100ms);
  {
    std::lock_guard lock(log->mutex);
    EXPECT_EQ(log->buffers.size(), 11u);
  }
  harness.clock().advance(1s);
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();
}

TEST_F(FileSourceTest, WithoutRealtimeNothingWaitsForTheClock) {
  RecordingClock clock(harness.clock());
  auto source = open(services, fixtures + "/tone-8k-1s.wav", false, clock);
  start(*source);
  ASSERT_TRUE(waitForEnd());
  waitForDeliveryToFinish();
  EXPECT_TRUE(clock.deadlines().empty());
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->buffers.size(), 15u);
}

TEST_F(FileSourceTest, RealtimeOneSecondFileTakesAboutOneAndAHalfSeconds) {
  SteadyClock clock(harness.server().mainContext());
  auto source = open(services, fixtures + "/tone-8k-1s.wav", true, clock);
  auto began = std::chrono::steady_clock::now();
  start(*source);
  ASSERT_TRUE(waitForEnd());
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GT(took, 1200ms);
  EXPECT_LT(took, 5s);
  waitForDeliveryToFinish();
}

} // namespace
} // namespace quelt
