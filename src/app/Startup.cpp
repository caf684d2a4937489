#include "app/Startup.h"

#include "capture/CaptureOps.h"
#include "common/NativeError.h"
#include "devices/InputDevices.h"
#include "lifecycle/ProcessOps.h"
#include "locales/LocaleOps.h"
#include "permissions/Authorization.h"
#include "speech/SpeechOps.h"
#include "voices/Voices.h"

namespace quelt {

ServerOptions helperServerOptions(const Platform& platform, ServerOptions options) {
  if (platform.process) {
    options.name = platform.process->bundleIdentifier();
    options.watchParent = [process = platform.process](std::function<void()> gone) {
      return watchParent(*process, std::move(gone));
    };
  }
  options.describeFailure = nativeError;
  return options;
}

void registerOps(OpHost& host, const Platform& platform) {
  RecognitionServices recognition{platform.process, platform.recognizer, platform.transcriber};
  registerProcessOps(host, platform.process); // "hello", "shutdown"
  registerAuthorizationOps(host, platform.authorization);
  registerDeviceOps(host, platform.hardware);
  registerLocaleOps(host, recognition);
  registerVoiceOps(host, platform.synthesizer);
  // Adds the hook that cancels every capture at shutdown...
  registerCaptureOps(host, {recognition, platform.authorization, platform.hardware, platform.audio,
                            platform.audioInput});
  // ...then the one that silences speech.
  registerSpeechOps(host, {platform.synthesizer, platform.audio});
}

std::shared_ptr<Server> makeHelper(const Platform& platform, ServerOptions options) {
  auto server = Server::create(helperServerOptions(platform, std::move(options)));
  registerOps(*server, platform);
  return server;
}

} // namespace quelt
