// The built helper as a parent application runs it: a child process on pipes.

#include "server/Json.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    readEnd = ends[0];
    writeEnd = ends[1];
  }
  ~Pipe() {
    close(readEnd);
    close(writeEnd);
  }
  static void close(int& fd) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
  int readEnd;
  int writeEnd;
};

// The helper (or a command wrapping it) with its three standard streams on pipes.
class HelperProcess {
public:
  explicit HelperProcess(std::vector<std::string> command = {QUELT_HELPER_PATH}) {
    pid_ = spawn(command, input_, output_, error_);
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

  void closeInput() { Pipe::close(input_.writeEnd); }
  void closeOutput() { Pipe::close(output_.readEnd); }

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

bool exitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

TEST(HelperProcess, AnswersHelloAndShutdownThenExitsWithZero) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"hello"})");
  auto hello = helper.next();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["result"]["pid"], helper.pid());
  EXPECT_EQ((*hello)["result"]["speech_analyzer"], false);
  utsname names{};
  ::uname(&names);
  EXPECT_EQ(std::string(names.release).rfind((*hello)["result"]["os_version"].get<std::string>(), 0),
            0u)
      << names.release;
  helper.send(R"({"id":2,"op":"shutdown"})");
  EXPECT_EQ(helper.next(), (Json{{"id", 2}, {"ok", true}, {"result", Json::object()}}));
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

TEST(HelperProcess, EndOfInputExitsWithZero) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"hello"})");
  ASSERT_TRUE(helper.next());
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
  EXPECT_EQ(helper.allErrorOutput(), "");
}

TEST(HelperProcess, TerminationSignalsExitWithZero) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    HelperProcess helper;
    helper.send(R"({"id":1,"op":"hello"})");
    ASSERT_TRUE(helper.next());
    ::kill(helper.pid(), signal);
    EXPECT_TRUE(exitedWithZero(helper.waitStatus())) << strsignal(signal);
  }
}

TEST(HelperProcess, AClosedStandardOutputDoesNotKillIt) {
  HelperProcess helper;
  helper.closeOutput();
  helper.send(R"({"id":1,"op":"hello"})");
  helper.send(R"({"id":2,"op":"hello"})");
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

TEST(HelperProcess, RefusesAnOverlongLineAndServesTheNext) {
  HelperProcess helper;
  std::thread writer([&] {
    helper.write(std::string(3 * 1048576, '{') + "\r\n");
    helper.send(R"({"id":1,"op":"hello"})");
  });
  EXPECT_EQ(helper.next(), (Json{{"event", "protocol_error"},
                                 {"message", "request line exceeds 1048576 bytes"}}));
  auto hello = helper.next();
  writer.join();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["id"], 1);
}

// The helper's parent is a middle process that the test kills; the test adopts the orphan so
// it can read its exit status.
TEST(HelperProcess, KillingTheParentEndsItWhileItsInputStaysOpen) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Pipe in, out, err, report;
  pid_t middle = ::fork();
  if (middle == 0) {
    pid_t helper = HelperProcess::spawn({QUELT_HELPER_PATH}, in, out, err);
    (void)!::write(report.writeEnd, &helper, sizeof helper);
    for (;;)
      ::pause();
  }
  pid_t helper = -1;
  ASSERT_EQ(::read(report.readEnd, &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
  std::string hello = R"({"id":1,"op":"hello"})" "\n";
  ASSERT_EQ(::write(in.writeEnd, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  pollfd ready = {out.readEnd, POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 10000), 1);

  ::kill(middle, SIGKILL);
  ::waitpid(middle, nullptr, 0);
  auto status = HelperProcess::waitFor(helper, 10s);
  if (helper > 0) {
    ::kill(helper, SIGKILL);
    ::waitpid(helper, nullptr, 0);
  }
  EXPECT_TRUE(exitedWithZero(status));
}

// In a fresh pid namespace the helper is process 1 with parent id 0: nobody to serve.
TEST(HelperProcess, StartingWithoutALiveParentExitsAtOnceWithZero) {
  HelperProcess helper({"unshare", "--pid", "--fork", QUELT_HELPER_PATH});
  auto status = helper.waitStatus();
  ASSERT_TRUE(status);
  std::string errors = helper.allErrorOutput();
  if (errors.find("unshare") != std::string::npos)
    GTEST_SKIP() << "no pid namespaces here: " << errors;
  EXPECT_TRUE(exitedWithZero(status)) << errors;
  EXPECT_EQ(helper.nextLine(100ms), std::nullopt);
}

} // namespace
} // namespace quelt
