#pragma once

// What a process costs: CPU time and memory, read from /proc, and a command run to its end.

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelt::bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return Seconds(to - from).count();
}

// CPU time the kernel has charged to a process, user and system together.
double cpuSeconds(pid_t pid);
// Time on a CPU of each of its threads, by thread id.
std::map<pid_t, double> threadCpuSeconds(pid_t pid);
// Resident set size in bytes.
long residentBytes(pid_t pid);
// The most it has been resident so far.
long peakResidentBytes(pid_t pid);

struct CommandRun {
  double wallSeconds = 0; // spawn to exit
  double cpuSeconds = 0;  // user + system of the child
  bool succeeded = false;
  std::string output; // standard output
};

// Runs a command to its end with standard input and error on /dev/null.
CommandRun runCommand(const std::vector<std::string>& command);

} // namespace quelt::bench
