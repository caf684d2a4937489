#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quelt::bench {
namespace {

void closeFd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** entry = environ; *entry; ++entry) {
    std::string current = *entry;
    bool replaced = false;
    for (const auto& added : extra)
      replaced = replaced || nameOf(added) == nameOf(current);
    if (!replaced)
      merged.push_back(current);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& string : strings)
    result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

// Standard streams: 0 from `input`, 1 to `output`, 2 to /dev/null; -1 means /dev/null.
pid_t spawn(const std::vector<std::string>& command, const std::vector<std::string>& environment,
            int input, int output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0)
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output >= 0)
    posix_spawn_file_actions_adddup2(&actions, output, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = command;
  std::vector<std::string> env = mergedEnvironment(environment);
  auto argv = pointers(words);
  auto envp = pointers(env);
  pid_t pid = -1;
  int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0)
    throw std::runtime_error("cannot start " + command[0] + ": " + std::strerror(failed));
  return pid;
}

void makePipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

} // namespace

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

ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::vector<std::string>& environment) {
  int in[2], out[2];
  makePipe(in);
  makePipe(out);
  startedAt_ = Clock::now();
  try {
    pid_ = spawn(command, environment, in[0], out[1]);
  } catch (...) {
    for (int fd : {in[0], in[1], out[0], out[1]})
      ::close(fd);
    throw;
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

ChildProcess::~ChildProcess() {
  closeFd(input_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(output_);
}

void ChildProcess::send(std::string_view line) {
  std::string framed(line);
  framed += '\n';
  write(framed);
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty() && input_ >= 0) {
    ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw std::runtime_error(std::string("write to child: ") + std::strerror(errno));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void ChildProcess::closeInput() { closeFd(input_); }

std::optional<ReceivedLine> ChildProcess::nextLine(Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  Clock::time_point lastRead = Clock::now();
  for (;;) {
    auto end = pending_.find('\n');
    if (end != std::string::npos) {
      ReceivedLine line{pending_.substr(0, end), lastRead};
      pending_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p = {output_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
      return std::nullopt;
    char chunk[65536];
    ssize_t n = ::read(output_, chunk, sizeof chunk);
    lastRead = Clock::now();
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

size_t ChildProcess::readSome(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(output_, buffer, size);
    if (n < 0 && errno == EINTR)
      continue;
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
}

bool ChildProcess::waitExit(Clock::duration timeout) {
  closeFd(input_);
  auto deadline = Clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pid_ = -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

CommandRun runCommand(const std::vector<std::string>& command) {
  int out[2];
  makePipe(out);
  CommandRun run;
  auto start = Clock::now();
  pid_t pid = spawn(command, {}, -1, out[1]);
  ::close(out[1]);
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      run.output.append(chunk, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wallSeconds = secondsBetween(start, Clock::now());
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

} // namespace quelt::bench
