#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

Json support(const std::string& id, const std::string& onDevice, bool recognizerOnDevice,
             bool available, bool supported, std::optional<std::string> analyzer = {}) {
  Json out = {{"identifier", id},
              {"on_device", onDevice},
              {"recognizer_on_device", recognizerOnDevice},
              {"recognizer_available", available},
              {"recognizer_supported", supported}};
  if (analyzer)
    out["analyzer"] = *analyzer;
  return out;
}

class LocaleOps : public ::testing::Test {
protected:
  void SetUp() override {
    auto& recognizer = *harness.fakes().recognizer;
    recognizer.supported = {"en-US", "fr-FR", "de-DE", "en-US"};
    recognizer.recognizers = {{"en-US", {true, true}}, {"fr-FR", {false, true}}};
    harness.process().locale = "fr-CA";
    harness.process().languages = {"en-GB"};
  }

  void onMacOS26(std::vector<std::string> supported, std::vector<std::string> installed) {
    harness.process().os = {"macOS", 26, 0, 0};
    harness.fakes().transcriber->supported = std::move(supported);
    harness.fakes().transcriber->installed = std::move(installed);
  }

  Json result(const std::string& line) { return harness.request(line)["result"]; }
  Json error(const std::string& line) { return harness.request(line)["error"]; }

  ServerHarness harness;
};

TEST_F(LocaleOps, WithoutTheAnalyzerOnlyTheClassicRecognizerCounts) {
  harness.fakes().transcriber->supported = {"ja-JP"}; // ignored below macOS 26
  harness.start();
  EXPECT_EQ(result(R"({"id":1,"op":"locales.list"})"),
            (Json{{"locales",
                   {support("de-DE", "unsupported", false, false, false),
                    support("en-US", "installed", true, true, true),
                    support("fr-FR", "unsupported", false, true, true)}}}));
}

TEST_F(LocaleOps, TheAnalyzerAddsItsLocalesOnceAndReportsTheirAssets) {
  onMacOS26({"ja-JP", "EN-us", "fr-FR", "JA-jp"}, {"ja-JP", "fr-FR"});
  harness.start();
  EXPECT_EQ(result(R"({"id":1,"op":"locales.list"})"),
            (Json{{"locales",
                   {support("de-DE", "unsupported", false, false, false),
                    support("en-US", "installed", true, true, true, "downloadable"),
                    support("fr-FR", "installed", false, true, true, "installed"),
                    support("ja-JP", "installed", false, false, false, "installed")}}}));
}

TEST_F(LocaleOps, GetResolvesTheRequestOrTheUsersLocale) {
  harness.start();
  EXPECT_EQ(result(R"({"id":1,"op":"locales.get","params":{"locale":"FR-fr"}})"),
            support("fr-FR", "unsupported", false, true, true));
  // fr-CA has no exact match; its family does.
  EXPECT_EQ(result(R"({"id":2,"op":"locales.get"})")["identifier"], "fr-FR");
}

TEST_F(LocaleOps, AnUnresolvableLocaleNamesTheRequestOrTheUsersBaseLocale) {
  harness.start();
  EXPECT_EQ(error(R"({"id":1,"op":"locales.get","params":{"locale":"xx-YY"}})"),
            (Json{{"code", "locale_unsupported"}, {"message", "xx-YY"}, {"locale", "xx-YY"}}));
  harness.onMain([&] {
    harness.process().locale = "pt-BR-u-ca-gregory";
    harness.process().languages = {"es-ES"};
  });
  EXPECT_EQ(error(R"({"id":2,"op":"locales.get","params":{"locale":""}})"),
            (Json{{"code", "locale_unsupported"}, {"message", "pt-BR"}, {"locale", "pt-BR"}}));
  EXPECT_EQ(error(R"({"id":3,"op":"locales.install","params":{"locale":"xx"}})")["code"],
            "locale_unsupported");
  EXPECT_EQ(harness.fakes().transcriber->downloads, 0);
}

TEST_F(LocaleOps, InstallWithoutTheAnalyzerFailsNamingTheResolvedLocale) {
  harness.start();
  EXPECT_EQ(error(R"({"id":1,"op":"locales.install","params":{"locale":"en-us"}})"),
            (Json{{"code", "asset_install_failed"},
                  {"message", "SpeechAnalyzer needs macOS 26; SFSpeechRecognizer on-device models "
                              "are installed from System Settings > Keyboard > Dictation"},
                  {"locale", "en-US"}}));
}

TEST_F(LocaleOps, InstallDownloadsMissingAssetsAndAnswersWithTheFreshState) {
  onMacOS26({"ja-JP"}, {});
  harness.start();
  EXPECT_EQ(result(R"({"id":1,"op":"locales.install","params":{"locale":"ja-JP"}})"),
            support("ja-JP", "installed", false, false, false, "installed"));
  EXPECT_EQ(harness.fakes().transcriber->downloads, 1);
  // Already present: no second download, the same answer as "locales.get".
  auto again = result(R"({"id":2,"op":"locales.install","params":{"locale":"ja-JP"}})");
  EXPECT_EQ(again, result(R"({"id":3,"op":"locales.get","params":{"locale":"ja-JP"}})"));
  EXPECT_EQ(harness.fakes().transcriber->downloads, 1);
}

TEST_F(LocaleOps, APlatformInstallFailureCarriesItsErrorAndTheLocaleAsSent) {
  onMacOS26({"ja-JP"}, {});
  harness.fakes().transcriber->downloadError = PlatformError("Speech", 7, "download interrupted");
  harness.start();
  EXPECT_EQ(error(R"({"id":1,"op":"locales.install","params":{"locale":"JA-jp"}})"),
            (Json{{"code", "asset_install_failed"},
                  {"message", "download interrupted"},
                  {"domain", "Speech"},
                  {"native_code", 7},
                  {"locale", "JA-jp"}}));
  harness.onMain([&] {
    harness.fakes().transcriber->inventoryError = PlatformError("Speech", 9, "no inventory");
  });
  EXPECT_EQ(error(R"({"id":2,"op":"locales.install","params":{"locale":"ja-JP"}})")["native_code"],
            9);
  // With no locale sent, the error carries none.
  harness.onMain([&] { harness.process().locale = "ja-JP"; });
  EXPECT_FALSE(error(R"({"id":3,"op":"locales.install"})").contains("locale"));
}

} // namespace
} // namespace quelt::testing
