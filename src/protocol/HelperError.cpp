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

HelperError HelperError::native(const std::string& context, const std::string& description,
                                std::optional<std::string> domain, std::optional<int64_t> code) {
  return HelperError("native", context + ": " + description, std::move(domain), code);
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
