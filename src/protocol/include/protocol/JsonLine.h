#pragma once

#include "protocol/Json.h"

#include <string_view>

namespace quelt {

// One request line as JSON text, strictly: the whole line is one value with nothing after it.
// A discarded value when it is not.
Json parseJsonLine(std::string_view line);

} // namespace quelt
