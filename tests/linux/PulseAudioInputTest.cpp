#include "platform/linux/PulseAudioInput.h"

#include "audio/MicrophoneSource.h"
#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>
#include <pulse/def.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <numbers>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double toneHz = 440;
constexpr double toneAmplitude = 0.5;

// Plays a sine into the microphone's fifo in real time until destroyed: the pipe source only
// records while something writes.
class ToneWriter {
public:
  ToneWriter(const std::string& fifo, unsigned rate)
      : fd_(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)),
        thread_([this, rate] { run(rate); }) {}
  ~ToneWriter() {
    done_ = true;
    thread_.join();
    ::close(fd_);
  }

private:
  void run(unsigned rate) {
    // Once the source is unloaded nobody reads, and a write must fail rather than kill the test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::vector<int16_t> chunk(rate / 50);
    uint64_t written = 0;
    for (auto next = Clock::now(); !done_; std::this_thread::sleep_until(next += 20ms)) {
      for (auto& sample : chunk)
        sample = static_cast<int16_t>(
            std::lround(toneAmplitude * 32767 *
                        std::sin(2 * std::numbers::pi * toneHz * double(written++) / rate)));
      if (::write(fd_, chunk.data(), chunk.size() * sizeof(int16_t)) < 0 && errno == EPIPE)
        return;
    }
  }

  int fd_;
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

bool eventually(const std::function<bool()>& done, Clock::duration timeout = 10s) {
  for (auto deadline = Clock::now() + timeout; !done(); std::this_thread::sleep_for(5ms))
    if (Clock::now() > deadline)
      return false;
  return true;
}

class PulseAudioInputTest : public testing::PulseServerFixture {
protected:
  static InputDeviceInfo device(const std::string& uid) {
    InputDeviceInfo info;
    info.uid = uid;
    info.name = uid;
    return info;
  }
  std::shared_ptr<MicrophoneSource> source(const std::string& uid) {
    return MicrophoneSource::create(service, device(uid), [this](std::function<void()> block) {
      std::lock_guard lock(mutex);
      posted.push_back(std::move(block));
    });
  }
  // Blocks run outside the lock: they call into the input, whose own thread posts under the
  // PulseAudio lock.
  void runMainQueue() {
    std::vector<std::function<void()>> blocks;
    {
      std::lock_guard lock(mutex);
      blocks = std::exchange(posted, {});
    }
    for (auto& block : blocks)
      block();
  }

  PulseAudioInputService service;
  std::mutex mutex;
  std::vector<std::function<void()>> posted;
};

TEST_F(PulseAudioInputTest, RecordsWhatTheMicrophoneHearsAsFloatBuffersOf2048Frames) {
  auto microphone = source(micSourceName);
  AudioFormat expected{double(micRate), 1, SampleFormat::float32, true};
  EXPECT_EQ(microphone->format(), expected);
  ToneWriter writer(fifoPath(), micRate);
  std::vector<std::vector<float>> buffers;
  microphone->start(
      [&](const PcmBuffer& buffer) {
        EXPECT_EQ(buffer.format(), expected);
        EXPECT_EQ(buffer.frameLength(), 2048u);
        std::lock_guard lock(mutex);
        buffers.emplace_back(buffer.floatPlane(0).begin(), buffer.floatPlane(0).end());
      },
      [] {}, [](const HelperError& error) { ADD_FAILURE() << error.message(); });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return buffers.size() >= 8;
  }));
  microphone->stop();

  // The first buffers may still hold what the source had before the tone began.
  for (size_t i = 4; i < buffers.size(); ++i) {
    double energy = 0, peak = 0, crossings = 0;
    for (size_t j = 0; j < buffers[i].size(); ++j) {
      energy += buffers[i][j] * buffers[i][j];
      peak = std::max(peak, std::abs(double(buffers[i][j])));
      crossings += j > 0 && (buffers[i][j - 1] < 0) != (buffers[i][j] < 0);
    }
    EXPECT_NEAR(std::sqrt(energy / 2048), toneAmplitude / std::sqrt(2.0), 0.02) << i;
    EXPECT_NEAR(peak, toneAmplitude, 0.02) << i;
    EXPECT_NEAR(crossings / 2 * micRate / 2048, toneHz, 15) << i;
  }
}

TEST_F(PulseAudioInputTest, UnknownSourcesAndMonitorsAreNotFound) {
  for (std::string uid : {"no_such_source", speakerMonitorName}) {
    try {
      source(uid);
      ADD_FAILURE() << uid << " was found";
    } catch (const HelperError& error) {
      EXPECT_EQ(error.code(), "device_not_found");
      EXPECT_EQ(error.message(), uid);
      EXPECT_EQ(error.nativeCode(), PA_ERR_NOENTITY);
    }
  }
}

TEST_F(PulseAudioInputTest, UnpluggingFailsTheCaptureOnceAndAnotherStartAtOnce) {
  auto microphone = source(micSourceName);
  ToneWriter writer(fifoPath(), micRate);
  std::atomic<int> buffers = 0;
  std::vector<HelperError> failures;
  auto onFailure = [&](const HelperError& error) { failures.push_back(error); };
  microphone->start([&](const PcmBuffer&) { ++buffers; }, [] {}, onFailure);
  ASSERT_TRUE(eventually([&] { return buffers > 0; }));

  ASSERT_TRUE(unloadMicSource());
  EXPECT_TRUE(eventually([&] { return runMainQueue(), !failures.empty(); }, 5s));
  std::this_thread::sleep_for(200ms);
  runMainQueue();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].message(), "audio input configuration changed; capture stopped");
  EXPECT_EQ(failures[0].domain(), "AVFAudio");
  microphone->stop();

  auto started = Clock::now();
  try {
    microphone->start([](const PcmBuffer&) {}, [] {}, onFailure);
    ADD_FAILURE() << "started on a source that is gone";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.domain(), "PulseAudio");
    EXPECT_EQ(error.nativeCode(), PA_ERR_NOENTITY);
  }
  EXPECT_LT(Clock::now() - started, 2s) << "waited out the timeout";
}

TEST_F(PulseAudioInputTest, NoTapRunsOnceStopReturns) {
  auto input = service.makeInput();
  input->stop();
  ASSERT_EQ(input->selectDevice(device(micSourceName)), 0);
  std::atomic<int> inside = 0, calls = 0;
  input->installTap(160, [&](const PcmBuffer&) {
    ++inside;
    ++calls;
    std::this_thread::sleep_for(2ms); // so that the stop tends to find a tap under way
    --inside;
  });
  ToneWriter writer(fifoPath(), micRate);
  input->start();
  EXPECT_TRUE(input->isRunning());
  ASSERT_TRUE(eventually([&] { return calls >= 10; }));

  input->stop();
  EXPECT_EQ(inside, 0);
  int stoppedAt = calls;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(calls, stoppedAt);
  EXPECT_FALSE(input->isRunning());
  input->stop();
}

} // namespace
} // namespace quelt
