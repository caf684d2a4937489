#pragma once

// The built helper as a parent application runs it: a child process on pipes.

#include "Pipe.h"
#include "protocol/Json.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt::testing {

using namespace std::chrono_literals;

// The helper (or a command wrapping it) with its three standard streams on pipes.
class HelperProcess {
public:
  explicit HelperProcess(std::vector<std::string> command = {QUELT_HELPER_PATH}) {
    pid_ = spawn(command, input_, output_, error_);
    // Only the child keeps its ends, so the end of its output is seen as the end of the pipe.
    input_.closeRead();
    output_.closeWrite();
    error_.closeWrite();
  }

  ~HelperProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  static pid_t spawn(const std::vector<std::string>& command, Pipe& in, Pipe& out, Pipe& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.readEnd, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd, 1);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd, 2);
    std::vector<char*> argv;
    for (const auto& word : command)
      argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
      throw std::runtime_error("spawn failed");
    return pid;
  }

  void send(const std::string& line) { write(line + "\n"); }

  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(input_.writeEnd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  void closeInput() { input_.closeWrite(); }
  void closeOutput() { output_.closeRead(); }

  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = 10s) {
    return readLine(output_.readEnd, outBuffer_, timeout);
  }
  std::optional<Json> next(std::chrono::milliseconds timeout = 10s) {
    auto line = nextLine(timeout);
    return line ? std::optional<Json>(Json::parse(*line)) : std::nullopt;
  }
  std::string allErrorOutput() {
    std::string all;
    while (auto line = readLine(error_.readEnd, errBuffer_, 100ms))
      all += *line + "\n";
    return all;
  }

  // The exit status once the process has ended, waiting at most `timeout`.
  std::optional<int> waitStatus(std::chrono::milliseconds timeout = 10s) {
    return waitFor(pid_, timeout);
  }

  static std::optional<int> waitFor(pid_t& pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return status;
      }
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  pid_t pid() const { return pid_; }
  Pipe& input() { return input_; }
  Pipe& output() { return output_; }
  Pipe& error() { return error_; }

protected:
  HelperProcess(std::nullptr_t) {}

  static std::optional<std::string> readLine(int fd, std::string& buffer,
                                             std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto end = buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p = {fd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        return std::nullopt;
      char chunk[65536];
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0)
        return std::nullopt;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  Pipe input_;
  Pipe output_;
  Pipe error_;
  pid_t pid_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
};

inline bool exitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

} // namespace quelt::testing
