// Speech through the built helper on espeak-ng and libsndfile.

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"
#include "platform/linux/SndfileAudioServices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

class SpeechEndToEnd : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(directory); }
  void TearDown() override { fs::remove_all(directory); }

  Json render(int id, const std::string& file, const std::string& format) {
    helper.send(R"({"id":)" + std::to_string(id) +
                R"(,"op":"speech.synthesize_file","params":{"text":"Rendering to a file works.","format":")" +
                format + R"(","path":")" + (directory / file).string() + R"("}})");
    while (auto line = helper.next(std::chrono::seconds(30)))
      if (line->value("id", -1) == id)
        return *line;
    return Json();
  }

  fs::path directory = fs::temp_directory_path() / ("quelt-speech-" + std::to_string(::getpid()));
  HelperProcess helper;
};

TEST_F(SpeechEndToEnd, RendersAreRealFilesInTheChosenEncoding) {
  auto wav = render(1, "out.wav", "wav");
  auto caf = render(2, "out.caf", "caf");
  ASSERT_EQ(wav["ok"], true) << wav;
  ASSERT_EQ(caf["ok"], true) << caf;
  const Json& result = wav["result"];
  EXPECT_EQ(result["bytes"], fs::file_size(directory / "out.wav"));
  EXPECT_DOUBLE_EQ(result["duration_seconds"].get<double>(),
                   result["frames"].get<double>() / result["sample_rate"].get<double>());
  EXPECT_GT(result["duration_seconds"].get<double>(), 0.5);

  SndfileAudioServices files;
  auto reader = files.openForReading((directory / "out.wav").string());
  EXPECT_EQ(reader->length(), result["frames"].get<int64_t>());
  EXPECT_EQ(reader->processingFormat().sampleRate, result["sample_rate"].get<double>());
  EXPECT_EQ(reader->processingFormat().channels, result["channels"].get<uint32_t>());
  // The same text, stored as the synthesizer's own samples, holds about the same audio.
  EXPECT_NEAR(caf["result"]["frames"].get<double>(), result["frames"].get<double>(),
              result["frames"].get<double>() * 0.01);
  EXPECT_GT(caf["result"]["bytes"].get<int64_t>(), 0);
}

TEST_F(SpeechEndToEnd, ARenderThatCannotCreateItsFileSaysWhere) {
  auto reply = render(1, "missing/out.wav", "wav");
  EXPECT_EQ(reply["error"]["code"], "io");
  EXPECT_EQ(reply["error"]["domain"], (directory / "missing/out.wav").string());
  EXPECT_EQ(reply["error"]["message"].get<std::string>().rfind("create out.wav: ", 0), 0u);
}

TEST_F(SpeechEndToEnd, TheSpokenQueueRunsWithoutASoundServer) {
  helper.send(R"({"id":1,"op":"speech.speak","params":{"utterance":3,"text":"One two."}})");
  std::vector<std::string> events;
  while (auto line = helper.next(std::chrono::seconds(30))) {
    if (!line->contains("event"))
      continue;
    events.push_back((*line)["event"]);
    if (events.back() == "speech.finished")
      break;
  }
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), "speech.started");
  EXPECT_EQ(events[1], "speech.range");
}

} // namespace
} // namespace quelt::testing
