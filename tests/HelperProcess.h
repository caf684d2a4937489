#pragma once

// The built helper as a parent application runs it: a child process on pipes.

#include "platform/ChildProcess.h"
#include "protocol/Json.h"
#include "protocol/LineFraming.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace quelt::testing {

using namespace std::chrono_literals;

// With QUELT_WIRE_LOG_DIR set, the lines one helper writes on stdout go to NAME.jsonl there and
// the request lines sent to it to NAME.requests.jsonl, for tests/schema/validate-wire.py to
// check against the protocol's schema once the tests are through.
class WireLog {
public:
  WireLog(bool helper, pid_t pid) {
    const char* dir = std::getenv("QUELT_WIRE_LOG_DIR");
    if (!helper || !dir || !*dir)
      return;
    // The helper's pid alone may come round again in a long run.
    static std::atomic<int> logs = 0;
    std::string name =
        std::to_string(pid) + "-" + std::to_string(::getpid()) + "-" + std::to_string(logs++);
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    output_.open(std::filesystem::path(dir) / (name + ".jsonl"));
    requests_.open(std::filesystem::path(dir) / (name + ".requests.jsonl"));
  }

  bool active() const { return output_.is_open(); }
  // The flood tests' hundreds of thousands of replies say nothing new after the first ones.
  void output(const std::string& line) {
    if (active() && written_++ < maxLines)
      output_ << line << '\n';
  }
  // Only lines of a usual size: the framing tests send megabytes of padding.
  void request(const std::string& line) {
    if (requests_.is_open() && line.size() <= 65536)
      requests_ << line << '\n';
  }

private:
  static constexpr size_t maxLines = 20000;
  std::ofstream output_;
  std::ofstream requests_;
  size_t written_ = 0;
};

// The helper (or a command wrapping it) with its three standard streams on pipes.
class HelperProcess {
public:
  // Logged only when the command runs the helper (a wrapper puts it last): the client's tests
  // run the client through this class too.
  explicit HelperProcess(const std::vector<std::string>& command = {QUELT_HELPER_PATH})
      : child_(command), wire_(command.back() == QUELT_HELPER_PATH, child_.pid()) {}
  // What the test left unread is output too: the log takes what comes within a moment.
  ~HelperProcess() {
    auto until = std::chrono::steady_clock::now() + 2s;
    while (wire_.active() && std::chrono::steady_clock::now() < until && nextLine(10ms)) {
    }
  }

  void send(const std::string& line) {
    wire_.request(line);
    write(line + "\n");
  }
  void write(std::string_view bytes) { child_.write(bytes); }
  void closeInput() { child_.closeInput(); }
  void closeOutput() { child_.closeOutput(); }

  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = 10s) {
    auto line = output_.next(child_.output(), timeout);
    if (line)
      wire_.output(*line);
    return line;
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
  WireLog wire_;
};

} // namespace quelt::testing
