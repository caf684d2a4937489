#pragma once

// A program run as a child on pipes, as a parent application runs the helper, with the times
// at which its output arrives.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quelt::bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return Seconds(to - from).count();
}

struct ReceivedLine {
  std::string text;
  Clock::time_point at; // when the read that completed the line returned
};

// CPU time the kernel has charged to a process, user and system together.
double cpuSeconds(pid_t pid);
// Time on a CPU of each of its threads, by thread id.
std::map<pid_t, double> threadCpuSeconds(pid_t pid);
// Resident set size in bytes.
long residentBytes(pid_t pid);
// The most it has been resident so far.
long peakResidentBytes(pid_t pid);

class ChildProcess {
public:
  // `environment` entries ("NAME=value") are added to this process's environment.
  explicit ChildProcess(const std::vector<std::string>& command,
                        const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point startedAt() const { return startedAt_; }

  void send(std::string_view line); // the line feed is added
  void write(std::string_view bytes);
  void closeInput();

  // The next whole line of standard output, or nothing after `timeout` or at its end.
  std::optional<ReceivedLine> nextLine(Clock::duration timeout);
  // Raw standard output, for counting lines in bulk: 0 at its end.
  size_t readSome(char* buffer, size_t size);

  // Waits for the exit (killing the child after `timeout`); true when it exited with status 0.
  bool waitExit(Clock::duration timeout);

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  Clock::time_point startedAt_;
  std::string pending_;
};

struct CommandRun {
  double wallSeconds = 0; // spawn to exit
  double cpuSeconds = 0;  // user + system of the child
  bool succeeded = false;
  std::string output; // standard output
};

// Runs a command to its end with standard input and error on /dev/null.
CommandRun runCommand(const std::vector<std::string>& command);

} // namespace quelt::bench
