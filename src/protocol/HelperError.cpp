#include "protocol/HelperError.h"

namespace quelt {

HelperError::HelperError(ErrorCode code, std::string message, ErrorDetails details)
    : code_(code.string()), message_(std::move(message)), details_(std::move(details)) {}

HelperError HelperError::invalid(std::string message) {
  return HelperError(errors::invalidRequest, std::move(message));
}

HelperError HelperError::native(const std::string& context, const std::string& description,
                                std::optional<std::string> domain, std::optional<int64_t> code) {
  return HelperError(errors::native, context + ": " + description,
                     {.domain = std::move(domain), .nativeCode = code});
}

HelperError failureOf(std::exception_ptr raised, const std::string& context,
                      const DescribeFailure& describe) {
  try {
    std::rethrow_exception(raised);
  } catch (const HelperError& error) {
    return error;
  } catch (const std::exception& error) {
    return describe ? describe(error, context) : HelperError::native(context, error.what());
  } catch (...) {
    return HelperError(errors::native, context + ": unknown error");
  }
}

Json HelperError::json() const {
  Json out = {{"code", code_}, {"message", message_}};
  if (details_.domain)
    out["domain"] = *details_.domain;
  if (details_.nativeCode)
    out["native_code"] = *details_.nativeCode;
  if (details_.locale)
    out["locale"] = *details_.locale;
  if (details_.status)
    out["status"] = *details_.status;
  return out;
}

} // namespace quelt
