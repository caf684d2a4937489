#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/LinuxProcessInfo.h"

namespace quelt {

Platform makeLinuxPlatform() {
  Platform platform;
  platform.process = std::make_shared<LinuxProcessInfo>();
  return platform;
}

} // namespace quelt
