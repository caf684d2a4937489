#include "server/Startup.h"

#include "capture/CaptureOps.h"
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
  // voices: still to join here
  registerCaptureOps(server); // adds the hook that cancels every capture at shutdown
  // speech: still to join here; its shutdown hook must come after the capture one
}

} // namespace quelt
