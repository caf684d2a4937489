#include "platform/linux/PocketsphinxRecognizerService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;

TEST(PocketsphinxRecognizerService, OffersTheInstalledEnglishModelAndLoadsIt) {
  PocketsphinxRecognizerService service(nullptr);
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

  PocketsphinxRecognizerService service(nullptr, root.string());
  EXPECT_EQ(service.supportedLocales(), std::vector<std::string>{"de-DE"});
  auto recognizer = service.makeRecognizer("de-DE");
  ASSERT_TRUE(recognizer);
  EXPECT_FALSE(recognizer->isAvailable());
  fs::remove_all(root);
}

TEST(PocketsphinxRecognizerService, ACheckedModelIsRememberedUntilOneOfItsFilesChanges) {
  fs::path root = fs::temp_directory_path() / ("quelt-checked-" + std::to_string(::getpid()));
  fs::create_directories(root / "model" / "acoustic");
  std::ofstream(root / "model" / "acoustic" / "mdef") << "phones";
  std::ofstream(root / "model" / "acoustic" / "means") << "numbers";
  std::ofstream(root / "model" / "lm.bin") << "grams";
  std::ofstream(root / "model" / "words.dict") << "hello h e l o\n";
  PocketsphinxModelFiles files{"en-US", (root / "model" / "acoustic").string(),
                               (root / "model" / "lm.bin").string(),
                               (root / "model" / "words.dict").string()};
  std::string memory = (root / "memory").string();

  EXPECT_FALSE(modelCheckedBefore(memory, files));
  rememberModelChecked(memory, files);
  EXPECT_TRUE(modelCheckedBefore(memory, files));
  EXPECT_FALSE(modelCheckedBefore((root / "elsewhere").string(), files));

  // Same size, same contents even: rewriting a file inside the acoustic model is a change.
  // (Past the file system's clock tick, which a real change always is.)
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ofstream(root / "model" / "acoustic" / "means") << "numbers";
  EXPECT_FALSE(modelCheckedBefore(memory, files));
  rememberModelChecked(memory, files);
  EXPECT_TRUE(modelCheckedBefore(memory, files));
  fs::remove(root / "model" / "words.dict");
  EXPECT_FALSE(modelCheckedBefore(memory, files));
  fs::remove_all(root);
}

} // namespace
} // namespace quelt
