#include "protocol/Params.h"

#include <cmath>
#include <limits>

namespace quelt {

Params::Params() : Params(Json::object()) {}

Params::Params(Json value)
    : root_(std::make_shared<const Json>(value.is_object() ? std::move(value) : Json::object())),
      object_(root_.get()) {}

Params::Params(std::shared_ptr<const Json> root, const Json* object)
    : root_(std::move(root)), object_(object) {}

const Json* Params::find(std::string_view key) const {
  auto it = object_->find(key);
  return it == object_->end() ? nullptr : &*it;
}

std::optional<int64_t> integerValue(const Json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned())
    return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    auto unsignedValue = value.get<uint64_t>();
    if (unsignedValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return std::nullopt;
    return static_cast<int64_t>(unsignedValue);
  }
  if (value.is_number_float()) {
    double truncated = std::trunc(value.get<double>());
    // 2^63 is exactly representable; everything below it in magnitude converts safely.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(truncated) || truncated >= limit || truncated < -limit)
      return std::nullopt;
    return static_cast<int64_t>(truncated);
  }
  return std::nullopt;
}

std::optional<std::string> Params::string(std::string_view key) const {
  const Json* value = find(key);
  if (!value || !value->is_string())
    return std::nullopt;
  return value->get<std::string>();
}

std::optional<int64_t> Params::integer(std::string_view key) const {
  const Json* value = find(key);
  return value ? integerValue(*value) : std::nullopt;
}

std::optional<double> Params::number(std::string_view key) const {
  const Json* value = find(key);
  if (!value || !value->is_number())
    return std::nullopt;
  return value->get<double>();
}

std::optional<bool> Params::boolean(std::string_view key) const {
  const Json* value = find(key);
  if (!value || !value->is_boolean())
    return std::nullopt;
  return value->get<bool>();
}

std::optional<std::vector<std::string>> Params::stringArray(std::string_view key) const {
  const Json* value = find(key);
  if (!value || !value->is_array())
    return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_string())
      return std::nullopt;
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

std::optional<Params> Params::object(std::string_view key) const {
  const Json* value = find(key);
  if (!value || !value->is_object())
    return std::nullopt;
  return Params(root_, value);
}

} // namespace quelt
