#include "protocol/HelperError.h"

namespace quelt {

HelperError::HelperError(std::string code, std::string message, std::optional<std::string> domain,
                         std::optional<int64_t> nativeCode, std::optional<std::string> locale,
                         std::optional<std::string> status)
    : code_(std::move(code)), message_(std::move(message)), domain_(std::move(domain)),
      nativeCode_(nativeCode), locale_(std::move(locale)), status_(std::move(status)) {}

HelperError HelperError::invalid(std::string message) {
  return HelperError("invalid_request", std::move(message));
}

HelperError HelperError::native(const PlatformError& error, const std::string& context) {
  return HelperError("native", context + ": " + error.description(), error.domain(), error.code());
}

HelperError HelperError::native(const std::exception& error, const std::string& context) {
  if (auto* platform = dynamic_cast<const PlatformError*>(&error))
    return native(*platform, context);
  return HelperError("native", context + ": " + error.what());
}

Json HelperError::json() const {
  Json out = {{"code", code_}, {"message", message_}};
  if (domain_)
    out["domain"] = *domain_;
  if (nativeCode_)
    out["native_code"] = *nativeCode_;
  if (locale_)
    out["locale"] = *locale_;
  if (status_)
    out["status"] = *status_;
  return out;
}

} // namespace quelt
