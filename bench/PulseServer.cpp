#include "PulseServer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt::bench {
namespace {

using namespace std::chrono_literals;

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

bool exitedWithin(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR))
      return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

} // namespace

PulseServer::PulseServer() {
  char pattern[] = "/tmp/quelt-bench-pulse-XXXXXX";
  if (!::mkdtemp(pattern))
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  directory_ = pattern;
  socketPath_ = directory_ + "/native";
  address_ = "unix:" + socketPath_;
  fifoPath_ = directory_ + "/mic.fifo";

  std::string script = directory_ + "/daemon.pa";
  // The socket comes last, so a client that can connect finds the source already there.
  std::ofstream(script) << ".fail\n"
                        << "load-module module-null-sink sink_name=bench_speaker\n"
                        << "load-module module-pipe-source source_name=bench_mic file=" << fifoPath_
                        << " format=s16le rate=" << rate << " channels=1\n"
                        << "set-default-source bench_mic\n"
                        << "load-module module-native-protocol-unix socket=" << socketPath_
                        << " auth-anonymous=1\n";

  // Everything the daemon keeps stays in the directory, away from any session it might find.
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
  std::vector<char*> argv, envp;
  for (auto& word : arguments)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  for (auto& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string log = directory_ + "/daemon.log";

  pid_t parent = ::getpid();
  daemon_ = ::fork();
  if (daemon_ == 0) {
    // A bench that dies leaves no daemon behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
      ::_exit(127);
    int input = ::open("/dev/null", O_RDONLY);
    int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || output < 0 || ::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 ||
        ::dup2(output, 2) < 0)
      ::_exit(127);
    ::close_range(3, ~0U, 0);
    ::execvpe("pulseaudio", argv.data(), envp.data());
    ::_exit(127);
  }
  if (daemon_ < 0) {
    shutDown();
    throw std::runtime_error("fork failed");
  }

  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!acceptsConnections(socketPath_)) {
    if (::waitpid(daemon_, nullptr, WNOHANG) == daemon_ ||
        std::chrono::steady_clock::now() > deadline) {
      std::ifstream file(log);
      std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      shutDown();
      throw std::runtime_error("the PulseAudio daemon did not start:\n" + text);
    }
    std::this_thread::sleep_for(10ms);
  }
}

PulseServer::~PulseServer() { shutDown(); }

void PulseServer::shutDown() {
  if (daemon_ > 0) {
    ::kill(daemon_, SIGTERM);
    if (!exitedWithin(daemon_, 5s)) {
      ::kill(daemon_, SIGKILL);
      ::waitpid(daemon_, nullptr, 0);
    }
    daemon_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

} // namespace quelt::bench
