#include "ProcessFigures.h"

#include "platform/ChildProcess.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace quelt::bench {

namespace {

double cpuSecondsOf(const std::string& statPath) {
  std::ifstream file(statPath);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses; the fields after it do not.
  auto close = text.rfind(')');
  if (close == std::string::npos)
    return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  // State is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14)
      user = std::stoull(field);
    if (index == 15)
      system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace

double cpuSeconds(pid_t pid) { return cpuSecondsOf("/proc/" + std::to_string(pid) + "/stat"); }

std::map<pid_t, double> threadCpuSeconds(pid_t pid) {
  std::map<pid_t, double> threads;
  std::error_code error;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    // Time on a CPU in nanoseconds: finer than the clock ticks of "stat", which would round a
    // quiet thread's work away.
    std::ifstream file(entry.path() / "schedstat");
    unsigned long long nanoseconds = 0;
    if (file >> nanoseconds)
      threads[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
          static_cast<double>(nanoseconds) / 1e9;
  }
  return threads;
}

namespace {

long statusBytes(pid_t pid, const std::string& key) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line))
    if (line.rfind(key, 0) == 0)
      return std::stol(line.substr(key.size())) * 1024;
  return 0;
}

} // namespace

long residentBytes(pid_t pid) { return statusBytes(pid, "VmRSS:"); }
long peakResidentBytes(pid_t pid) { return statusBytes(pid, "VmHWM:"); }

CommandRun runCommand(const std::vector<std::string>& command) {
  CommandRun run;
  auto start = Clock::now();
  ChildProcess child(command, {.input = ChildProcess::null, .error = ChildProcess::null});
  run.output = child.readAllOutput();
  rusage usage{};
  run.succeeded = exitedWithZero(child.wait(&usage));
  run.wallSeconds = secondsBetween(start, Clock::now());
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return run;
}

} // namespace quelt::bench
