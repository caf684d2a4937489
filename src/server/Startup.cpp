#include "server/Startup.h"

#include "devices/InputDevices.h"
#include "locales/LocaleOps.h"
#include "permissions/Authorization.h"
#include "server/ProcessOps.h"

namespace quelt {

void registerOps(Server& server) {
  registerProcessOps(server); // "hello", "shutdown"
  registerAuthorizationOps(server);
  registerDeviceOps(server);
  registerLocaleOps(server);
  // Still to join, in this order: voices, capture, speech. Capture and speech also add their
  // shutdown hooks, so captures are cancelled before the spoken queue is emptied.
}

} // namespace quelt
