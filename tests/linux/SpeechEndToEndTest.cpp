// Speech through the built helper on espeak-ng and libsndfile.

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"
#include "linux/SynthesisWorkers.h"
#include "sndfile/SndfileAudioServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

class SpeechEndToEnd : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(directory); }
  void TearDown() override { fs::remove_all(directory); }

  Json render(int id, const std::string& file, const std::string& format) {
    helper.send(
        R"({"id":)" + std::to_string(id) +
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
  // The synthesizer's samples as they are: 16-bit little-endian (the CAF description's format
  // flags, big-endian at byte 32, say little-endian with bit 2).
  std::ifstream stored(directory / "out.caf", std::ios::binary);
  std::string header(40, '\0');
  stored.read(header.data(), 40);
  EXPECT_EQ(header.substr(8, 4), "desc");
  EXPECT_EQ(header.substr(28, 4), "lpcm");
  EXPECT_EQ(header[35] & 2, 2);
}

TEST_F(SpeechEndToEnd, ARenderThatCannotCreateItsFileSaysWhere) {
  auto reply = render(1, "missing/out.wav", "wav");
  EXPECT_EQ(reply["error"]["code"], "io");
  EXPECT_EQ(reply["error"]["domain"], (directory / "missing/out.wav").string());
  EXPECT_EQ(reply["error"]["message"].get<std::string>().rfind("create out.wav: ", 0), 0u);
}

// Renders run side by side in workers of their own: a short one does not wait for a long one,
// and a worker that crashes fails its own render only. None outlives the helper.
TEST_F(SpeechEndToEnd, RendersRunSideBySideAndACrashedWorkerFailsOnlyItsRender) {
  std::string text;
  for (int i = 0; i < 450; ++i)
    text += "This sentence is one of very many, so that synthesis takes a while. ";
  helper.send(Json{{"id", 1},
                   {"op", "speech.synthesize_file"},
                   {"params", {{"text", text}, {"path", (directory / "long.wav").string()}}}}
                  .dump());
  auto workers = awaitSynthesisWorkers(helper.pid());
  ASSERT_FALSE(workers.empty());
  auto shortOne = render(2, "short.wav", "wav");
  EXPECT_EQ(shortOne["ok"], true) << shortOne;
  // Its worker and the idle one alike.
  workers = synthesisWorkersOf(helper.pid());
  for (pid_t worker : workers)
    ::kill(worker, SIGKILL);
  std::optional<Json> longOne;
  while (auto line = helper.next(std::chrono::seconds(30)))
    if (line->value("id", -1) == 1 && (longOne = line))
      break;
  ASSERT_TRUE(longOne);
  EXPECT_EQ((*longOne)["error"]["code"], "native") << *longOne;
  EXPECT_EQ((*longOne)["error"]["message"], "the synthesizer ended: killed by signal 9 (SIGKILL)");
  EXPECT_FALSE(fs::exists(directory / "long.wav"));
  ASSERT_TRUE(awaitEnd(workers, helper.pid()));
  EXPECT_EQ(render(3, "again.wav", "wav")["ok"], true);

  workers = synthesisWorkersOf(helper.pid());
  ASSERT_FALSE(workers.empty());
  helper.send(R"({"id":4,"op":"shutdown"})");
  EXPECT_EQ(helper.waitStatus(), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  auto running = [&] {
    return std::count_if(workers.begin(), workers.end(), [](pid_t worker) {
      std::ifstream stat("/proc/" + std::to_string(worker) + "/stat");
      std::string text;
      return std::getline(stat, text) && text.find(") Z ") == std::string::npos;
    });
  };
  while (running() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(running(), 0);
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
