#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelt::testing {

// Sets an environment variable while it lives, then puts back what was there.
class ScopedEnvironmentVariable {
public:
  ScopedEnvironmentVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name))
      saved_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironmentVariable() {
    if (saved_)
      ::setenv(name_, saved_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
  const char* name_;
  std::optional<std::string> saved_;
};

// Runs each test against a private PulseAudio daemon in a fresh temporary directory, with a
// null sink (whose monitor is a source too) and a pipe source standing in for a microphone,
// the pipe source being the default. The test process talks to it through PULSE_SERVER. When
// the daemon cannot start the test fails, since the machines running these tests have it.
class PulseServerFixture : public ::testing::Test {
protected:
  static constexpr const char* micSourceName = "quelt_mic";
  static constexpr const char* speakerSinkName = "quelt_speaker";
  static constexpr const char* speakerMonitorName = "quelt_speaker.monitor";
  static constexpr unsigned micRate = 16000;

  void SetUp() override;
  void TearDown() override;

  // Audio written here (s16le, mono, micRate) is what the microphone source records.
  const std::string& fifoPath() const { return fifoPath_; }

  // Runs pactl against the private server and returns its standard output; nothing, with a
  // test failure, when it fails.
  std::optional<std::string> pactl(const std::vector<std::string>& arguments);
  // Removes the microphone source, as when a device is unplugged; true once it is gone.
  bool unloadMicSource();
  // Stops the daemon in its tracks (SIGSTOP): connections stay open, nothing is answered. It
  // goes on when thawed, at the latest in TearDown.
  void freezeServer();
  void thawServer();

private:
  bool startDaemon();
  bool waitForSocket();
  void stopDaemon();
  std::string daemonLog() const;

  std::string directory_;
  std::string socketPath_;
  // "unix:<socket path>", as PULSE_SERVER and `pactl -s` take it.
  std::string serverAddress_;
  std::string fifoPath_;
  pid_t daemon_ = -1;
  bool frozen_ = false;
  std::optional<ScopedEnvironmentVariable> pulseServer_;
};

} // namespace quelt::testing
