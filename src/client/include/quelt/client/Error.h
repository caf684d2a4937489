#pragma once

// What the client throws: the helper's refusal of a request, with its error object as it came
// on the wire, and the ways the helper itself can let its client down.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace quelt::client {

// The "error" object of a failed reply. The helper always sends a code and a message; the rest
// only where they say something about this failure.
struct Error {
  std::string code; // one of quelt::errors
  std::string message;
  std::optional<std::string> domain; // "domain": the platform's error domain, or a file's path
  std::optional<int64_t> nativeCode; // "native_code"
  std::optional<std::string> locale; // "locale"
  std::optional<std::string> status; // "status": an authorization status

  // A key missing or of another type than the helper sends reads as absent.
  static Error fromJson(const nlohmann::json& error);
};

// Everything the client throws is one of these.
class Failure : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The helper answered a request with an error; what() is "CODE: MESSAGE".
class RequestFailed : public Failure {
public:
  explicit RequestFailed(Error error);
  const Error& error() const { return error_; }

private:
  Error error_;
};

// The helper's output ended (it exited, or closed it) before the answer came.
class HelperEnded : public Failure {
public:
  HelperEnded() : Failure("the helper ended unexpectedly") {}
};

// A signal that Helper::catchInterrupts turned into an interruption ended the wait.
class Interrupted : public Failure {
public:
  Interrupted() : Failure("interrupted") {}
};

// The helper reports another protocol version than the client was built for, or none.
class VersionMismatch : public Failure {
public:
  VersionMismatch(const std::string& helper, std::optional<int64_t> helperVersion);
  std::optional<int64_t> helperVersion() const { return helperVersion_; }

private:
  std::optional<int64_t> helperVersion_;
};

} // namespace quelt::client
