#include "speech/FileRenderer.h"
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

const AudioFormat voiceFormat{22050, 1, SampleFormat::float32, false};

class FileRendering : public ::testing::Test {
protected:
  void SetUp() override {
    directory = fs::temp_directory_path() / ("quelt-render-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    harness.fakes().synthesizer->installed = {{"amy", "Amy", "en-US", 1, 2, 0}};
    harness.start();
  }
  void TearDown() override { fs::remove_all(directory); }

  std::string path(const std::string& name) { return (directory / name).string(); }
  std::string render(int id, const std::string& file) {
    return R"({"id":)" + std::to_string(id) +
           R"(,"op":"speech.synthesize_file","params":{"text":"hello","path":")" + path(file) +
           "\"}}";
  }
  // The synthesizer of the latest render (index 0 belongs to the spoken queue).
  std::shared_ptr<fakes::FakeSpeechSynthesizer> renderer(size_t index) {
    // A request behind the render's line: once it is answered, the render has begun.
    harness.request(R"({"id":999,"op":"hello"})");
    return harness.fakes().synthesizer->synthesizer(index);
  }
  static PcmBuffer block(uint32_t frames) {
    PcmBuffer buffer(voiceFormat, frames);
    buffer.setFrameLength(frames);
    return buffer;
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path directory;
  ServerHarness harness;
};

TEST_F(FileRendering, AWavRenderStores16BitSamplesAndDescribesTheFile) {
  harness.send(render(1, "out.wav"));
  auto synth = renderer(1);
  EXPECT_EQ(synth->rendered->text, "hello");
  PcmBuffer first = block(2205), second = block(1000), end = block(0);
  synth->deliver(&first);
  synth->deliver(&second);
  synth->deliver(&end);
  EXPECT_EQ(harness.next(), (Json{{"id", 1},
                                  {"ok", true},
                                  {"result",
                                   {{"path", path("out.wav")},
                                    {"bytes", 3205 * 2},
                                    {"frames", 3205},
                                    {"sample_rate", 22050.0},
                                    {"channels", 1},
                                    {"duration_seconds", 3205 / 22050.0},
                                    {"voice", "amy"}}}}));
  // Written aside, then renamed over the path: nothing else is left in the directory.
  EXPECT_EQ(entries(), std::vector<std::string>{"out.wav"});
  auto& all = harness.fakes().audio->written;
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all.begin()->second.encoding, (AudioFormat{22050, 1, SampleFormat::int16, true}));
  EXPECT_EQ(all.begin()->second.processing, voiceFormat);
  synth->deliver(&first); // after the reply: ignored
  EXPECT_EQ(all.begin()->second.frames, 3205);
}

TEST_F(FileRendering, RendersThatEndBadlySayWhy) {
  harness.send(render(1, "silent.wav"));
  PcmBuffer end = block(0);
  renderer(1)->deliver(&end);
  EXPECT_EQ(harness.next()->at("error"),
            (Json{{"code", "invalid_request"},
                  {"message", "synthesizer produced no audio for this text"}}));
  EXPECT_FALSE(fs::exists(path("silent.wav")));

  harness.send(render(2, "odd.wav"));
  renderer(2)->deliver(nullptr);
  EXPECT_EQ(harness.next()->at("error"), (Json{{"code", "native"},
                                               {"message", "synthesizer produced a non-PCM buffer"},
                                               {"domain", "AVFAudio"}}));

  // A synthesizer that dies part way: its account, and nothing at the path.
  harness.send(render(3, "crashed.wav"));
  PcmBuffer audio = block(100);
  renderer(3)->deliver(&audio);
  renderer(3)->fail(PlatformError("espeak-ng", 11, "the synthesizer ended: killed by signal 11"));
  EXPECT_EQ(harness.next()->at("error"),
            (Json{{"code", "native"},
                  {"message", "the synthesizer ended: killed by signal 11"},
                  {"domain", "espeak-ng"},
                  {"native_code", 11}}));
  EXPECT_FALSE(fs::exists(path("crashed.wav")));
}

TEST_F(FileRendering, RequestsAreCheckedBeforeAnythingIsTouched) {
  std::ofstream(path("keep.wav")) << "old";
  auto error = [&](const std::string& params) {
    return harness.request(R"({"id":1,"op":"speech.synthesize_file","params":)" + params +
                           "}")["error"]["message"];
  };
  EXPECT_EQ(error(R"({"path":"rel.wav","format":"MP3"})"), "path must be absolute");
  EXPECT_EQ(error(R"({"path":")" + path("keep.wav") + R"(","format":"WAV"})"),
            "format must be wav or caf");
  EXPECT_EQ(error(R"({"path":")" + path("keep.wav") + R"(","text":"hi","rate":2})"),
            "rate must be within 0.0...1.0");
  // Up to its NUL, the path names the file to keep.
  EXPECT_EQ(error(R"({"path":")" + path("keep.wav") + R"(\u0000.caf","text":"hi"})"),
            "create keep.wav" + std::string(1, '\0') + ".caf: the path contains a NUL character");
  EXPECT_TRUE(fs::exists(path("keep.wav")));
  // Only a regular file is ever replaced.
  fs::create_directory(path("folder.wav"));
  EXPECT_EQ(error(R"({"path":")" + path("folder.wav") + R"(","text":"hi"})"),
            "create folder.wav: the path is a directory");
  EXPECT_EQ(error(R"({"path":")" + path("folder.wav") + R"(//","text":"hi"})"),
            "create folder.wav: the path is a directory");
  ASSERT_EQ(::mkfifo(path("pipe.wav").c_str(), 0600), 0);
  EXPECT_EQ(error(R"({"path":")" + path("pipe.wav") + R"(","text":"hi"})"),
            "create pipe.wav: the path is not a regular file");
}

TEST_F(FileRendering, AnOldFileIsReplacedOnlyByACompleteRender) {
  std::ofstream(path("keep.wav")) << "old";
  harness.send(render(1, "keep.wav"));
  auto first = renderer(1);
  PcmBuffer audio = block(100), end = block(0);
  first->deliver(&audio);
  first->deliver(nullptr); // fails after writing
  EXPECT_EQ(harness.next()->at("error")["domain"], "AVFAudio");
  EXPECT_EQ(entries(), std::vector<std::string>{"keep.wav"});
  std::ifstream kept(path("keep.wav"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "old");

  // Left unfinished when the helper goes: nothing of it stays.
  harness.send(render(2, "keep.wav"));
  auto second = renderer(2);
  second->deliver(&audio);
  harness.onMain([&] {
    auto renders = FileRenderer::active();
    for (auto& render : renders)
      render->abandon();
  });
  EXPECT_EQ(entries(), std::vector<std::string>{"keep.wav"});

  harness.send(render(3, "keep.wav"));
  auto third = renderer(3);
  third->deliver(&audio);
  third->deliver(&end);
  EXPECT_EQ(harness.next()->at("result")["frames"], 100);
  EXPECT_EQ(entries(), std::vector<std::string>{"keep.wav"});
  EXPECT_EQ(fs::file_size(path("keep.wav")), 200u);
}

} // namespace
} // namespace quelt::testing
