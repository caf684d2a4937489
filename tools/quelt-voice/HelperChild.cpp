#include "HelperChild.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace quelt::client {

namespace {

int interruptPipe[2] = {-1, -1};

void onInterrupt(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(interruptPipe[1], &byte, 1);
  errno = saved;
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
  try {
    // The child starts with default dispositions, not this client's interrupt handlers.
    child_.start({path},
                 {.ownProcessGroup = true, .defaultSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE}});
  } catch (const ChildProcess::StartFailed&) {
    throw;
  } catch (const PlatformError& error) {
    throw std::runtime_error("cannot make a pipe: " + error.description());
  }
  // The helper's end of its stderr blocks as usual; only this side reads without waiting.
  ::fcntl(child_.error(), F_SETFL, ::fcntl(child_.error(), F_GETFL) | O_NONBLOCK);
}

HelperChild::~HelperChild() {
  child_.closeInput();
  if (child_.pid() > 0 && !waitExit(std::chrono::seconds(5))) {
    child_.signal(SIGKILL);
    child_.wait();
  }
  readLog(true);
}

void HelperChild::log(const std::string& line) {
  if (onLog_)
    onLog_(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

void HelperChild::readLog(bool toEnd) {
  while (child_.error() >= 0) {
    ssize_t got = logLines_.read(child_.error());
    if (got == 0)
      child_.closeError();
    if (got <= 0)
      break;
  }
  if (toEnd)
    logLines_.finish();
  while (auto line = logLines_.take())
    log(*line);
}

void HelperChild::drainLog() { readLog(); }

bool HelperChild::sendLine(const std::string& line) { return child_.write(line + "\n"); }

int64_t HelperChild::send(OpName op, const Json& params) {
  int64_t id = ++nextId_;
  sendLine(Json{{keys::id, id}, {keys::op, op.text}, {keys::params, params}}.dump());
  return id;
}

Incoming HelperChild::next(std::optional<std::chrono::milliseconds> timeout) {
  auto deadline =
      timeout ? std::optional(std::chrono::steady_clock::now() + *timeout) : std::nullopt;
  for (;;) {
    if (auto line = lines_.take()) {
      Json message = Json::parse(*line, nullptr, false);
      if (message.is_discarded() || !message.is_object())
        continue; // the helper writes only objects; anything else is not for us
      return {Incoming::Kind::message, std::move(message), std::move(*line)};
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
    pollfd fds[4] = {{child_.output(), POLLIN, 0},
                     {interruptPipe[0], POLLIN, 0},
                     {child_.error(), POLLIN, 0},
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
      ended_ = lines_.read(child_.output()) <= 0;
      continue;
    }
    if (inputFd_ >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
      return {Incoming::Kind::input, {}, {}};
  }
}

bool HelperChild::shutdown() {
  if (child_.pid() <= 0)
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
  child_.closeInput();
  auto status = waitExit(std::chrono::seconds(10));
  if (!status) {
    child_.signal(SIGKILL);
    child_.wait();
  }
  return exitedWithZero(status);
}

std::optional<int> HelperChild::waitExit(std::chrono::milliseconds timeout) {
  // A helper still writing its log must not block on a full pipe while it ends.
  return child_.waitFor(timeout, [this] { readLog(); });
}

} // namespace quelt::client
