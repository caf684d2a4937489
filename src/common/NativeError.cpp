#include "common/NativeError.h"

#include "platform/PlatformError.h"

namespace quelt {

HelperError nativeError(const std::exception& error, const std::string& context) {
  if (auto* platform = dynamic_cast<const PlatformError*>(&error))
    return HelperError::native(context, platform->description(), platform->domain(),
                               platform->code());
  return HelperError::native(context, error.what());
}

HelperError boundaryError(std::exception_ptr raised, const std::string& context) {
  return failureOf(std::move(raised), context, nativeError);
}

} // namespace quelt
