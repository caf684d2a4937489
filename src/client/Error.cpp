#include "quelt/client/Error.h"

#include "quelt/wire/Vocabulary.h"

namespace quelt::client {

namespace {

std::optional<std::string> text(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string())
    return std::nullopt;
  return found->get<std::string>();
}

} // namespace

Error Error::fromJson(const nlohmann::json& error) {
  if (!error.is_object())
    return {};
  Error read;
  read.code = text(error, "code").value_or("");
  read.message = text(error, "message").value_or("");
  read.domain = text(error, "domain");
  if (auto code = error.find("native_code"); code != error.end() && code->is_number_integer())
    read.nativeCode = code->get<int64_t>();
  read.locale = text(error, "locale");
  read.status = text(error, "status");
  return read;
}

RequestFailed::RequestFailed(Error error)
    : Failure(error.code + ": " + error.message), error_(std::move(error)) {}

VersionMismatch::VersionMismatch(const std::string& helper, std::optional<int64_t> helperVersion)
    : Failure(helper + " speaks " +
              (helperVersion ? "protocol " + std::to_string(*helperVersion)
                             : "no protocol version this client knows") +
              ", but this client was built for protocol " + std::to_string(protocolVersion)),
      helperVersion_(helperVersion) {}

} // namespace quelt::client
