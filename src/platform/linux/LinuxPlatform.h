#pragma once

#include "platform/Platform.h"

namespace quelt {

// The real services of a Linux desktop behind the seam.
Platform makeLinuxPlatform();

} // namespace quelt
