#include "app/Startup.h"

#include "capture/CaptureOps.h"
#include "devices/InputDevices.h"
#include "lifecycle/ProcessOps.h"
#include "locales/LocaleOps.h"
#include "permissions/Authorization.h"
#include "speech/SpeechOps.h"
#include "voices/Voices.h"

namespace quelt {

void registerOps(Server& server) {
  registerProcessOps(server); // "hello", "shutdown"
  registerAuthorizationOps(server);
  registerDeviceOps(server);
  registerLocaleOps(server);
  registerVoiceOps(server);
  registerCaptureOps(server); // adds the hook that cancels every capture at shutdown
  registerSpeechOps(server);  // then the one that silences speech
}

} // namespace quelt
