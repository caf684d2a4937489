#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelt::testing {

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

  // "unix:<socket path>", as PULSE_SERVER and `pactl -s` take it.
  const std::string& serverAddress() const { return serverAddress_; }
  // Audio written here (s16le, mono, micRate) is what the microphone source records.
  const std::string& fifoPath() const { return fifoPath_; }

  // Runs pactl against the private server and returns its standard output; nothing, with a
  // test failure, when it fails.
  std::optional<std::string> pactl(const std::vector<std::string>& arguments);
  // The index of the loaded module whose arguments contain the given text.
  std::optional<uint32_t> moduleIndex(const std::string& argumentsContaining);
  // True when the module is gone afterwards, taking its sources and sinks with it.
  bool unloadModule(uint32_t index);
  // Removes the microphone source, as when a device is unplugged.
  bool unloadMicSource();

private:
  bool startDaemon();
  bool waitForSocket();
  void stopDaemon();
  std::string daemonLog() const;

  std::string directory_;
  std::string socketPath_;
  std::string serverAddress_;
  std::string fifoPath_;
  pid_t daemon_ = -1;
  std::optional<std::string> savedPulseServer_;
  bool pointedAtServer_ = false;
};

} // namespace quelt::testing
