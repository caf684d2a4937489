#pragma once

// The built helper as a parent application runs it: a child process on pipes.

#include "platform/ChildProcess.h"
#include "protocol/Json.h"
#include "protocol/LineFraming.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quelt::testing {

using namespace std::chrono_literals;

// The helper (or a command wrapping it) with its three standard streams on pipes.
class HelperProcess {
public:
  explicit HelperProcess(const std::vector<std::string>& command = {QUELT_HELPER_PATH})
      : child_(command) {}

  void send(const std::string& line) { write(line + "\n"); }
  void write(std::string_view bytes) { child_.write(bytes); }
  void closeInput() { child_.closeInput(); }
  void closeOutput() { child_.closeOutput(); }

  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = 10s) {
    return output_.next(child_.output(), timeout);
  }
  std::optional<Json> next(std::chrono::milliseconds timeout = 10s) {
    auto line = nextLine(timeout);
    return line ? std::optional<Json>(Json::parse(*line)) : std::nullopt;
  }
  std::string allErrorOutput() {
    std::string all;
    while (auto line = errors_.next(child_.error(), 100ms))
      all += *line + "\n";
    return all;
  }

  // The exit status once the process has ended, waiting at most `timeout`.
  std::optional<int> waitStatus(std::chrono::milliseconds timeout = 10s) {
    return child_.waitFor(timeout);
  }
  pid_t pid() const { return child_.pid(); }

protected:
  ChildProcess child_;
  LineReader output_;
  LineReader errors_;
};

} // namespace quelt::testing
