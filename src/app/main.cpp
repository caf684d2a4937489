// quelt-voice-helper: a speech helper driven over stdin/stdout with JSON lines.

#include "app/Startup.h"
#include "process/LinuxPlatform.h"
#include "protocol/Server.h"

#include <asio/signal_set.hpp>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

int main(int argc, char** argv) {
  // The helper runs itself this way to try a recognition model, or to synthesize speech, in a
  // process of its own.
  quelt::runWorkerIfAsked(argc, argv);

  // A parent that closes our stdout must not kill us with SIGPIPE: every way out is status 0.
  std::signal(SIGPIPE, SIG_IGN);
  // A stop request that comes while we start up waits for its handler rather than killing us.
  sigset_t stopping;
  sigemptyset(&stopping);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    sigaddset(&stopping, signal);
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);

  quelt::ServerOptions options;
  options.exitProcess = [](int exitCode) { ::_exit(exitCode); };
  // Services may have a line for stderr before the server exists; it goes out once it does.
  auto logTo = std::make_shared<std::weak_ptr<quelt::Server>>();
  auto platform = quelt::makeLinuxPlatform([logTo](const std::string& line) {
    if (auto server = logTo->lock())
      server->log(line);
  });
  auto server = quelt::makeHelper(platform, std::move(options));
  *logTo = server;

  // A parent (or a terminal) asking us to stop gets the same orderly shutdown as "shutdown".
  asio::signal_set stopSignals(server->mainContext(), SIGTERM, SIGINT, SIGHUP);
  stopSignals.async_wait([&server](const std::error_code& error, int) {
    if (!error)
      server->shutdown(0);
  });
  // Threads made so far keep them blocked, so they all come to this one.
  pthread_sigmask(SIG_UNBLOCK, &stopping, nullptr);

  // Someone who started us from a shell sees what we wait for.
  if (::isatty(STDIN_FILENO) == 1)
    server->log("quelt-voice-helper reads JSON request lines on stdin, such as "
                "{\"id\":1,\"op\":\"hello\"}; man quelt-voice-helper describes them, and "
                "`quelt-voice raw` sends them for you");
  server->run();
  ::_exit(0);
}
