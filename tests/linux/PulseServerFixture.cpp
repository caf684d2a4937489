#include "linux/PulseServerFixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quelt::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Builds are slow under sanitizers and CI machines busy; a healthy daemon is up in well under
// a second.
constexpr auto startTimeout = 15s;
constexpr auto stopTimeout = 5s;
constexpr auto unloadTimeout = 5s;

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream directories(path && *path ? path : "/usr/bin:/bin");
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& string : strings)
    result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

// Starts a program with stdin from /dev/null and stdout and stderr on outputFd. It dies with
// this process, so a crashing test leaves no daemon behind. Null environment: this one's.
pid_t spawn(const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string>* environment, int outputFd) {
  auto argv = pointers(arguments);
  std::vector<char*> envp = environment ? pointers(*environment) : std::vector<char*>{};
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child != 0)
    return child;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent)
    ::_exit(127);
  int input = ::open("/dev/null", O_RDONLY);
  if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(outputFd, 1) < 0 || ::dup2(outputFd, 2) < 0)
    ::_exit(127);
  // Inherited pipes (the test runner's among them) would otherwise stay open in the daemon.
  ::close_range(3, ~0U, 0);
  ::execve(program.c_str(), argv.data(), environment ? envp.data() : ::environ);
  ::_exit(127);
}

bool waitExited(pid_t pid, Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR))
      return true;
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
}

bool acceptsConnections(const std::string& socketPath) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return connected;
}

} // namespace

void PulseServerFixture::SetUp() {
  char pattern[] = "/tmp/quelt-pulse-XXXXXX";
  if (!::mkdtemp(pattern))
    FAIL() << "cannot make a directory for the PulseAudio daemon: " << std::strerror(errno);
  directory_ = pattern;
  socketPath_ = directory_ + "/native";
  serverAddress_ = "unix:" + socketPath_;
  fifoPath_ = directory_ + "/mic.fifo";

  if (!startDaemon())
    FAIL() << "the PulseAudio daemon did not start (pulseaudio must be installed; "
              "scripts/setup.sh installs it). Its log:\n"
           << daemonLog();

  pulseServer_.emplace("PULSE_SERVER", serverAddress_);
}

void PulseServerFixture::TearDown() {
  pulseServer_.reset();
  stopDaemon();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

bool PulseServerFixture::startDaemon() {
  std::string program = findProgram("pulseaudio");
  if (program.empty()) {
    std::ofstream(directory_ + "/daemon.log") << "pulseaudio is not on PATH\n";
    return false;
  }
  std::string script = directory_ + "/daemon.pa";
  // The socket comes last, so that a client able to connect finds every device already there.
  std::ofstream(script) << ".fail\n"
                        << "load-module module-null-sink sink_name=" << speakerSinkName << "\n"
                        << "load-module module-pipe-source source_name=" << micSourceName
                        << " file=" << fifoPath_ << " format=s16le rate=" << micRate
                        << " channels=1\n"
                        << "set-default-source " << micSourceName << "\n"
                        << "load-module module-native-protocol-unix socket=" << socketPath_
                        << " auth-anonymous=1\n";

  // Everything the daemon keeps lives in the directory: as root with no session it would
  // otherwise reach for /root and /run, and with the caller's D-Bus address for its session.
  const char* path = std::getenv("PATH");
  std::vector<std::string> environment = {
      "PATH=" + std::string(path ? path : "/usr/bin:/bin"),
      "HOME=" + directory_,
      "XDG_RUNTIME_DIR=" + directory_,
      "XDG_CONFIG_HOME=" + directory_ + "/config",
      "PULSE_RUNTIME_PATH=" + directory_ + "/runtime",
      "PULSE_STATE_PATH=" + directory_ + "/state",
      "LANG=C",
  };
  std::vector<std::string> arguments = {
      "pulseaudio",
      "-n",
      "--daemonize=no",
      "--system=false",
      "--exit-idle-time=-1",
      "--disable-shm",
      "--use-pid-file=false",
      "--realtime=false",
      "--high-priority=false",
      "--no-cpu-limit",
      "--log-target=stderr",
      "-F",
      script,
  };
  int log =
      ::open((directory_ + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0)
    return false;
  daemon_ = spawn(program, arguments, &environment, log);
  ::close(log);
  if (daemon_ < 0)
    return false;
  return waitForSocket();
}

bool PulseServerFixture::waitForSocket() {
  auto deadline = Clock::now() + startTimeout;
  while (Clock::now() < deadline) {
    if (acceptsConnections(socketPath_))
      return true;
    if (::waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
      daemon_ = -1;
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void PulseServerFixture::freezeServer() {
  ASSERT_GT(daemon_, 0);
  ASSERT_EQ(::kill(daemon_, SIGSTOP), 0) << std::strerror(errno);
  frozen_ = true;
}

void PulseServerFixture::thawServer() {
  if (frozen_ && daemon_ > 0)
    ::kill(daemon_, SIGCONT);
  frozen_ = false;
}

void PulseServerFixture::stopDaemon() {
  if (daemon_ <= 0)
    return;
  // A stopped daemon would take SIGTERM only once it runs again.
  thawServer();
  ::kill(daemon_, SIGTERM);
  if (!waitExited(daemon_, stopTimeout)) {
    ::kill(daemon_, SIGKILL);
    ::waitpid(daemon_, nullptr, 0);
  }
  daemon_ = -1;
}

std::string PulseServerFixture::daemonLog() const {
  std::ifstream file(directory_ + "/daemon.log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::string> PulseServerFixture::pactl(const std::vector<std::string>& arguments) {
  std::string program = findProgram("pactl");
  if (program.empty()) {
    ADD_FAILURE() << "pactl is not on PATH";
    return std::nullopt;
  }
  std::vector<std::string> command = {"pactl", "-s", serverAddress_};
  command.insert(command.end(), arguments.begin(), arguments.end());
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return std::nullopt;
  }
  pid_t child = spawn(program, command, nullptr, output[1]);
  ::close(output[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(output[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0)
      text.append(buffer, static_cast<size_t>(got));
  ::close(output[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::string shown;
    for (const auto& part : command)
      shown += part + " ";
    ADD_FAILURE() << shown << "failed:\n" << text;
    return std::nullopt;
  }
  return text;
}

bool PulseServerFixture::unloadMicSource() {
  auto listing = pactl({"list", "modules", "short"});
  if (!listing)
    return false;
  std::optional<std::string> index;
  std::stringstream lines(*listing);
  for (std::string line; std::getline(lines, line);)
    if (line.find(std::string("source_name=") + micSourceName + " ") != std::string::npos)
      index = line.substr(0, line.find('\t'));
  if (!index) {
    ADD_FAILURE() << "no module owns " << micSourceName;
    return false;
  }
  if (!pactl({"unload-module", *index}))
    return false;
  // The server acknowledges the request before it gets round to the unloading.
  auto deadline = Clock::now() + unloadTimeout;
  std::string prefix = *index + "\t";
  while (Clock::now() < deadline) {
    listing = pactl({"list", "modules", "short"});
    if (!listing)
      return false;
    if (listing->rfind(prefix, 0) != 0 && listing->find("\n" + prefix) == std::string::npos)
      return true;
    std::this_thread::sleep_for(10ms);
  }
  ADD_FAILURE() << "module " << *index << " is still loaded";
  return false;
}

} // namespace quelt::testing
