// quelt-voice-helper: a speech helper driven over stdin/stdout with JSON lines.

#include "platform/linux/LinuxPlatform.h"
#include "server/Server.h"
#include "server/Startup.h"

#include <asio/signal_set.hpp>

#include <csignal>
#include <unistd.h>

int main() {
  // A parent that closes our stdout must not kill us with SIGPIPE: every way out is status 0.
  std::signal(SIGPIPE, SIG_IGN);

  quelt::ServerOptions options;
  options.exitProcess = [](int exitCode) { ::_exit(exitCode); };
  auto server = quelt::Server::create(quelt::makeLinuxPlatform(), std::move(options));
  quelt::registerOps(*server);

  // A parent (or a terminal) asking us to stop gets the same orderly shutdown as "shutdown".
  asio::signal_set stopSignals(server->mainContext(), SIGTERM, SIGINT, SIGHUP);
  stopSignals.async_wait([&server](const std::error_code& error, int) {
    if (!error)
      server->shutdown(0);
  });

  server->run();
  ::_exit(0);
}
