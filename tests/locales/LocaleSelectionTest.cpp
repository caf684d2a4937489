#include "locales/Locale.h"

#include <gtest/gtest.h>

#include <set>

namespace quelt {
namespace {

std::vector<Locale> locales(std::initializer_list<const char*> identifiers) {
  return {identifiers.begin(), identifiers.end()};
}

std::optional<std::string> select(std::optional<std::string> requested, const char* system,
                                  std::vector<std::string> preferred, std::vector<Locale> supported,
                                  std::set<std::string> installed = {}) {
  auto result = selectRecognitionLocale(
      requested, Locale(system), preferred, supported,
      [&](const Locale& locale) { return installed.count(locale.bcp47()) > 0; });
  return result ? std::optional(result->bcp47()) : std::nullopt;
}

TEST(Locale, ParsesTagsAndIcuIdentifiersAlike) {
  Locale tag("zh-Hans-CN");
  EXPECT_EQ(tag.bcp47(), "zh-Hans-CN");
  EXPECT_EQ(tag.languageCode(), "zh");
  EXPECT_EQ(tag.script(), "Hans");
  EXPECT_EQ(tag.region(), "CN");
  EXPECT_EQ(Locale("en_US").bcp47(), "en-US");
  EXPECT_EQ(Locale("en_GB@calendar=buddhist").bcp47(), "en-GB-u-ca-buddhist");
  EXPECT_EQ(Locale("fr").region(), std::nullopt);
  EXPECT_EQ(Locale("fr").script(), std::nullopt);
}

TEST(SelectRecognitionLocale, AnExplicitRequestMatchesExactlyOrNotAtAll) {
  auto supported = locales({"fr-FR", "en-US", "fr-CA"});
  EXPECT_EQ(select("EN-us", "de-DE", {}, supported), "en-US");
  EXPECT_EQ(select("fr", "fr-FR", {"fr-FR"}, supported), std::nullopt);
  EXPECT_EQ(select("", "fr-CA", {}, supported), "fr-CA"); // empty is no request
  EXPECT_EQ(select(std::nullopt, "de-DE", {"en-US"}, {}), std::nullopt);
}

TEST(SelectRecognitionLocale, WithinAFamilyInstalledWinsThenTheSmallestIdentifier) {
  auto supported = locales({"en-US", "en-GB", "en-AU"});
  EXPECT_EQ(select(std::nullopt, "en-IE", {}, supported, {"en-GB"}), "en-GB");
  EXPECT_EQ(select(std::nullopt, "en-IE", {}, supported), "en-AU");
}

TEST(SelectRecognitionLocale, TheSystemLocalesFamilyBeatsALaterExactPreference) {
  EXPECT_EQ(select(std::nullopt, "de-AT", {"en-GB"}, locales({"de-DE", "en-GB"})), "de-DE");
  EXPECT_EQ(select(std::nullopt, "ja-JP", {"pt-PT", "en-GB"}, locales({"de-DE", "en-GB"})),
            "en-GB");
  // Within one candidate an exact match beats the family.
  EXPECT_EQ(select(std::nullopt, "en-US", {}, locales({"en-AU", "en-US"}), {"en-AU"}), "en-US");
}

TEST(SelectRecognitionLocale, SystemKeywordsAndScriptsMatterAsWritten) {
  EXPECT_EQ(select(std::nullopt, "en_GB@calendar=buddhist", {}, locales({"en-GB", "en-US"})),
            "en-GB");
  // A family shares the script: Latin Serbian is not Cyrillic Serbian.
  EXPECT_EQ(select(std::nullopt, "sr-Latn-RS", {}, locales({"sr-Cyrl-RS", "sr-Latn-BA"})),
            "sr-Latn-BA");
  EXPECT_EQ(select(std::nullopt, "sr-RS", {}, locales({"sr-Cyrl-RS"})), std::nullopt);
}

} // namespace
} // namespace quelt
