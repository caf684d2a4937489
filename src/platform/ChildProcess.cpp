#include "platform/ChildProcess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quelt {
namespace {

using Options = ChildProcess::Options;

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& string : strings)
    result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

// The errno of a failed start, or 0.
int spawn(pid_t& pid, char** argv, char** envp, const int streams[3], const Options& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int stream = 0; stream < 3; ++stream)
    posix_spawn_file_actions_adddup2(&actions, streams[stream], stream);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  short flags = 0;
  if (options.ownProcessGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  if (!options.defaultSignals.empty()) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : options.defaultSignals)
      sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    flags |= POSIX_SPAWN_SETSIGDEF;
  }
  posix_spawnattr_setflags(&attributes, flags);
  int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return failed;
}

// posix_spawn cannot ask for the parent's death signal, so this forks; the child does only
// what is safe in the fork of a process with threads. Why exec failed comes back through a
// pipe that a successful exec closes.
int forkAndExec(pid_t& pid, char** argv, char** envp, const int streams[3],
                const Options& options) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    return errno;
  pid_t parent = ::getpid();
  pid = ::fork();
  if (pid == 0) {
    auto fail = [&] {
      int error = errno;
      (void)!::write(report[1], &error, sizeof error);
      ::_exit(127);
    };
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
      ::_exit(127);
    for (int stream = 0; stream < 3; ++stream)
      if (::dup2(streams[stream], stream) < 0)
        fail();
    if (options.ownProcessGroup && ::setpgid(0, 0) != 0)
      fail();
    for (int signal : options.defaultSignals)
      ::signal(signal, SIG_DFL);
    ::close_range(3, report[1] - 1, 0);
    ::close_range(report[1] + 1, ~0U, 0);
    ::execvpe(argv[0], argv, envp);
    fail();
  }
  int error = pid < 0 ? errno : 0;
  ::close(report[1]);
  ssize_t got = 0;
  while (pid > 0 && (got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (got == sizeof error)
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  return error;
}

} // namespace

void ChildProcess::start(const std::vector<std::string>& argv, const Options& options) {
  reset();
  const int wanted[3] = {options.input, options.output, options.error};
  int streams[3] = {-1, -1, -1};
  // The child's ends of its pipes and its /dev/null, which only it keeps.
  std::vector<int> theirs;
  auto closeTheirs = [&] {
    for (int fd : theirs)
      ::close(fd);
  };
  auto fail = [&](int error) {
    closeTheirs();
    reset();
    throw PlatformError::posix(error);
  };
  for (int stream = 0; stream < 3; ++stream) {
    int fd = wanted[stream];
    if (fd == pipe) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0)
        fail(errno);
      // The child reads its stdin and writes the other two.
      ends_[stream] = ends[stream == 0 ? 1 : 0];
      theirs.push_back(fd = ends[stream == 0 ? 0 : 1]);
    } else if (fd == null) {
      if ((fd = ::open("/dev/null", (stream == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC)) < 0)
        fail(errno);
      theirs.push_back(fd);
    }
    streams[stream] = fd == sameAsOutput ? streams[1] : fd;
  }

  std::vector<std::string> words = argv;
  auto args = pointers(words);
  std::vector<std::string> environment = options.environment.value_or(std::vector<std::string>{});
  auto envp = pointers(environment);
  char** env = options.environment ? envp.data() : environ;
  pid_t pid = -1;
  int failed = options.killedWithParent ? forkAndExec(pid, args.data(), env, streams, options)
                                        : spawn(pid, args.data(), env, streams, options);
  closeTheirs();
  if (failed != 0) {
    reset();
    throw StartFailed("POSIX", failed, "cannot start " + argv[0] + ": " + std::strerror(failed));
  }
  status_ = -1;
  pid_ = pid;
}

void ChildProcess::reset() {
  if (pid_ > 0) {
    signal(SIGKILL);
    wait();
  }
  for (int stream = 0; stream < 3; ++stream)
    close(stream);
}

void ChildProcess::close(int stream) {
  if (ends_[stream] >= 0)
    ::close(ends_[stream]);
  ends_[stream] = -1;
}

bool ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(input(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string ChildProcess::readAllOutput() {
  std::string all;
  char chunk[4096];
  for (;;) {
    ssize_t got = ::read(output(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return all;
    all.append(chunk, static_cast<size_t>(got));
  }
}

bool ChildProcess::signal(int signal) const {
  pid_t pid = pid_;
  return pid > 0 && ::kill(pid, signal) == 0;
}

int ChildProcess::reaped(pid_t done, pid_t pid, int status) {
  pid_ = 0;
  status_ = done == pid ? status : -1;
  return status_;
}

std::optional<int> ChildProcess::tryWait() {
  pid_t pid = pid_;
  if (pid <= 0)
    return status_;
  int status = 0;
  pid_t done = ::waitpid(pid, &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR))
    return std::nullopt;
  return reaped(done, pid, status);
}

std::optional<int> ChildProcess::waitFor(std::chrono::steady_clock::duration timeout,
                                         const std::function<void()>& meanwhile) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto status = tryWait())
      return status;
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    if (meanwhile)
      meanwhile();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ChildProcess::wait(rusage* usage) {
  pid_t pid = pid_.exchange(0);
  if (pid <= 0)
    return status_;
  int status = 0;
  pid_t done;
  while ((done = ::wait4(pid, &status, 0, usage)) < 0 && errno == EINTR) {
  }
  return reaped(done, pid, status);
}

void ChildProcess::adopt(pid_t pid) {
  status_ = -1;
  pid_ = pid;
}

} // namespace quelt
