#include "protocol/JsonLine.h"

#include <cmath>
#include <string_view>
#include <vector>

namespace quelt {
namespace {

// nlohmann writes NaN and infinities as null; the wire must not carry a silently changed value.
bool isWritable(const Json& root) {
  // Every message passes through here: the walk's stack is kept, not made afresh each time.
  thread_local std::vector<const Json*> pending;
  pending.assign(1, &root);
  while (!pending.empty()) {
    const Json* value = pending.back();
    pending.pop_back();
    switch (value->type()) {
    case Json::value_t::number_float:
      if (!std::isfinite(value->get<double>()))
        return false;
      break;
    case Json::value_t::binary:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::object:
    case Json::value_t::array:
      for (const auto& child : *value)
        pending.push_back(&child);
      break;
    default:
      break;
    }
  }
  return true;
}

} // namespace

std::optional<std::string> serializeMessage(const Json& message) {
  if (!isWritable(message))
    return std::nullopt;
  std::string compact;
  try {
    // Invalid UTF-8 that slipped into a platform string is replaced rather than losing the line.
    compact = message.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
  // Outside strings compact JSON has no "/", so escaping every one escapes exactly those inside
  // strings (keys included). Most messages have none and go out as they are.
  size_t slash = compact.find('/');
  if (slash == std::string::npos)
    return compact;
  std::string out;
  out.reserve(compact.size() + 8);
  out.append(compact, 0, slash);
  for (char c : std::string_view(compact).substr(slash)) {
    if (c == '/')
      out += '\\';
    out += c;
  }
  return out;
}

Json parseJsonLine(std::string_view line) {
  // The parser takes a NUL byte for the end of the text and would ignore whatever follows it;
  // JSON has no place for a raw NUL, so such a line is no JSON at all.
  if (line.find('\0') != std::string_view::npos)
    return Json(Json::value_t::discarded);
  return Json::parse(line, nullptr, /*allow_exceptions=*/false);
}

} // namespace quelt
