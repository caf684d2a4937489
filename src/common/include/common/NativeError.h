#pragma once

#include "protocol/HelperError.h"

#include <exception>
#include <string>

namespace quelt {

// A failure the op has no more specific code for, as a "native" error: a platform service's
// failure carries that service's domain and code, any other exception only its text.
HelperError nativeError(const std::exception& error, const std::string& context);

// The op boundary for work that raised: a HelperError passes unchanged, anything else becomes a
// "native" error with the op's context phrase.
HelperError boundaryError(std::exception_ptr raised, const std::string& context);

} // namespace quelt
