#include "SynthesisWorkerProcess.h"

#include "platform/EngineModule.h"
#include "synthesis/SynthesisWorker.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quelt {
namespace {

using Clock = std::chrono::steady_clock;

// A worker's stderr line longer than this is cut: it is a diagnostic, not a channel.
constexpr size_t maxErrorLine = 1000;

std::string describe(int status) {
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    const char* name = ::sigabbrev_np(signal);
    return "killed by signal " + std::to_string(signal) +
           (name ? " (SIG" + std::string(name) + ")" : "");
  }
  if (WIFEXITED(status))
    return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

} // namespace

SynthesisWorkerProcess::SynthesisWorkerProcess(std::string program, Log log,
                                               std::chrono::milliseconds stallLimit)
    : program_(std::move(program)), log_(std::move(log)), stallLimit_(stallLimit) {}

void SynthesisWorkerProcess::start() {
  killed_ = false;
  try {
    child_.start({program_, std::string(synthesisWorkerMode), std::to_string(::getpid())});
  } catch (const ChildProcess::StartFailed& error) {
    throw PlatformError(domain_, error.code(),
                        "cannot start the synthesizer " + program_ + ": " +
                            std::strerror(error.code()));
  }
  // Writes wait in poll, where a hung worker can be noticed.
  for (int fd : {child_.input(), child_.error()})
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  pending_.clear();
  errorLine_.clear();
}

void SynthesisWorkerProcess::reap() {
  child_.reset();
  hello_.reset();
}

void SynthesisWorkerProcess::kill() {
  killed_ = true;
  child_.signal(SIGKILL);
}

PlatformError SynthesisWorkerProcess::ended(const std::string& how) {
  return PlatformError(domain_, 0, "the synthesizer " + how);
}

const Json& SynthesisWorkerProcess::hello() {
  // One that ended while idle (killed from outside, or by a signal meant for its last job) is
  // replaced before it is given a job it cannot do.
  if (child_.pid() > 0 && child_.tryWait())
    reap();
  if (hello_)
    return *hello_;
  if (child_.pid() == 0)
    start();
  std::string payload;
  auto type = readFrame(payload, [] { return false; });
  if (type != static_cast<char>(WorkerFrame::hello)) {
    reap();
    throw ended("started badly: it did not say what it offers");
  }
  hello_ = Json::parse(payload, nullptr, false);
  if (!hello_->is_object())
    hello_ = Json::object();
  return *hello_;
}

void SynthesisWorkerProcess::readErrors(bool all) {
  char block[4096];
  for (;;) {
    ssize_t got = ::read(child_.error(), block, sizeof(block));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    for (ssize_t i = 0; i < got; ++i) {
      if (block[i] == '\n') {
        if (log_ && !errorLine_.empty())
          log_(errorLine_);
        errorLine_.clear();
      } else if (errorLine_.size() < maxErrorLine) {
        errorLine_ += block[i];
      }
    }
    if (!all)
      break;
  }
  if (all && log_ && !errorLine_.empty())
    log_(errorLine_);
  if (all)
    errorLine_.clear();
}

std::optional<char> SynthesisWorkerProcess::readFrame(std::string& payload,
                                                      const std::function<bool()>& abandoned) {
  auto lastProgress = Clock::now();
  for (;;) {
    if (pending_.size() >= workerFrameHeader) {
      uint32_t length = 0;
      for (int i = 0; i < 4; ++i)
        length |= static_cast<uint32_t>(static_cast<unsigned char>(pending_[1 + i])) << (8 * i);
      if (length > maxWorkerFrame) {
        reap();
        throw ended("sent a frame that cannot be read");
      }
      if (pending_.size() >= workerFrameHeader + length) {
        char type = pending_[0];
        payload.assign(pending_, workerFrameHeader, length);
        pending_.erase(0, workerFrameHeader + length);
        return type;
      }
    }
    if (abandoned())
      return std::nullopt;
    auto quiet = Clock::now() - lastProgress;
    if (quiet >= stallLimit_) {
      reap();
      throw ended("made no progress for " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(quiet).count()) +
                  " s and was stopped");
    }
    pollfd fds[2] = {{child_.output(), POLLIN, 0}, {child_.error(), POLLIN, 0}};
    int wait = static_cast<int>(std::min<int64_t>(
        500,
        std::chrono::duration_cast<std::chrono::milliseconds>(stallLimit_ - quiet).count() + 1));
    int ready = ::poll(fds, child_.error() >= 0 ? 2 : 1, wait);
    if (ready < 0 && errno != EINTR) {
      reap();
      throw PlatformError::posix(errno);
    }
    if (ready <= 0)
      continue;
    if (fds[1].revents & (POLLIN | POLLHUP))
      readErrors(false);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char block[65536];
      ssize_t got = ::read(child_.output(), block, sizeof(block));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0) {
        // Whatever it said before it went is the best account of why.
        readErrors(true);
        // One that closed its output and lives on is of no more use; one that has ended keeps
        // the status it ended with.
        child_.signal(SIGKILL);
        int status = child_.wait();
        bool killed = killed_;
        reap();
        if (killed)
          throw ended("was stopped");
        auto error = ended("ended: " + describe(status));
        throw PlatformError(domain_, WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status),
                            error.description());
      }
      pending_.append(block, static_cast<size_t>(got));
      lastProgress = Clock::now();
    }
  }
}

SynthesisWorkerProcess::Outcome SynthesisWorkerProcess::run(const Json& job,
                                                            const Handlers& handlers) {
  domain_ = job.value("engine", "synthesizer");
  hello();
  std::string line = job.dump() + "\n";
  // The job goes out whole before the answer is read: the worker reads a line before it speaks.
  auto lastProgress = Clock::now();
  for (size_t sent = 0; sent < line.size();) {
    ssize_t written = ::write(child_.input(), line.data() + sent, line.size() - sent);
    if (written > 0) {
      sent += static_cast<size_t>(written);
      lastProgress = Clock::now();
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      // It went away; reading says how.
      break;
    }
    if (handlers.abandoned && handlers.abandoned()) {
      reap();
      return Outcome::abandoned;
    }
    if (Clock::now() - lastProgress >= stallLimit_) {
      reap();
      throw ended("took no text for " + std::to_string(stallLimit_.count() / 1000) +
                  " s and was stopped");
    }
    pollfd fd{child_.input(), POLLOUT, 0};
    ::poll(&fd, 1, 500);
  }
  auto abandoned = [&] { return handlers.abandoned && handlers.abandoned(); };
  std::string payload;
  for (;;) {
    auto type = readFrame(payload, abandoned);
    if (!type) {
      reap();
      return Outcome::abandoned;
    }
    switch (static_cast<WorkerFrame>(*type)) {
    case WorkerFrame::audio: {
      std::span<const int16_t> samples(reinterpret_cast<const int16_t*>(payload.data()),
                                       payload.size() / sizeof(int16_t));
      if (handlers.audio && !handlers.audio(samples)) {
        reap();
        return Outcome::abandoned;
      }
      break;
    }
    case WorkerFrame::format:
      if (payload.size() == sizeof(int64_t) && handlers.format) {
        int64_t rate = 0;
        std::memcpy(&rate, payload.data(), sizeof(rate));
        handlers.format(rate);
      }
      break;
    case WorkerFrame::word:
      if (payload.size() == 3 * sizeof(int64_t) && handlers.word) {
        int64_t word[3];
        std::memcpy(word, payload.data(), sizeof(word));
        handlers.word(word[0], word[1], word[2]);
      }
      break;
    case WorkerFrame::end:
      return !payload.empty() && payload[0] == 1 ? Outcome::spoken : Outcome::refused;
    default:
      reap();
      throw ended("sent a frame that cannot be read");
    }
  }
}

} // namespace quelt
