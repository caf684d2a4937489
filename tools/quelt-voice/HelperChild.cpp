#include "HelperChild.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quelt::client {

namespace {

int interruptPipe[2] = {-1, -1};

void onInterrupt(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(interruptPipe[1], &byte, 1);
  errno = saved;
}

void closeFd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

} // namespace

void HelperChild::catchInterrupts() {
  if (interruptPipe[0] >= 0)
    return;
  if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    ::sigaction(signal, &action, nullptr);
  // A helper that has gone away must show up as a failed write, not end this process.
  ::signal(SIGPIPE, SIG_IGN);
}

HelperChild::HelperChild(const std::string& path) {
  catchInterrupts();
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
      ::pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
    int saved = errno;
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      if (fd >= 0)
        ::close(fd);
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(saved));
  }
  // The helper's end of its stderr blocks as usual; only this side reads without waiting.
  ::fcntl(err[1], F_SETFL, ::fcntl(err[1], F_GETFL) & ~O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The child starts with default dispositions, not this client's interrupt handlers.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  int failed = ::posix_spawnp(&pid_, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  toHelper_ = in[1];
  fromHelper_ = out[0];
  logFromHelper_ = err[0];
  if (failed != 0) {
    closeFd(toHelper_);
    closeFd(fromHelper_);
    closeFd(logFromHelper_);
    pid_ = -1;
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(failed));
  }
}

HelperChild::~HelperChild() {
  closeFd(toHelper_);
  if (pid_ > 0 && !waitExit(std::chrono::seconds(5))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  drainLog();
  if (!logBuffer_.empty())
    log(logBuffer_);
  closeFd(fromHelper_);
  closeFd(logFromHelper_);
}

void HelperChild::log(const std::string& line) {
  if (onLog_)
    onLog_(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool HelperChild::readLog() {
  if (logFromHelper_ < 0)
    return false;
  for (;;) {
    char chunk[8192];
    ssize_t got = ::read(logFromHelper_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return errno == EAGAIN;
    if (got == 0) {
      closeFd(logFromHelper_);
      return false;
    }
    logBuffer_.append(chunk, static_cast<size_t>(got));
    for (auto end = logBuffer_.find('\n'); end != std::string::npos; end = logBuffer_.find('\n')) {
      std::string line = logBuffer_.substr(0, end);
      logBuffer_.erase(0, end + 1);
      log(line);
    }
  }
}

void HelperChild::drainLog() { readLog(); }

bool HelperChild::sendLine(const std::string& line) {
  std::string bytes = line + "\n";
  std::string_view rest = bytes;
  while (!rest.empty()) {
    ssize_t n = ::write(toHelper_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    rest.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int64_t HelperChild::send(OpName op, const Json& params) {
  int64_t id = ++nextId_;
  sendLine(Json{{keys::id, id}, {keys::op, op.text}, {keys::params, params}}.dump());
  return id;
}

Incoming HelperChild::next(std::optional<std::chrono::milliseconds> timeout) {
  auto deadline =
      timeout ? std::optional(std::chrono::steady_clock::now() + *timeout) : std::nullopt;
  for (;;) {
    auto end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      Json message = Json::parse(line, nullptr, false);
      if (message.is_discarded() || !message.is_object())
        continue; // the helper writes only objects; anything else is not for us
      return {Incoming::Kind::message, std::move(message), std::move(line)};
    }
    if (ended_)
      return {Incoming::Kind::ended, {}, {}};

    int wait = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return {Incoming::Kind::timedOut, {}, {}};
      wait = static_cast<int>(left.count());
    }
    // A negative descriptor is skipped by poll.
    pollfd fds[4] = {{fromHelper_, POLLIN, 0},
                     {interruptPipe[0], POLLIN, 0},
                     {logFromHelper_, POLLIN, 0},
                     {inputFd_, POLLIN, 0}};
    int n = ::poll(fds, 4, wait);
    if (n < 0 && errno == EINTR)
      continue;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
      readLog();
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(interruptPipe[0], drain, sizeof drain) > 0) {
      }
      return {Incoming::Kind::interrupted, {}, {}};
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[65536];
      ssize_t got = ::read(fromHelper_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        ended_ = true;
      else
        buffer_.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (inputFd_ >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
      return {Incoming::Kind::input, {}, {}};
  }
}

bool HelperChild::shutdown() {
  if (pid_ <= 0)
    return false;
  int64_t id = send(ops::shutdown);
  // Whatever the helper still says before its reply is of no use to anyone now.
  for (;;) {
    Incoming in = next(std::chrono::seconds(10));
    if (in.kind == Incoming::Kind::interrupted)
      continue;
    if (in.kind != Incoming::Kind::message || (in.message.contains("id") && in.message["id"] == id))
      break;
  }
  closeFd(toHelper_);
  int status = 0;
  if (!waitExit(std::chrono::seconds(10))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
  }
  return lastStatus_ == 0;
}

bool HelperChild::waitExit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      lastStatus_ = done == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    // A helper still writing its log must not block on a full pipe while it ends.
    readLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

} // namespace quelt::client
