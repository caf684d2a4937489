#include "platform/LanguageTag.h"

#include <algorithm>

namespace quelt {

std::string languageTag(const icu::Locale& locale) {
  UErrorCode status = U_ZERO_ERROR;
  std::string tag = locale.toLanguageTag<std::string>(status);
  return U_FAILURE(status) ? std::string("und") : tag;
}

std::optional<std::string> canonicalTag(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(text, status);
  if (U_FAILURE(status) || locale.isBogus())
    return std::nullopt;
  std::string tag = locale.toLanguageTag<std::string>(status);
  if (U_FAILURE(status))
    return std::nullopt;
  return tag;
}

std::string foldedTag(std::string tag) {
  std::replace(tag.begin(), tag.end(), '_', '-');
  std::transform(tag.begin(), tag.end(), tag.begin(), [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
  });
  return tag;
}

} // namespace quelt
