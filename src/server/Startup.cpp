#include "server/Startup.h"

#include "server/ProcessOps.h"

namespace quelt {

void registerOps(Server& server) {
  registerProcessOps(server); // "hello", "shutdown"
  // Then each subsystem, in this order; capture and speech also add their shutdown hooks, so
  // captures are cancelled before the spoken queue is emptied:
  //   authorization, devices, locales, voices, capture, speech
}

} // namespace quelt
