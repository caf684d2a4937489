#pragma once

#include "protocol/Json.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelt {

// A request's params object, read only through these readers. Each yields a value or nothing
// and never complains itself: a missing key, a null or a value of another type is nothing, and
// the handler decides what that means.
//
// Copies and nested objects share the request rather than copying it: copying a JSON value
// recurses once per level of nesting, and a request line may nest hundreds of thousands deep.
class Params {
public:
  Params();
  // Anything that is not an object counts as an empty object.
  explicit Params(Json value);

  std::optional<std::string> string(std::string_view key) const;
  // A number; a fraction is truncated toward zero. Outside the signed 64-bit range: nothing.
  std::optional<int64_t> integer(std::string_view key) const;
  std::optional<double> number(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  // An array of strings; one element of another type makes the whole value nothing.
  std::optional<std::vector<std::string>> stringArray(std::string_view key) const;
  // A nested object, read with the same readers; nothing unless the value is an object.
  std::optional<Params> object(std::string_view key) const;

  const Json& json() const { return *object_; }

private:
  Params(std::shared_ptr<const Json> root, const Json* object);

  const Json* find(std::string_view key) const;

  std::shared_ptr<const Json> root_;
  const Json* object_;
};

// The integer reading rule on a bare value, shared with the reading of a request's "id".
std::optional<int64_t> integerValue(const Json& value);

} // namespace quelt
