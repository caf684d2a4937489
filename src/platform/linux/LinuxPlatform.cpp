#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/EspeakSynthesizerService.h"
#include "platform/linux/LinuxAuthorization.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/PocketsphinxRecognizerService.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/PulseHardwareProperties.h"
#include "platform/linux/SndfileAudioServices.h"

namespace quelt {

Platform makeLinuxPlatform(std::function<void(const std::string&)> log) {
  Platform platform;
  platform.process = std::make_shared<LinuxProcessInfo>();
  platform.authorization = std::make_shared<LinuxAuthorization>();
  platform.hardware = std::make_shared<PulseHardwareProperties>();
  platform.audio = std::make_shared<SndfileAudioServices>();
  platform.audioInput = std::make_shared<PulseAudioInputService>();
  // The helper checks recognition models by running itself (see main).
  platform.recognizer = std::make_shared<PocketsphinxRecognizerService>(
      platform.audio, "/usr/share/pocketsphinx/model", "/proc/self/exe");
  platform.synthesizer = std::make_shared<EspeakSynthesizerService>(std::move(log));
  // No speech analyzer on Linux: platform.transcriber stays empty.
  return platform;
}

} // namespace quelt
