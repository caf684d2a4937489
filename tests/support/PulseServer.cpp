#include "PulseServer.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
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
constexpr const char* notStarted =
    "the PulseAudio daemon did not start (pulseaudio must be installed; scripts/setup.sh "
    "installs it)";

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

PulseServer::PulseServer() {
  char pattern[] = "/tmp/quelt-pulse-XXXXXX";
  if (!::mkdtemp(pattern))
    throw std::runtime_error(std::string("cannot make a directory for the PulseAudio daemon: ") +
                             std::strerror(errno));
  directory_ = pattern;
  socketPath_ = directory_ + "/native";
  address_ = "unix:" + socketPath_;
  fifoPath_ = directory_ + "/mic.fifo";
  try {
    start();
  } catch (...) {
    shutDown();
    throw;
  }
}

void PulseServer::start() {
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
  std::string logPath = directory_ + "/daemon.log";
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0)
    throw std::runtime_error(std::string(notStarted) + ": " + std::strerror(errno));
  try {
    daemon_.start({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                   "--disable-shm", "--use-pid-file=false", "--realtime=false",
                   "--high-priority=false", "--no-cpu-limit", "--log-target=stderr", "-F", script},
                  {.input = ChildProcess::null,
                   .output = log,
                   .error = ChildProcess::sameAsOutput,
                   .environment = environment,
                   .killedWithParent = true});
  } catch (const std::exception& error) {
    ::close(log);
    throw std::runtime_error(std::string(notStarted) + ": " + error.what());
  }
  ::close(log);

  auto deadline = Clock::now() + startTimeout;
  while (!acceptsConnections(socketPath_)) {
    if (daemon_.tryWait() || Clock::now() > deadline) {
      std::stringstream text;
      text << std::ifstream(logPath).rdbuf();
      throw std::runtime_error(std::string(notStarted) + ". Its log:\n" + text.str());
    }
    std::this_thread::sleep_for(10ms);
  }
}

void PulseServer::shutDown() {
  // A stopped daemon would take SIGTERM only once it runs again.
  thaw();
  if (daemon_.signal(SIGTERM))
    daemon_.waitFor(stopTimeout);
  daemon_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

} // namespace quelt::testing
