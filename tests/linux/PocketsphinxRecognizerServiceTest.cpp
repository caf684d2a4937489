#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;

// The helper binary tries each model first, as it does for its own service.
const std::string installedModels = "/usr/share/pocketsphinx/model";

TEST(PocketsphinxRecognizerService, OffersTheInstalledEnglishModelAndLoadsIt) {
  PocketsphinxRecognizerService service(nullptr, installedModels, QUELT_HELPER_PATH);
  EXPECT_EQ(service.supportedLocales(), std::vector<std::string>{"en-US"});
  auto recognizer = service.makeRecognizer("en-us");
  ASSERT_TRUE(recognizer);
  EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
  EXPECT_TRUE(recognizer->isAvailable());
  EXPECT_EQ(service.makeRecognizer("fr-FR"), nullptr);
}

TEST(PocketsphinxRecognizerService, AModelWhoseFilesDoNotLoadIsSupportedButUnavailable) {
  fs::path root = fs::temp_directory_path() / ("quelt-models-" + std::to_string(::getpid()));
  fs::create_directories(root / "de-de" / "de-de");
  std::ofstream(root / "de-de" / "de-de" / "mdef") << "not a model";
  std::ofstream(root / "de-de" / "de-de.lm.bin") << "not a model";
  std::ofstream(root / "de-de" / "de.dict") << "hallo h a l o\n";
  fs::create_directories(root / "incomplete" / "incomplete");

  PocketsphinxRecognizerService service(nullptr, root.string(), QUELT_HELPER_PATH);
  EXPECT_EQ(service.supportedLocales(), std::vector<std::string>{"de-DE"});
  auto recognizer = service.makeRecognizer("de-DE");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->isAvailable());
  fs::remove_all(root);
}

} // namespace
} // namespace quelt
