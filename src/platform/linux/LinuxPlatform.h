#pragma once

#include "platform/Platform.h"

#include <functional>
#include <string>

namespace quelt {

// The real services of a Linux desktop behind the seam. `log` takes the diagnostic lines a
// service has for standard error.
Platform makeLinuxPlatform(std::function<void(const std::string&)> log = {});

} // namespace quelt
