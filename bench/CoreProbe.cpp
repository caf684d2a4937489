// The helper's own server answering "hello" with none of the engine libraries loaded: the start
// and the memory the helper would have if pulse, pocketsphinx, espeak-ng and libsndfile came in
// on first use.

#include "platform/linux/LinuxAuthorization.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "server/ProcessOps.h"
#include "server/Server.h"

#include <csignal>
#include <unistd.h>

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  quelt::ServerOptions options;
  options.exitProcess = [](int exitCode) { ::_exit(exitCode); };
  quelt::Platform platform;
  platform.process = std::make_shared<quelt::LinuxProcessInfo>();
  platform.authorization = std::make_shared<quelt::LinuxAuthorization>();
  auto server = quelt::Server::create(std::move(platform), std::move(options));
  quelt::registerProcessOps(*server);
  server->run();
  ::_exit(0);
}
