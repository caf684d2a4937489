#include "platform/PlatformError.h"

#include <cstring>

namespace quelt {

PlatformError PlatformError::posix(int errnoValue) {
  return PlatformError("POSIX", errnoValue, std::strerror(errnoValue));
}

} // namespace quelt
