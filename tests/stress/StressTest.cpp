// The built helper on the real services, driven far harder than a parent would: a hundred
// file captures committed, stopped and cancelled while they run, a spoken queue interrupted
// again and again, and twenty renders, all at once.

#include "stress/Traffic.h"

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

constexpr int captureCount = 100;
constexpr int renderCount = 20;
constexpr int speechRounds = 4;
constexpr int queuedPerRound = 6;

TEST(Stress, CapturesSpeechAndRendersAtOnceAnswerEveryRequestAndEndEverySession) {
  fs::path scratch = fs::temp_directory_path() / ("quelt-stress-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  HelperProcess helper;
  Traffic traffic(helper);

  std::map<int64_t, int64_t> starts; // capture -> request
  for (int64_t capture = 1; capture <= captureCount; ++capture)
    starts[capture] =
        traffic.send("capture.start", {{"capture", capture},
                                       {"level_interval_ms", 200},
                                       {"source", fileSource("sentence-16k-mono.wav", true)}});
  for (int render = 0; render < renderCount; ++render)
    traffic.send(
        "speech.synthesize_file",
        {{"text", "Render number " + std::to_string(render) + "."},
         {"format", render % 2 ? "caf" : "wav"},
         {"path", (scratch / ("render" + std::to_string(render) + (render % 2 ? ".caf" : ".wav")))
                      .string()}});
  // Each round queues utterances, and the next round's first one interrupts them all.
  std::set<int64_t> utterances;
  for (int round = 0; round < speechRounds; ++round) {
    for (int i = 0; i < queuedPerRound; ++i) {
      int64_t utterance = round * 100 + i;
      utterances.insert(utterance);
      traffic.send("speech.speak",
                   {{"utterance", utterance},
                    {"text", "Round " + std::to_string(round) + " item " + std::to_string(i) + "."},
                    {"interrupt", i == 0},
                    {"rate", 1.0}});
    }
    traffic.send("speech.pause", {{"boundary", "word"}});
    traffic.send("speech.continue");
    traffic.send("speech.stop", {{"utterance", round * 100 + queuedPerRound - 1}});
  }

  // Commit twice once a capture listens; stop or cancel some of them on the way.
  std::map<int64_t, int> commits;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  auto settled = [&] {
    if (!traffic.allAnswered())
      return false;
    for (const auto& [capture, request] : starts)
      if (traffic.reply(request)["ok"] == true && !traffic.captureEnded(capture))
        return false;
    for (int64_t utterance : utterances)
      if (!traffic.utteranceEnded(utterance))
        return false;
    return true;
  };
  while (!settled() && std::chrono::steady_clock::now() < deadline) {
    if (!traffic.pump())
      break;
    for (const auto& [capture, events] : traffic.captures()) {
      if (traffic.captureEnded(capture) || commits[capture] >= 2 ||
          std::count(events.begin(), events.end(), "capture.segment") < commits[capture])
        continue;
      // Its first level reading can come before "capture.listening": the source is already
      // delivering when the session says it listens.
      if (std::count(events.begin(), events.end(), "capture.listening") == 0)
        continue;
      traffic.send("capture.commit", {{"capture", capture}});
      if (++commits[capture] == 2 && capture % 10 == 0)
        traffic.send("capture.cancel", {{"capture", capture}});
      if (commits[capture] == 2 && capture % 10 == 1)
        traffic.send("capture.stop", {{"capture", capture}});
    }
  }
  ASSERT_TRUE(settled()) << "still waiting after 150 s";
  std::map<std::string, int> ends;
  for (const auto& sessions : {traffic.captures(), traffic.utterances()})
    for (const auto& [id, events] : sessions)
      ++ends[events.back()];
  std::printf("%zu requests; %d stopped, %d cancelled, %d failed captures; %d finished, %d "
              "cancelled utterances; %zu MB resident after\n",
              traffic.sent().size(), ends["capture.stopped"], ends["capture.cancelled"],
              ends["capture.failed"], ends["speech.finished"], ends["speech.cancelled"],
              footprint(helper.pid()).residentKb / 1024);

  int64_t bye = traffic.send("shutdown");
  while (!traffic.answered(bye) && traffic.pump()) {
  }
  EXPECT_TRUE(exitedWithZero(helper.waitStatus(std::chrono::seconds(30))))
      << helper.allErrorOutput();
  fs::remove_all(scratch);

  traffic.expectReplies();
  for (const auto& [capture, request] : starts) {
    ASSERT_EQ(traffic.reply(request)["ok"], true) << traffic.reply(request);
    const auto& events = traffic.captures().at(capture);
    EXPECT_EQ(std::count(events.begin(), events.end(), "capture.listening"), 1) << capture;
    Traffic::expectOneEnd(events, "capture " + std::to_string(capture));
  }
  for (int64_t utterance : utterances)
    Traffic::expectOneEnd(traffic.utterances().at(utterance),
                          "utterance " + std::to_string(utterance));
  int renders = 0;
  for (const auto& [id, op] : traffic.sent())
    if (op == "speech.synthesize_file") {
      EXPECT_EQ(traffic.reply(id)["ok"], true) << traffic.reply(id);
      renders += traffic.reply(id)["result"].value("frames", 0) > 0 ? 1 : 0;
    }
  EXPECT_EQ(renders, renderCount);
}

// Copying a JSON value recurses once per level: a request nested as deep as the line limit
// allows once overflowed the main thread's stack while its op was looked up.
TEST(Stress, ARequestNestedAsDeepAsTheLineLimitAllowsIsServed) {
  HelperProcess helper;
  constexpr size_t depth = 500000;
  std::string nested(depth, '[');
  nested.append(depth, ']');
  // Each line stays within the limit: a million brackets and a few words.
  helper.send(R"({"id":1,"op":"hello","x":)" + nested + "}");
  helper.send(R"({"id":2,"op":"capture.stop","params":{"capture":3,"source":)" + nested + "}}");
  auto hello = helper.next(std::chrono::seconds(30));
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["id"], 1);
  auto stop = helper.next(std::chrono::seconds(30));
  ASSERT_TRUE(stop);
  EXPECT_EQ((*stop)["error"]["code"], "session_not_active");
  helper.send(R"({"id":3,"op":"shutdown"})");
  EXPECT_TRUE(exitedWithZero(helper.waitStatus(std::chrono::seconds(30))));
}

} // namespace
} // namespace quelt::testing
