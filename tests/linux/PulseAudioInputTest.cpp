#include "platform/linux/PulseAudioInput.h"

#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Writes silence into the microphone's fifo in real time until destroyed: the pipe source only
// records while something writes.
class FifoWriter {
public:
  FifoWriter(const std::string& fifo, unsigned rate)
      : fd_(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)),
        thread_([this, rate] { run(rate); }) {}
  ~FifoWriter() {
    done_ = true;
    thread_.join();
    ::close(fd_);
  }

private:
  void run(unsigned rate) {
    // Should the server go away, a write must fail rather than kill the test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::vector<int16_t> chunk(rate / 50);
    for (auto next = Clock::now(); !done_; std::this_thread::sleep_until(next += 20ms))
      if (::write(fd_, chunk.data(), chunk.size() * sizeof(int16_t)) < 0 && errno == EPIPE)
        return;
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

  PulseAudioInputService service;
};

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
  FifoWriter writer(fifoPath(), micRate);
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
