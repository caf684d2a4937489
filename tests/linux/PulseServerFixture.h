#pragma once

#include "PulseServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
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

// Runs each test against a PulseServer of its own, which the test process talks to through
// PULSE_SERVER. When the daemon cannot start the test fails, since the machines running these
// tests have it.
class PulseServerFixture : public ::testing::Test {
protected:
  static constexpr const char* micSourceName = PulseServer::micSourceName;
  static constexpr const char* speakerMonitorName = PulseServer::speakerMonitorName;
  static constexpr unsigned micRate = PulseServer::micRate;

  void SetUp() override;
  void TearDown() override;

  const std::string& fifoPath() const { return server_->fifoPath(); }

  // Runs pactl against the private server and returns its standard output; nothing, with a
  // test failure, when it fails.
  std::optional<std::string> pactl(const std::vector<std::string>& arguments);
  // Removes the microphone source, as when a device is unplugged; true once it is gone.
  bool unloadMicSource();
  void freezeServer() { ASSERT_TRUE(server_->freeze()) << std::strerror(errno); }
  void thawServer() { server_->thaw(); }

private:
  std::optional<PulseServer> server_;
  std::optional<ScopedEnvironmentVariable> pulseServer_;
};

} // namespace quelt::testing
