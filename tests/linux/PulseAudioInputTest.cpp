#include "pulse/PulseAudioInput.h"

#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
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

  PulseAudioInputService service{std::make_shared<PulseLink>()};
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

// Choosing the device answers from the list already known; only the start waits on the server,
// and then says which one did not answer.
TEST_F(PulseAudioInputTest, OnAFrozenServerOnlyTheStartWaitsAndItNamesTheServer) {
  ASSERT_EQ(service.makeInput()->selectDevice(device(micSourceName)), 0);
  freezeServer();
  auto input = service.makeInput();
  auto chosen = Clock::now();
  EXPECT_EQ(input->selectDevice(device(micSourceName)), 0);
  EXPECT_EQ(input->outputFormat().sampleRate, micRate);
  EXPECT_LT(Clock::now() - chosen, 1s);
  try {
    input->start();
    ADD_FAILURE() << "started on a frozen server";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.domain(), "PulseAudio");
    EXPECT_EQ(error.description().rfind("the sound server (PulseAudio) did not respond within", 0),
              0u)
        << error.description();
  }
  EXPECT_FALSE(input->isRunning());
}

// The server takes so many recording streams per source; the one past that is refused with a
// message that says so, rather than looking like a missing device.
TEST_F(PulseAudioInputTest, AStreamPastTheServersLimitIsRefusedAsSuch) {
  std::vector<std::unique_ptr<AudioInput>> inputs;
  std::optional<PlatformError> refused;
  while (!refused && inputs.size() < 400) {
    auto input = service.makeInput();
    ASSERT_EQ(input->selectDevice(device(micSourceName)), 0) << "input " << inputs.size();
    try {
      input->start();
    } catch (const PlatformError& error) {
      refused = error;
    }
    inputs.push_back(std::move(input));
  }
  ASSERT_TRUE(refused) << "the server took " << inputs.size() << " streams";
  EXPECT_EQ(refused->description(),
            "the sound server refused another recording stream (too many open)");
  EXPECT_EQ(refused->code(), PA_ERR_TOOLARGE);
}

} // namespace
} // namespace quelt
