#pragma once

#include <string>
#include <sys/types.h>

namespace quelt::bench {

// A private PulseAudio daemon in a temporary directory whose default source is a pipe source:
// what is written to fifoPath() (s16le, mono, `rate`) is what the microphone records.
class PulseServer {
public:
  static constexpr unsigned rate = 16000;

  PulseServer(); // throws when the daemon does not come up
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // "unix:<socket>", for PULSE_SERVER.
  const std::string& address() const { return address_; }
  const std::string& fifoPath() const { return fifoPath_; }

private:
  void shutDown();

  std::string directory_;
  std::string socketPath_;
  std::string address_;
  std::string fifoPath_;
  pid_t daemon_ = -1;
};

} // namespace quelt::bench
