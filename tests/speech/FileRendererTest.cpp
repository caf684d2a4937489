#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
  auto written = harness.fakes().audio->written.at(path("out.wav"));
  EXPECT_EQ(written.encoding, (AudioFormat{22050, 1, SampleFormat::int16, true}));
  EXPECT_EQ(written.processing, voiceFormat);
  synth->deliver(&first); // after the reply: ignored
  EXPECT_EQ(harness.fakes().audio->written.at(path("out.wav")).frames, 3205);
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
  EXPECT_EQ(harness.next()->at("error"),
            (Json{{"code", "native"},
                  {"message", "synthesizer produced a non-PCM buffer"},
                  {"domain", "AVFAudio"}}));
}

TEST_F(FileRendering, RequestsAreCheckedBeforeAnythingIsTouched) {
  std::ofstream(path("keep.wav")) << "old";
  auto error = [&](const std::string& params) {
    return harness.request(R"({"id":1,"op":"speech.synthesize_file","params":)" + params + "}")
        ["error"]["message"];
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
  // A valid request replaces the old file.
  harness.send(render(2, "keep.wav"));
  renderer(1);
  EXPECT_FALSE(fs::exists(path("keep.wav")));
}

} // namespace
} // namespace quelt::testing
