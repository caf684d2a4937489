#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/LinuxAuthorization.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/PocketsphinxRecognizerService.h"
#include "platform/linux/PulseHardwareProperties.h"

namespace quelt {

Platform makeLinuxPlatform() {
  Platform platform;
  platform.process = std::make_shared<LinuxProcessInfo>();
  platform.authorization = std::make_shared<LinuxAuthorization>();
  platform.hardware = std::make_shared<PulseHardwareProperties>();
  platform.recognizer = std::make_shared<PocketsphinxRecognizerService>();
  // No speech analyzer on Linux: platform.transcriber stays empty.
  return platform;
}

} // namespace quelt
