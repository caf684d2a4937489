// Dictation through the built helper on the real services: libsndfile, libsoxr, pocketsphinx
// and a private PulseAudio server, with recordings of a natural voice.

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"
#include "linux/WordAccuracy.h"
#include "sndfile/SndfileAudioServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

const std::string fixtures = QUELT_FIXTURES_DIR;

std::string transcript(const std::string& name) {
  std::ifstream in(fixtures + "/" + name);
  std::string all, line;
  while (std::getline(in, line))
    all += line + " ";
  return all;
}

std::string fileCapture(int id, const std::string& file, bool realtime) {
  return R"({"id":)" + std::to_string(id) + R"(,"op":"capture.start","params":{"capture":)" +
         std::to_string(id) + R"(,"level_interval_ms":5000,"source":{"kind":"file","path":")" +
         fixtures + "/" + file + R"(","realtime":)" + (realtime ? "true" : "false") + "}}}";
}

// Reads events until capture.stopped (or a failure), keeping the final texts by segment.
std::map<int64_t, std::string> finalsUntilStopped(HelperProcess& helper, int64_t capture) {
  std::map<int64_t, std::string> finals;
  while (auto line = helper.next(std::chrono::seconds(60))) {
    if (line->value("capture", int64_t{-1}) != capture)
      continue;
    std::string event = line->value("event", "");
    if (event == "capture.final")
      finals[(*line)["segment"]] = (*line)["text"];
    if (event == "capture.stopped")
      return finals;
    EXPECT_NE(event, "capture.failed") << *line;
    if (event == "capture.failed")
      return finals;
  }
  ADD_FAILURE() << "capture " << capture << " never stopped";
  return finals;
}

TEST(Dictation, AFileIsRecognisedIntoOneFinalText) {
  HelperProcess helper;
  helper.send(fileCapture(1, "sentence-48k-stereo.wav", false));
  auto finals = finalsUntilStopped(helper, 1);
  ASSERT_EQ(finals.size(), 1u);
  EXPECT_GE(wordAccuracy(finals[0], transcript("sentence.txt")), 0.6) << finals[0];
}

// The recording `times` times, a second of digital silence between (a muted input, say).
std::string repeated(const std::string& name, int times) {
  SndfileAudioServices audio;
  auto reader = audio.openForReading(fixtures + "/" + name);
  AudioFormat format = reader->processingFormat();
  std::string path =
      fs::temp_directory_path() / ("quelt-repeated-" + std::to_string(::getpid()) + ".wav");
  auto writer = audio.openForWriting(path, format, format);
  PcmBuffer recording(format, static_cast<uint32_t>(reader->length()));
  reader->read(recording, recording.frameCapacity());
  PcmBuffer silence(format, static_cast<uint32_t>(format.sampleRate));
  silence.setFrameLength(silence.frameCapacity());
  silence.silence();
  for (int i = 0; i < times; ++i) {
    if (i > 0)
      writer->write(silence);
    writer->write(recording);
  }
  writer->close();
  return path;
}

TEST(Dictation, SpeechOnBothSidesOfSilenceEndsUpInOneFinalText) {
  std::string path = repeated("sentence-16k-mono.wav", 2);
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"capture.start","params":{"capture":1,"source":{"kind":"file",)"
              R"("path":")" +
              path + R"("}}})");
  std::vector<std::string> partials;
  std::string final;
  while (auto line = helper.next(std::chrono::seconds(60))) {
    std::string event = line->value("event", "");
    if (event == "capture.partial")
      partials.push_back((*line)["text"]);
    if (event == "capture.final")
      final = (*line)["text"];
    if (event == "capture.stopped" || event == "capture.failed")
      break;
  }
  fs::remove(path);
  std::string sentence = transcript("sentence.txt");
  EXPECT_GE(wordAccuracy(final, sentence + sentence), 0.6) << final;
  // Partials after the silence carry on from what was heard before it.
  size_t most = 0;
  for (const auto& text : partials)
    most = std::max(most, words(text).size());
  EXPECT_GE(most, words(sentence).size() + 4) << ::testing::PrintToString(partials);
}

// Read as fast as the recognizer takes it, a long recording keeps every word, and commits
// along the way only cut it into segments.
TEST(Dictation, ALongFileAtFileSpeedKeepsEveryWordAcrossCommits) {
  constexpr int times = 6;
  std::string path = repeated("sentences-16k-mono.wav", times);
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"capture.start","params":{"capture":1,"level_interval_ms":5000,)"
              R"("source":{"kind":"file","path":")" +
              path + R"("}}})");
  std::map<int64_t, Json> finals;
  int levels = 0;
  while (auto line = helper.next(std::chrono::seconds(60))) {
    std::string event = line->value("event", "");
    // Commits at about 20 s and 50 s into the audio.
    if (event == "capture.level" && (++levels == 4 || levels == 10))
      helper.send(R"({"id":)" + std::to_string(100 + levels) +
                  R"(,"op":"capture.commit","params":{"capture":1}})");
    if (event == "capture.final")
      finals[(*line)["segment"]] = *line;
    if (event == "capture.stopped" || event == "capture.failed")
      break;
  }
  fs::remove(path);
  ASSERT_EQ(finals.size(), 3u);
  std::string joined, expected;
  for (auto& [segment, final] : finals) {
    joined += final["text"].get<std::string>() + " ";
    EXPECT_TRUE(final.contains("confidence")) << final;
  }
  for (int i = 0; i < times; ++i)
    expected += transcript("sentences.txt");
  EXPECT_GE(wordAccuracy(joined, expected), 0.7) << joined;
}

// Far more captures at once than the machine has cores, or the recognizer has decoders: each
// finishes late, none is cut short to an empty final.
TEST(Dictation, ConcurrentCapturesFinishLateRatherThanEmpty) {
  constexpr int count = 20;
  HelperProcess helper;
  for (int id = 1; id <= count; ++id)
    helper.send(fileCapture(id, "sentence-16k-mono.wav", true));
  std::map<int64_t, std::string> finals;
  int ended = 0;
  while (ended < count) {
    auto line = helper.next(std::chrono::seconds(120));
    if (!line)
      break;
    std::string event = line->value("event", "");
    if (event == "capture.final")
      finals[(*line)["capture"]] = (*line)["text"];
    ended += event == "capture.stopped" || event == "capture.failed";
  }
  ASSERT_EQ(finals.size(), static_cast<size_t>(count));
  for (const auto& [capture, text] : finals)
    EXPECT_GE(wordAccuracy(text, transcript("sentence.txt")), 0.5) << capture << ": " << text;
}

using MicrophoneDictation = PulseServerFixture;

// The private server's pipe source stands in for a microphone; the test speaks into it.
TEST_F(MicrophoneDictation, TheDefaultMicrophoneIsRecognisedAndAVanishingOneFails) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"capture.start","params":{"capture":1,"level_interval_ms":5000}})");
  auto listening = helper.next();
  ASSERT_TRUE(listening);
  ASSERT_EQ((*listening)["event"], "capture.listening") << *listening;
  EXPECT_EQ((*listening)["device"]["uid"], micSourceName);

  SndfileAudioServices files;
  auto reader = files.openForReading(fixtures + "/sentence-16k-mono.wav");
  PcmBuffer buffer(reader->processingFormat(), 1600);
  std::vector<int16_t> samples;
  for (reader->read(buffer, 1600); buffer.frameLength() > 0; reader->read(buffer, 1600))
    for (float x : buffer.floatPlane(0).first(buffer.frameLength()))
      samples.push_back(static_cast<int16_t>(std::clamp(x, -1.0f, 1.0f) * 32767));
  samples.insert(samples.end(), 16000, 0); // a second of silence after the speech
  {
    std::ofstream fifo(fifoPath(), std::ios::binary);
    // In tenths of a second, at about the pace a microphone would deliver them.
    for (size_t at = 0; at < samples.size(); at += 1600) {
      size_t count = std::min<size_t>(1600, samples.size() - at);
      fifo.write(reinterpret_cast<const char*>(samples.data() + at), count * 2);
      fifo.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(90));
    }
    helper.send(R"({"id":2,"op":"capture.stop","params":{"capture":1}})");
    auto finals = finalsUntilStopped(helper, 1);
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_GE(wordAccuracy(finals[0], transcript("sentence.txt")), 0.6) << finals[0];
  }

  helper.send(R"({"id":3,"op":"capture.start","params":{"capture":2,"level_interval_ms":5000}})");
  bool listeningAgain = false;
  while (auto line = helper.next()) {
    if (line->value("event", "") == "capture.listening") {
      listeningAgain = true;
      break;
    }
  }
  ASSERT_TRUE(listeningAgain);
  ASSERT_TRUE(unloadMicSource());
  bool failed = false;
  while (auto line = helper.next()) {
    if (line->value("event", "") == "capture.failed") {
      EXPECT_EQ((*line)["error"]["message"], "audio input configuration changed; capture stopped");
      failed = true;
      break;
    }
  }
  EXPECT_TRUE(failed);
  helper.send(R"({"id":4,"op":"capture.stop","params":{"capture":2}})");
  while (auto line = helper.next())
    if (line->value("id", 0) == 4) {
      EXPECT_EQ((*line)["error"]["code"], "session_not_active");
      break;
    }
}

} // namespace
} // namespace quelt::testing
