// The client's ends of the helper's pipes: starting it, numbering requests, reading its lines
// and its log, and ending it.

#include "quelt/client/Helper.h"

#include "platform/ChildProcess.h"
#include "protocol/LineFraming.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <utility>

namespace quelt::client {

namespace {

using Kind = Incoming::Kind;
using namespace std::chrono_literals;

// "hello" is answered at once; a program silent for this long is no helper.
constexpr std::chrono::milliseconds greetingTimeout = 30s;

int interruptPipe[2] = {-1, -1};

void onInterrupt(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(interruptPipe[1], &byte, 1);
  errno = saved;
}

// Writes to a helper that has gone away fail with EPIPE rather than end this program with
// SIGPIPE, whatever the program does with that signal otherwise.
bool writeWithoutSigpipe(ChildProcess& child, const std::string& bytes) {
  sigset_t pipeSignal, pending, previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  bool written = child.write(bytes);
  int error = errno;
  if (!written && error == EPIPE && !wasPending) {
    // Ours, raised by this write: taken before the mask comes off.
    timespec now{};
    while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

// Read with care: a line from a program that is no helper must not throw type errors here.
bool succeeded(const Json& reply) {
  auto ok = reply.find("ok");
  return ok != reply.end() && *ok == true;
}

Error errorOf(const Json& reply) { return Error::fromJson(reply.value("error", Json::object())); }

} // namespace

struct Helper::State {
  std::string path;
  ChildProcess child;
  LineReader lines;
  LineReader logLines;
  std::function<void(const std::string&)> onLog;
  // Messages read while waiting for something else, for `next` to hand out first.
  std::deque<Incoming> held;
  bool interruptPending = false;
  bool holdLog = false;
  Json greeting;
  int inputFd = -1;
  bool ended = false;
  int64_t nextId = 0;

  // Hands the whole lines of the log read so far to the handler, unless they are held.
  void deliverLog() {
    while (!holdLog) {
      auto line = logLines.take();
      if (!line)
        return;
      if (onLog)
        onLog(*line);
      else
        std::fprintf(stderr, "%s\n", line->c_str());
    }
  }
};

std::string locateHelper(const std::optional<std::string>& path) {
  if (path)
    return *path;
  if (const char* fromEnvironment = std::getenv("QUELT_VOICE_HELPER");
      fromEnvironment && *fromEnvironment)
    return fromEnvironment;
  std::error_code failed;
  auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (!failed) {
    auto sibling = self.parent_path() / "quelt-voice-helper";
    if (::access(sibling.c_str(), X_OK) == 0)
      return sibling.string();
  }
  return "quelt-voice-helper";
}

bool isReplyTo(const Json& message, int64_t id) {
  auto found = message.find("id");
  return found != message.end() && *found == id && !message.contains("event");
}

void Helper::catchInterrupts() {
  if (interruptPipe[0] >= 0)
    return;
  if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw Failure(std::string("cannot make a pipe: ") + std::strerror(errno));
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    ::sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

Helper::Helper(const std::optional<std::string>& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = locateHelper(path);
  try {
    // The child starts with default dispositions, not this program's handlers.
    s.child.start({s.path},
                  {.ownProcessGroup = true, .defaultSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE}});
  } catch (const ChildProcess::StartFailed& error) {
    throw Failure(error.what());
  } catch (const PlatformError& error) {
    throw Failure("cannot make a pipe: " + error.description());
  }
  // The helper's end of its stderr blocks as usual; only this side reads without waiting.
  ::fcntl(s.child.error(), F_SETFL, ::fcntl(s.child.error(), F_GETFL) | O_NONBLOCK);
  try {
    greet();
  } catch (...) {
    finish(1s);
    throw;
  }
}

Helper::~Helper() { finish(5s); }

void Helper::greet() {
  State& s = *state_;
  s.holdLog = true;
  sendLine(Json{{keys::id, 0}, {keys::op, ops::hello.text}}.dump());
  auto deadline = std::chrono::steady_clock::now() + greetingTimeout;
  bool interrupted = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    Incoming in = next(std::max(left, 0ms));
    if (in.kind == Kind::interrupted) {
      interrupted = true;
      continue;
    }
    if (in.kind == Kind::timedOut)
      throw Failure(s.path + " did not answer \"hello\"");
    if (in.kind != Kind::message)
      throw HelperEnded();
    if (!isReplyTo(in.message, 0)) {
      s.held.push_back(std::move(in));
      continue;
    }
    if (!succeeded(in.message))
      throw RequestFailed(errorOf(in.message));
    s.greeting = in.message.value("result", Json::object());
    const Json& protocol = s.greeting.value("protocol", Json());
    if (!protocol.is_number_integer() || protocol.get<int64_t>() != protocolVersion)
      throw VersionMismatch(s.path, protocol.is_number_integer()
                                        ? std::optional(protocol.get<int64_t>())
                                        : std::nullopt);
    break;
  }
  // A Ctrl-C during the greeting is the owner's to handle, at its first wait.
  s.interruptPending = interrupted;
  s.holdLog = false;
}

void Helper::finish(std::chrono::milliseconds grace) {
  State& s = *state_;
  s.holdLog = false;
  s.child.closeInput();
  if (s.child.pid() > 0 && !waitExit(grace)) {
    s.child.signal(SIGKILL);
    s.child.wait();
  }
  readLog(true);
}

const Json& Helper::greeting() const { return state_->greeting; }

void Helper::onLog(std::function<void(const std::string&)> handler) {
  state_->onLog = std::move(handler);
}

void Helper::readLog(bool toEnd) {
  State& s = *state_;
  while (s.child.error() >= 0) {
    ssize_t got = s.logLines.read(s.child.error());
    if (got == 0)
      s.child.closeError();
    if (got <= 0)
      break;
  }
  if (toEnd)
    s.logLines.finish();
  s.deliverLog();
}

void Helper::drainLog() { readLog(); }

pid_t Helper::pid() const { return state_->child.pid(); }

void Helper::watchInput(int fd) { state_->inputFd = fd; }

void Helper::noteForeignId(int64_t id) { state_->nextId = std::max(state_->nextId, id); }

bool Helper::sendLine(const std::string& line) {
  return writeWithoutSigpipe(state_->child, line + "\n");
}

int64_t Helper::send(OpName op, const Json& params) {
  int64_t id = ++state_->nextId;
  sendLine(Json{{keys::id, id}, {keys::op, op.text}, {keys::params, params}}.dump());
  return id;
}

Json Helper::call(OpName op, const Json& params) {
  State& s = *state_;
  int64_t id = send(op, params);
  // Input the owner watches would make every wait return at once.
  int watched = std::exchange(s.inputFd, -1);
  std::deque<Incoming> others;
  Incoming in = reply(id, [&](Incoming& other) { others.push_back(std::move(other)); });
  s.inputFd = watched;
  // What came before the reply goes out of `next` before anything still held.
  s.held.insert(s.held.begin(), std::make_move_iterator(others.begin()),
                std::make_move_iterator(others.end()));
  if (in.kind == Kind::interrupted)
    throw Interrupted();
  if (in.kind != Kind::message)
    throw HelperEnded();
  if (!succeeded(in.message))
    throw RequestFailed(errorOf(in.message));
  return in.message.value("result", Json::object());
}

Incoming Helper::next(std::optional<std::chrono::milliseconds> timeout) {
  State& s = *state_;
  s.deliverLog(); // what was held while the helper was greeted
  if (std::exchange(s.interruptPending, false))
    return {Kind::interrupted, {}, {}};
  if (!s.held.empty()) {
    Incoming in = std::move(s.held.front());
    s.held.pop_front();
    return in;
  }
  auto deadline =
      timeout ? std::optional(std::chrono::steady_clock::now() + *timeout) : std::nullopt;
  for (;;) {
    if (auto line = s.lines.take()) {
      Json message = Json::parse(*line, nullptr, false);
      if (message.is_discarded() || !message.is_object())
        continue; // the helper writes only objects; anything else is not for us
      return {Kind::message, std::move(message), std::move(*line)};
    }
    if (s.ended)
      return {Kind::ended, {}, {}};

    int wait = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return {Kind::timedOut, {}, {}};
      wait = static_cast<int>(left.count());
    }
    // A negative descriptor is skipped by poll.
    pollfd fds[4] = {{s.child.output(), POLLIN, 0},
                     {interruptPipe[0], POLLIN, 0},
                     {s.child.error(), POLLIN, 0},
                     {s.inputFd, POLLIN, 0}};
    int n = ::poll(fds, 4, wait);
    if (n < 0 && errno == EINTR)
      continue;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
      readLog();
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(interruptPipe[0], drain, sizeof drain) > 0) {
      }
      return {Kind::interrupted, {}, {}};
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      s.ended = s.lines.read(s.child.output()) <= 0;
      continue;
    }
    if (s.inputFd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
      return {Kind::input, {}, {}};
  }
}

bool Helper::shutdown() {
  State& s = *state_;
  if (s.child.pid() <= 0)
    return false;
  int64_t id = send(ops::shutdown);
  // Whatever the helper still says before its reply is of no use to anyone now.
  for (;;) {
    Incoming in = next(10s);
    if (in.kind == Kind::interrupted)
      continue;
    if (in.kind != Kind::message || isReplyTo(in.message, id))
      break;
  }
  s.child.closeInput();
  auto status = waitExit(10s);
  if (!status) {
    s.child.signal(SIGKILL);
    s.child.wait();
  }
  return exitedWithZero(status);
}

void Helper::closeInput() { state_->child.closeInput(); }

std::optional<int> Helper::waitExit(std::chrono::milliseconds timeout) {
  // A helper still writing its log must not block on a full pipe while it ends.
  return state_->child.waitFor(timeout, [this] { readLog(); });
}

} // namespace quelt::client
