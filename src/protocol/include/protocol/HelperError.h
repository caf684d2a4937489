#pragma once

#include "protocol/Json.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace quelt {

// The one error record every failure reaches the parent as. It can be thrown by a step and
// caught at the op boundary, where it passes unchanged.
class HelperError : public std::exception {
public:
  HelperError(std::string code, std::string message, std::optional<std::string> domain = {},
              std::optional<int64_t> nativeCode = {}, std::optional<std::string> locale = {},
              std::optional<std::string> status = {});

  // A request that breaks a documented rule of its op.
  static HelperError invalid(std::string message);
  // A failure the program has no more specific code for, from the service (`domain`) that
  // reported it with its own `code` when known.
  static HelperError native(const std::string& context, const std::string& description,
                            std::optional<std::string> domain = {},
                            std::optional<int64_t> code = {});

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::optional<std::string>& domain() const { return domain_; }
  const std::optional<int64_t>& nativeCode() const { return nativeCode_; }
  const std::optional<std::string>& locale() const { return locale_; }
  const std::optional<std::string>& status() const { return status_; }

  // "code" and "message" always; the optional fields only when present, never as null.
  Json json() const;

  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string code_;
  std::string message_;
  std::optional<std::string> domain_;
  std::optional<int64_t> nativeCode_;
  std::optional<std::string> locale_;
  std::optional<std::string> status_;
};

} // namespace quelt
