// flite's voices through the built helper: chosen for English, spoken with their words where
// the text has them, paused and continued, and rendered clearly enough to be read back.

#include "HelperProcess.h"
#include "linux/WordAccuracy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The text's words as the parent sees them: UTF-16 units of the text as sent.
std::string utf16Slice(const std::string& text, int64_t location, int64_t length) {
  std::u16string units;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t size = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
    char32_t c = size == 1 ? byte : byte & (0x7f >> size);
    for (size_t k = 1; k < size; ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff));
    } else {
      units += static_cast<char16_t>(c);
    }
    i += size;
  }
  std::string out;
  for (char16_t unit : units.substr(static_cast<size_t>(location), static_cast<size_t>(length)))
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  return out;
}

class FliteSpeech : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(directory); }
  void TearDown() override { fs::remove_all(directory); }

  void send(int id, const std::string& op, Json params) {
    helper.send(Json{{"id", id}, {"op", op}, {"params", std::move(params)}}.dump());
  }
  Json request(int id, const std::string& op, Json params) {
    send(id, op, std::move(params));
    while (auto line = helper.next(60s))
      if (line->value("id", -1) == id)
        return *line;
    return Json();
  }

  // Events of `utterance` up to its end, each with when it came.
  std::vector<std::pair<Json, Clock::time_point>>
  eventsUntilEnd(int64_t utterance, const std::function<void(const Json&)>& onEvent = {}) {
    std::vector<std::pair<Json, Clock::time_point>> events;
    while (auto line = helper.next(60s)) {
      if (line->contains("id"))
        replies[(*line)["id"]] = *line;
      if (line->value("utterance", int64_t{-1}) != utterance || !line->contains("event"))
        continue;
      events.emplace_back(*line, Clock::now());
      if (onEvent)
        onEvent(*line);
      std::string event = (*line)["event"];
      if (event == "speech.finished" || event == "speech.cancelled")
        break;
    }
    return events;
  }

  fs::path directory = fs::temp_directory_path() / ("quelt-flite-" + std::to_string(::getpid()));
  HelperProcess helper;
  std::map<int, Json> replies; // those read while waiting for events
};

TEST_F(FliteSpeech, EnglishGoesToFliteAndOtherLanguagesKeepEspeak) {
  Json voices = request(1, "voices.list", Json::object())["result"]["voices"];
  std::vector<std::string> flite;
  for (const Json& voice : voices)
    if (voice["id"].get<std::string>().rfind("flite:", 0) == 0)
      flite.push_back(voice["id"]);
  EXPECT_GE(flite.size(), 4u);
  std::string english =
      request(2, "speech.speak",
              {{"utterance", 1}, {"text", "Hello."}, {"language", "en-US"}})["result"]["voice"];
  EXPECT_EQ(english.rfind("flite:", 0), 0u) << english;
  std::string french =
      request(3, "speech.speak",
              {{"utterance", 2}, {"text", "Bonjour."}, {"language", "fr"}})["result"]["voice"];
  EXPECT_EQ(french.rfind("espeak-ng:", 0), 0u) << french;
}

// Accents, emoji, CJK and quotes around a word neither shift later words nor end up in one;
// the words come as the audio reaches them, not all at once.
TEST_F(FliteSpeech, WordRangesPointIntoTheTextAsSentAndFollowTheAudio) {
  const std::string text = "Café 😀 東京 naïve “quoted” words, then 1984 and done.";
  Json rendered = request(
      1, "speech.synthesize_file",
      {{"text", text}, {"voice", "flite:slt"}, {"path", (directory / "ranges.wav").string()}});
  ASSERT_EQ(rendered["ok"], true) << rendered;
  double seconds = rendered["result"]["duration_seconds"];

  request(2, "speech.speak", {{"utterance", 7}, {"text", text}, {"voice", "flite:slt"}});
  std::vector<std::string> spoken;
  Clock::time_point started, lastWord;
  for (const auto& [event, at] : eventsUntilEnd(7)) {
    if (event["event"] == "speech.started")
      started = at;
    if (event["event"] == "speech.range") {
      spoken.push_back(utf16Slice(text, event["location"], event["length"]));
      lastWord = at;
    }
  }
  EXPECT_EQ(spoken, (std::vector<std::string>{"Caf?", "na?ve", "quoted", "words", "then", "1984",
                                              "and", "done"}));
  EXPECT_GT(std::chrono::duration<double>(lastWord - started).count(), seconds * 0.6);
}

TEST_F(FliteSpeech, PausingAtAWordHoldsTheRestUntilItContinues) {
  const std::string text = "One sentence after another goes on for a while, so that there is "
                           "time to pause it at a word and then to carry on until the end.";
  request(1, "speech.speak", {{"utterance", 3}, {"text", text}, {"voice", "flite:kal16"}});
  int ranges = 0;
  int heldRanges = -1;
  auto events = eventsUntilEnd(3, [&](const Json& event) {
    if (event["event"] == "speech.range" && ++ranges == 2)
      send(2, "speech.pause", {{"utterance", 3}, {"boundary", "word"}});
    if (event["event"] == "speech.paused") {
      heldRanges = ranges;
      std::this_thread::sleep_for(500ms);
      send(3, "speech.continue", {{"utterance", 3}});
    }
  });
  EXPECT_EQ(replies[2]["ok"], true) << replies[2];
  EXPECT_EQ(replies[3]["ok"], true) << replies[3];
  std::vector<std::string> outline;
  for (const auto& [event, at] : events)
    if (outline.empty() || outline.back() != event["event"] || event["event"] != "speech.range")
      outline.push_back(event["event"]);
  EXPECT_EQ(outline,
            (std::vector<std::string>{"speech.started", "speech.range", "speech.paused",
                                      "speech.resumed", "speech.range", "speech.finished"}));
  // The word it paused at is said after it continues.
  EXPECT_EQ(heldRanges, 2);
}

// Speech starts once its first sentence is made, and an interrupt does not wait for the rest.
TEST_F(FliteSpeech, ALongTextIsHeardBeforeItIsAllMade) {
  std::string text;
  for (int i = 0; i < 40; ++i)
    text += "This sentence is one of very many, so that synthesis takes a while. ";
  auto sent = Clock::now();
  Json rendered = request(
      1, "speech.synthesize_file",
      {{"text", text}, {"voice", "flite:slt"}, {"path", (directory / "long.wav").string()}});
  ASSERT_EQ(rendered["ok"], true) << rendered;
  auto made = Clock::now() - sent;

  sent = Clock::now();
  send(2, "speech.speak", {{"utterance", 1}, {"text", text}, {"voice", "flite:slt"}});
  std::optional<Clock::duration> heard, next;
  Clock::time_point interrupted;
  eventsUntilEnd(1, [&](const Json& event) {
    if (event["event"] != "speech.started")
      return;
    heard = Clock::now() - sent;
    interrupted = Clock::now();
    send(3, "speech.speak",
         {{"utterance", 2}, {"text", "Now."}, {"voice", "flite:slt"}, {"interrupt", true}});
  });
  eventsUntilEnd(2, [&](const Json& event) {
    if (event["event"] == "speech.started")
      next = Clock::now() - interrupted;
  });
  ASSERT_TRUE(heard && next);
  EXPECT_LT(*heard, made / 2);
  EXPECT_LT(*next, made / 2);
}

// What the default English voice renders, the recognizer reads back.
TEST_F(FliteSpeech, ARenderIsReadBackByTheRecognizer) {
  const std::string sentence =
      "Good morning. The weather is nice today, so we can walk to the park.";
  Json rendered = request(
      1, "speech.synthesize_file",
      {{"text", sentence}, {"language", "en-US"}, {"path", (directory / "readback.wav").string()}});
  ASSERT_EQ(rendered["ok"], true) << rendered;
  helper.send(
      Json{{"id", 2},
           {"op", "capture.start"},
           {"params",
            {{"capture", 1},
             {"source", {{"kind", "file"}, {"path", (directory / "readback.wav").string()}}}}}}
          .dump());
  std::string heard;
  while (auto line = helper.next(60s)) {
    if (line->value("event", "") == "capture.final")
      heard += (*line)["text"].get<std::string>() + " ";
    if (line->value("event", "") == "capture.stopped" ||
        line->value("event", "") == "capture.failed")
      break;
  }
  EXPECT_GE(
      wordAccuracy(heard, "good morning the weather is nice today so we can walk to the park"), 0.8)
      << rendered["result"]["voice"] << " read back as: " << heard;
}

} // namespace
} // namespace quelt::testing
