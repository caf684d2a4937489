#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelt {

// A locale as the helper uses it: its BCP-47 identifier and the language parts parsed from it,
// both through ICU.
class Locale {
public:
  // Takes BCP-47 tags ("en-US") and ICU identifiers ("en_US@calendar=buddhist") alike.
  explicit Locale(std::string_view identifier);
  static Locale fromComponents(const std::optional<std::string>& language,
                               const std::optional<std::string>& script,
                               const std::optional<std::string>& region);

  const std::string& bcp47() const { return bcp47_; }
  const std::optional<std::string>& languageCode() const { return language_; }
  const std::optional<std::string>& script() const { return script_; }
  const std::optional<std::string>& region() const { return region_; }

private:
  Locale() = default;

  std::string bcp47_;
  std::optional<std::string> language_;
  std::optional<std::string> script_;
  std::optional<std::string> region_;
};

std::string bcp47(const Locale& locale);
// Equal BCP-47 identifiers ignoring letter case; en-US and en are different locales.
bool sameLocale(const Locale& a, const Locale& b);
// Language, script and region only: variants and keywords dropped.
Locale baseLanguageLocale(const Locale& locale);

// The supported locale to recognise in: an explicit request matches exactly (up to case) or
// not at all; otherwise the system locale, then each preferred language, each by exact match,
// then by language family (an installed member first); ties to the smallest identifier.
std::optional<Locale>
selectRecognitionLocale(const std::optional<std::string>& requested, const Locale& system,
                        const std::vector<std::string>& preferredLanguages,
                        std::vector<Locale> supported,
                        const std::function<bool(const Locale&)>& isInstalled);

// Ascending by identifier in plain code-point order, stable.
void sortByIdentifier(std::vector<Locale>& locales);

} // namespace quelt
