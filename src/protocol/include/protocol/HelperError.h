#pragma once

#include "protocol/Json.h"
#include "quelt/wire/Vocabulary.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace quelt {

// The one error record every failure reaches the parent as. It can be thrown by a step and
// caught at the op boundary, where it passes unchanged.
// What an error may carry besides its code and message; each is sent only when present.
struct ErrorDetails {
  std::optional<std::string> domain = std::nullopt;
  std::optional<int64_t> nativeCode = std::nullopt;
  std::optional<std::string> locale = std::nullopt;
  std::optional<std::string> status = std::nullopt;
};

class HelperError : public std::exception {
public:
  HelperError(ErrorCode code, std::string message, ErrorDetails details = {});

  // A request that breaks a documented rule of its op.
  static HelperError invalid(std::string message);
  // A failure the program has no more specific code for, from the service (`domain`) that
  // reported it with its own `code` when known.
  static HelperError native(const std::string& context, const std::string& description,
                            std::optional<std::string> domain = {},
                            std::optional<int64_t> code = {});

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::optional<std::string>& domain() const { return details_.domain; }
  const std::optional<int64_t>& nativeCode() const { return details_.nativeCode; }
  const std::optional<std::string>& locale() const { return details_.locale; }
  const std::optional<std::string>& status() const { return details_.status; }

  // "code" and "message" always; the optional fields only when present, never as null.
  Json json() const;

  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string code_;
  std::string message_;
  ErrorDetails details_;
};

// Makes the error for an exception that is not a HelperError, with the op's context phrase.
using DescribeFailure =
    std::function<HelperError(const std::exception& error, const std::string& context)>;

// The op boundary for work that raised: a HelperError passes unchanged, any other exception
// becomes the error `describe` makes of it ("native", with its text, when there is none).
HelperError failureOf(std::exception_ptr raised, const std::string& context,
                      const DescribeFailure& describe = {});

} // namespace quelt
