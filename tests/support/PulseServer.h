#pragma once

#include "platform/ChildProcess.h"

#include <string>

namespace quelt::testing {

// A private PulseAudio daemon in a fresh temporary directory, with a null sink (whose monitor is
// a source too) and a pipe source standing in for a microphone, the pipe source being the
// default. It dies with this process, so a test or benchmark that crashes leaves none behind.
class PulseServer {
public:
  static constexpr const char* micSourceName = "quelt_mic";
  static constexpr const char* speakerSinkName = "quelt_speaker";
  static constexpr const char* speakerMonitorName = "quelt_speaker.monitor";
  static constexpr unsigned micRate = 16000;

  // Throws std::runtime_error, with what the daemon said, when it does not come up.
  PulseServer();
  ~PulseServer() { shutDown(); }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // "unix:<socket path>", as PULSE_SERVER and `pactl -s` take it.
  const std::string& address() const { return address_; }
  // Audio written here (s16le, mono, micRate) is what the microphone source records.
  const std::string& fifoPath() const { return fifoPath_; }

  // Stops the daemon in its tracks (SIGSTOP): connections stay open, nothing is answered. It
  // goes on when thawed, at the latest when it is shut down. False when it cannot be stopped.
  bool freeze() { return daemon_.signal(SIGSTOP); }
  void thaw() { daemon_.signal(SIGCONT); }

private:
  void start();
  void shutDown();

  std::string directory_;
  std::string socketPath_;
  std::string address_;
  std::string fifoPath_;
  ChildProcess daemon_;
};

} // namespace quelt::testing
