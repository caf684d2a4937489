#pragma once

#include "platform/PlatformError.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

namespace quelt {

// A program run as a child process, with any of its standard streams on pipes to this one.
// Owned by one thread; only `signal` and `pid` may come from others.
class ChildProcess {
public:
  // What a standard stream of the child is, when not a descriptor of this process given as is.
  static constexpr int pipe = -1;
  static constexpr int null = -2;         // /dev/null
  static constexpr int sameAsOutput = -3; // for its stderr: wherever its stdout goes

  struct Options {
    int input = pipe;
    int output = pipe;
    int error = pipe;
    // Its whole environment ("NAME=value"); this process's when absent.
    std::optional<std::vector<std::string>> environment{};
    bool ownProcessGroup = false;
    // Signals it starts with at their default action, not at this process's handlers.
    std::vector<int> defaultSignals{};
    // Killed when this process ends, and left no descriptor of it but its three streams: for
    // servers that tests start, which must not outlive them.
    bool killedWithParent = false;
  };

  // The program could not be run; code() is the errno.
  struct StartFailed : PlatformError {
    using PlatformError::PlatformError;
  };

  ChildProcess() = default;
  explicit ChildProcess(const std::vector<std::string>& argv) { start(argv); }
  ChildProcess(const std::vector<std::string>& argv, const Options& options) {
    start(argv, options);
  }
  ~ChildProcess() { reset(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs argv[0] (looked up on PATH unless it names a path), first ending any child started
  // before. Throws PlatformError when a pipe cannot be made, StartFailed when the program
  // cannot be run.
  void start(const std::vector<std::string>& argv, const Options& options);
  void start(const std::vector<std::string>& argv) { start(argv, Options{}); }
  // Kills a child still running, reaps it and closes the pipes to it.
  void reset();

  // 0 once it has been reaped.
  pid_t pid() const { return pid_; }
  // This process's ends of the pipes; -1 for a stream that is no pipe, or once closed.
  int input() const { return ends_[0]; }
  int output() const { return ends_[1]; }
  int error() const { return ends_[2]; }
  void closeInput() { close(0); }
  void closeOutput() { close(1); }
  void closeError() { close(2); }

  // Writes all of `bytes` to its input; false when it no longer reads (errno says why).
  bool write(std::string_view bytes);
  // Everything it writes to its output, up to the end.
  std::string readAllOutput();

  // Sends `signal` to it unless it has been reaped; false when that fails (errno says why).
  bool signal(int signal = SIGKILL) const;
  // Its wait status once it has ended (-1 when it cannot be waited for), reaping it; nothing
  // while it runs.
  std::optional<int> tryWait();
  // The same, waiting at most `timeout`; `meanwhile` runs between looks.
  std::optional<int> waitFor(std::chrono::steady_clock::duration timeout,
                             const std::function<void()>& meanwhile = {});
  int wait(rusage* usage = nullptr);
  // Takes on `pid` in place of any child started here: a child of this process started
  // otherwise (a fork), or an orphan it took in as a subreaper.
  void adopt(pid_t pid);

private:
  void close(int stream);
  int reaped(pid_t done, pid_t pid, int status);

  std::atomic<pid_t> pid_ = 0;
  int status_ = -1;
  int ends_[3] = {-1, -1, -1};
};

inline bool exitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

} // namespace quelt
