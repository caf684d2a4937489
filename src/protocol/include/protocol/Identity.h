#pragma once

#include "protocol/Version.h"

#include <cstdint>
#include <string_view>

namespace quelt {

// Protocol constants.
inline constexpr int64_t protocolVersion = 1;
inline constexpr std::string_view helperVersion = projectVersion;
inline constexpr size_t maxLineBytes = 1048576;
inline constexpr size_t maxTextChars = 32768;
inline constexpr size_t maxContextStrings = 100;
inline constexpr size_t maxContextStringChars = 100;

} // namespace quelt
