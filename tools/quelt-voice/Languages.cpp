#include "Languages.h"

#include "platform/LanguageTag.h"

#include <unicode/locid.h>

#include <algorithm>
#include <optional>

namespace quelt::client {

namespace {

struct Tag {
  std::string language; // as written (cmn)
  bool explicitRegion = false;
  bool explicitScript = false;
  std::string canonical; // the language ICU counts it as (cmn: zh)
  std::string likely;    // language_Script_REGION once the likely subtags are added
};

std::optional<Tag> parse(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(foldedTag(text), status);
  if (U_FAILURE(status) || !*locale.getLanguage())
    return std::nullopt;
  Tag tag;
  tag.language = locale.getLanguage();
  tag.explicitRegion = *locale.getCountry() != '\0';
  tag.explicitScript = *locale.getScript() != '\0';
  locale.canonicalize(status);
  tag.canonical = locale.getLanguage();
  locale.addLikelySubtags(status);
  if (U_FAILURE(status))
    return std::nullopt;
  tag.likely =
      std::string(locale.getLanguage()) + "_" + locale.getScript() + "_" + locale.getCountry();
  return tag;
}

} // namespace

nlohmann::json voiceChoiceFor(const std::string& wanted, const nlohmann::json& voices) {
  nlohmann::json asGiven = {{"language", wanted}};
  auto want = parse(wanted);
  // A person who names a region or script has chosen already.
  if (!want || want->explicitRegion || want->explicitScript || !voices.is_array())
    return asGiven;
  std::optional<std::string> regional, sameLanguage;
  for (const auto& voice : voices) {
    std::string language = voice.value("language", "");
    auto have = parse(language);
    if (!have || have->likely != want->likely)
      continue;
    // fr-FR for fr: a voice that names the main region.
    if (have->explicitRegion && !regional)
      regional = language;
    // cmn for zh: a language of its own that ICU counts as the one asked for.
    if (!have->explicitRegion && have->language != want->language &&
        have->canonical == want->canonical && !sameLanguage)
      sameLanguage = language;
  }
  if (regional)
    return {{"language", *regional}};
  if (sameLanguage)
    return {{"language", *sameLanguage}};
  // Several voices under the very tag asked for, some of them another region's voice listed
  // for the language as well ("Spanish (Latin America) (es)"): take the one that is its own.
  std::optional<std::string> own;
  bool anyAlias = false;
  for (const auto& voice : voices) {
    std::string language = voice.value("language", "");
    if (foldedTag(language) != foldedTag(wanted) || voice.value("is_novelty", false))
      continue;
    std::string name = voice.value("name", "");
    std::string aliasSuffix = " (" + language + ")";
    bool alias =
        name.size() > aliasSuffix.size() &&
        name.compare(name.size() - aliasSuffix.size(), aliasSuffix.size(), aliasSuffix) == 0;
    anyAlias = anyAlias || alias;
    if (!alias && !own)
      own = voice.value("id", "");
  }
  if (own && anyAlias)
    return {{"voice", *own}};
  return asGiven;
}

bool languageCovers(const std::string& wanted, const std::string& voiceLanguage) {
  std::string want = foldedTag(wanted), have = foldedTag(voiceLanguage);
  if (have == want || have.rfind(want + "-", 0) == 0)
    return true;
  auto wantTag = parse(wanted);
  auto haveTag = parse(voiceLanguage);
  // Only a bare language widens to the languages ICU counts as it.
  return wantTag && haveTag && want == wantTag->language &&
         wantTag->canonical == haveTag->canonical;
}

} // namespace quelt::client
