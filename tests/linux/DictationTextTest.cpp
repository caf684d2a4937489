// Dictation text as a person would write it, through the built helper: sentences from the
// recognizer's words, and contextual strings that make a name outside the dictionary heard.

#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

const std::string fixtures = QUELT_FIXTURES_DIR;

// The final texts of every capture, by capture, once all of them have stopped.
std::map<int64_t, std::string> finalsOf(HelperProcess& helper, size_t captures) {
  std::map<int64_t, std::string> finals;
  size_t stopped = 0;
  while (stopped < captures) {
    auto line = helper.next(std::chrono::seconds(60));
    if (!line) {
      ADD_FAILURE() << "the captures never stopped";
      break;
    }
    std::string event = line->value("event", "");
    if (event == "capture.final")
      finals[(*line)["capture"]] += (*line)["text"].get<std::string>();
    stopped += event == "capture.stopped";
    EXPECT_NE(event, "capture.failed") << *line;
  }
  return finals;
}

void startCapture(HelperProcess& helper, int id, const std::string& path, const Json& extra) {
  Json params = {{"capture", id}, {"source", {{"kind", "file"}, {"path", path}}}};
  params.update(extra);
  helper.send(Json{{"id", id}, {"op", "capture.start"}, {"params", params}}.dump());
}

TEST(DictationText, UtterancesBecomeSentencesUnlessPunctuationIsOff) {
  HelperProcess helper;
  startCapture(helper, 1, fixtures + "/sentences-16k-mono.wav", Json::object());
  auto sentences = finalsOf(helper, 1)[1];
  EXPECT_NE(sentences.find("Open the door and turn on the light. The weather is nice today."),
            std::string::npos)
      << sentences;
  EXPECT_NE(sentences.find(" Can you tell me the time please?"), std::string::npos) << sentences;

  startCapture(helper, 2, fixtures + "/sentences-16k-mono.wav", {{"punctuation", false}});
  auto raw = finalsOf(helper, 1)[2];
  EXPECT_EQ(raw.find_first_of(".?ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << raw;
  EXPECT_NE(raw.find("open the door and turn on the light the weather"), std::string::npos) << raw;
}

// A name pocketsphinx's dictionary lacks, said by a flite voice: heard only by the capture
// that lists it, neither by one running beside it nor by one that comes after on the same pool
// of decoders.
TEST(DictationText, AMadeUpNameIsHeardOnlyByTheCaptureThatListsIt) {
  fs::path directory = fs::temp_directory_path() / ("quelt-names-" + std::to_string(::getpid()));
  fs::create_directories(directory);
  const std::string recording = (directory / "name.wav").string();
  HelperProcess helper;
  helper.send(Json{{"id", 9},
                   {"op", "speech.synthesize_file"},
                   {"params",
                    {{"text", "The meeting with Brannoch starts at three."},
                     {"voice", "flite:kal16"},
                     {"path", recording}}}}
                  .dump());
  auto rendered = helper.next(std::chrono::seconds(60));
  ASSERT_TRUE(rendered && (*rendered)["ok"] == true) << (rendered ? rendered->dump() : "");

  startCapture(helper, 1, recording, {{"contextual_strings", {"Brannoch", "the budget"}}});
  startCapture(helper, 2, recording, Json::object());
  auto finals = finalsOf(helper, 2);
  startCapture(helper, 3, recording, Json::object());
  finals.merge(finalsOf(helper, 1));

  EXPECT_NE(finals[1].find("with Brannoch starts"), std::string::npos) << finals[1];
  for (int64_t without : {2, 3}) {
    EXPECT_EQ(finals[without].find("rannoch"), std::string::npos) << finals[without];
    EXPECT_NE(finals[without].find("starts at three"), std::string::npos) << finals[without];
  }
  fs::remove_all(directory);
}

} // namespace
} // namespace quelt::testing
