#include "voices/Voices.h"
#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

VoiceInfo voice(std::string id, std::string name, std::string language, int64_t quality = 1,
                uint32_t traits = 0, int64_t gender = 0) {
  return {std::move(id), std::move(name), std::move(language), quality, gender, traits};
}

std::string chosen(fakes::FakeSynthesizerService& service, const std::string& language) {
  auto best = bestVoice(service, language);
  return best ? best->identifier : "none";
}

TEST(BestVoice, NormalisesTheLanguageAndRanksQualityThenPersonalThenName) {
  fakes::FakeSynthesizerService service;
  service.installed = {voice("a", "Zed", "en-US"),         voice("b", "amy", "en-US"),
                       voice("c", "Amy", "en-US"),         voice("d", "Fred", "en-GB", 2),
                       voice("e", "Jo", "fr-FR", 3, 2),    voice("f", "Max", "fr-FR", 2),
                       voice("g", "Bells", "de-DE", 3, 1), voice("h", "Anna", "de-DE")};
  for (const char* spelling : {"en_US", "EN-us", "en-US"})
    EXPECT_EQ(chosen(service, spelling), "c") << spelling; // upper case sorts first
  EXPECT_EQ(chosen(service, "fr-FR"), "e"); // premium beats enhanced, personal or not
  EXPECT_EQ(chosen(service, "en-AU"), "d"); // same base language, best quality
  EXPECT_EQ(chosen(service, "de"), "h");    // the novelty voice is never chosen
  EXPECT_EQ(chosen(service, "english"), "none");
  service.installed.push_back(voice("i", "Jo", "fr-FR", 3));
  EXPECT_EQ(chosen(service, "fr-FR"), "i"); // at equal rank, not personal wins
}

TEST(ResolveVoice, IdsMustExistLanguagesMustHaveAVoiceAndNothingFallsBack) {
  fakes::FakeSynthesizerService service;
  service.installed = {voice("en", "Amy", "en-US"), voice("bells", "Bells", "de-DE", 1, 1)};
  try {
    resolveVoice(service, "missing", "en-US");
    FAIL();
  } catch (const HelperError& error) {
    EXPECT_EQ(error.json(), (Json{{"code", "voice_not_found"}, {"message", "missing"}}));
  }
  EXPECT_EQ(resolveVoice(service, "", "de-DE")->identifier, "bells"); // the platform finds it
  try {
    resolveVoice(service, std::nullopt, "ja");
    FAIL();
  } catch (const HelperError& error) {
    EXPECT_EQ(error.message(), "no voice for language ja");
  }
  EXPECT_EQ(resolveVoice(service, std::nullopt, std::nullopt)->identifier, "en");
  service.currentLanguage = "ja-JP";
  EXPECT_EQ(resolveVoice(service, std::nullopt, ""), std::nullopt); // the synthesizer's default
}

TEST(VoicesList, GroupsByLanguageThenQualityThenName) {
  ServerHarness harness;
  harness.fakes().synthesizer->installed = {
      voice("1", "b", "en-US"), voice("2", "a", "en-US"), voice("3", "z", "en-US", 3),
      voice("4", "m", "de-DE", 2, 1, 2), voice("5", "c", "en-GB")};
  harness.start();
  auto voices = harness.request(R"({"id":1,"op":"voices.list"})")["result"]["voices"];
  std::vector<std::string> order;
  for (const auto& entry : voices)
    order.push_back(entry["id"]);
  EXPECT_EQ(order, (std::vector<std::string>{"4", "5", "3", "2", "1"}));
  EXPECT_EQ(voices[0], (Json{{"id", "4"},
                             {"name", "m"},
                             {"language", "de-DE"},
                             {"quality", "enhanced"},
                             {"gender", "female"},
                             {"is_personal", false},
                             {"is_novelty", true}}));
}

TEST(TextOrder, ComparesComposedCodePoints) {
  EXPECT_TRUE(textBefore("Zed", "amy"));
  EXPECT_FALSE(textBefore("e\u0301", "\u00e9"));
  EXPECT_FALSE(textBefore("\u00e9", "e\u0301"));
}

} // namespace
} // namespace quelt::testing
