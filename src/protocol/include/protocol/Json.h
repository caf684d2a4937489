#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace quelt {

// Objects are ordered maps, so every object is written with its keys sorted.
using Json = nlohmann::json;

// One message as it goes on the wire: compact, keys sorted, "/" escaped as "\/", non-ASCII as
// UTF-8, no line feed. Nothing when the message cannot be written as JSON (a non-finite number,
// binary data).
std::optional<std::string> serializeMessage(const Json& message);

} // namespace quelt
