#include "locales/Locale.h"

#include "platform/LanguageTag.h"

#include <unicode/localebuilder.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace quelt {
namespace {

std::optional<std::string> part(const char* value) {
  if (!value || !*value)
    return std::nullopt;
  return std::string(value);
}

icu::Locale parse(std::string_view identifier) {
  std::string text(identifier);
  if (text.find_first_of("_@") == std::string::npos) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale tagged = icu::Locale::forLanguageTag(text, status);
    if (U_SUCCESS(status) && !tagged.isBogus())
      return tagged;
  }
  return icu::Locale(text.c_str());
}

} // namespace

Locale::Locale(std::string_view identifier) {
  icu::Locale parsed = parse(identifier);
  bcp47_ = languageTag(parsed);
  language_ = part(parsed.getLanguage());
  script_ = part(parsed.getScript());
  region_ = part(parsed.getCountry());
}

Locale Locale::fromComponents(const std::optional<std::string>& language,
                              const std::optional<std::string>& script,
                              const std::optional<std::string>& region) {
  icu::LocaleBuilder builder;
  builder.setLanguage(language.value_or(""));
  builder.setScript(script.value_or(""));
  builder.setRegion(region.value_or(""));
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale built = builder.build(status);
  Locale locale;
  locale.bcp47_ = U_FAILURE(status) ? std::string("und") : languageTag(built);
  locale.language_ = language;
  locale.script_ = script;
  locale.region_ = region;
  return locale;
}

std::string bcp47(const Locale& locale) { return locale.bcp47(); }

bool sameLocale(const Locale& a, const Locale& b) {
  return icu::UnicodeString::fromUTF8(a.bcp47()).caseCompare(
             icu::UnicodeString::fromUTF8(b.bcp47()), U_FOLD_CASE_DEFAULT) == 0;
}

Locale baseLanguageLocale(const Locale& locale) {
  Locale reparsed(locale.bcp47());
  return Locale::fromComponents(reparsed.languageCode(), reparsed.script(), reparsed.region());
}

void sortByIdentifier(std::vector<Locale>& locales) {
  std::stable_sort(locales.begin(), locales.end(),
                   [](const Locale& a, const Locale& b) { return a.bcp47() < b.bcp47(); });
}

std::optional<Locale>
selectRecognitionLocale(const std::optional<std::string>& requested, const Locale& system,
                        const std::vector<std::string>& preferredLanguages,
                        std::vector<Locale> supported,
                        const std::function<bool(const Locale&)>& isInstalled) {
  sortByIdentifier(supported);
  auto firstSame = [&](const Locale& wanted) -> std::optional<Locale> {
    for (const auto& locale : supported)
      if (sameLocale(locale, wanted))
        return locale;
    return std::nullopt;
  };

  if (requested && !requested->empty())
    return firstSame(Locale(*requested));

  std::vector<Locale> candidates{system};
  for (const auto& preferred : preferredLanguages)
    candidates.emplace_back(preferred);

  for (const auto& candidate : candidates) {
    Locale base = baseLanguageLocale(candidate);
    if (auto exact = firstSame(base))
      return exact;
    if (!base.languageCode())
      continue;
    std::vector<const Locale*> family;
    for (const auto& locale : supported)
      if (locale.languageCode() == base.languageCode() && locale.script() == base.script())
        family.push_back(&locale);
    if (family.empty())
      continue;
    for (const Locale* member : family)
      if (isInstalled(*member))
        return *member;
    return *family.front();
  }
  return std::nullopt;
}

} // namespace quelt
