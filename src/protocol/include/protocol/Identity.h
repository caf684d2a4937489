#pragma once

#include "protocol/Version.h"
#include "quelt/wire/Vocabulary.h"

#include <cstdint>
#include <string_view>

namespace quelt {

// Protocol constants (the protocol's version is with the wire's names, which clients share).
inline constexpr std::string_view helperVersion = projectVersion;
inline constexpr size_t maxLineBytes = 1048576;
inline constexpr size_t maxTextChars = 32768;
inline constexpr size_t maxContextStrings = 100;
inline constexpr size_t maxContextStringChars = 100;

} // namespace quelt
