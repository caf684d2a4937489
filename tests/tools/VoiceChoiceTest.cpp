// The client's reading of a language as a person names it.

#include "Languages.h"

#include <gtest/gtest.h>

namespace quelt::client {
namespace {

using Json = nlohmann::json;

Json voice(const char* id, const char* language, const char* name) {
  return {{"id", id}, {"language", language}, {"name", name}, {"is_novelty", false}};
}

// As a voice list names them: each voice under its own tag, and some also under the bare
// language, marked so in their names.
const Json voices = Json::array({
    voice("be-fr", "fr", "French (Belgium) (fr)"),
    voice("fr-fr", "fr", "French (France) (fr)"),
    voice("be", "fr-BE", "French (Belgium)"),
    voice("fr", "fr-FR", "French (France)"),
    voice("yue-zh", "zh", "Chinese (Cantonese) (zh)"),
    voice("cmn", "cmn", "Chinese (Mandarin)"),
    voice("yue", "yue", "Chinese (Cantonese)"),
    voice("la-es", "es", "Spanish (Latin America) (es)"),
    voice("es", "es", "Spanish (Spain)"),
    voice("la", "es-419", "Spanish (Latin America)"),
    voice("de", "de", "German"),
});

TEST(VoiceChoice, ABareLanguageMeansItsMainVariety) {
  EXPECT_EQ(voiceChoiceFor("fr", voices), Json({{"language", "fr-FR"}}));
  EXPECT_EQ(voiceChoiceFor("FR", voices), Json({{"language", "fr-FR"}}));
  EXPECT_EQ(voiceChoiceFor("zh", voices), Json({{"language", "cmn"}}));
  // No voice names Spain's region: the voice that is Spain's own, not the one listed for "es"
  // as well.
  EXPECT_EQ(voiceChoiceFor("es", voices), Json({{"voice", "es"}}));
  // One voice, or nothing better known: the tag goes as given.
  for (const char* asGiven : {"de", "fr-CH", "fr_BE", "zh-Hant", "xx", "not a tag"})
    EXPECT_EQ(voiceChoiceFor(asGiven, voices), Json({{"language", asGiven}})) << asGiven;
  EXPECT_EQ(voiceChoiceFor("fr", Json::array()), Json({{"language", "fr"}}));
}

TEST(VoiceChoice, ALanguageCoversItsRegionsAndWhatICUCountsAsIt) {
  EXPECT_TRUE(languageCovers("en", "en-GB-x-rp"));
  EXPECT_TRUE(languageCovers("fr", "fr_BE"));
  EXPECT_TRUE(languageCovers("zh", "cmn"));
  EXPECT_FALSE(languageCovers("zh", "yue"));
  EXPECT_FALSE(languageCovers("en-GB", "en"));
  EXPECT_FALSE(languageCovers("en-GB", "en-US"));
  EXPECT_FALSE(languageCovers("e", "en"));
}

} // namespace
} // namespace quelt::client
