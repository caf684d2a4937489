// Synthesis: a render against espeak-ng -w, and renders side by side in the workers.

#include "FliteBench.h"
#include "ProcessSections.h"
#include "PulseServer.h"
#include "RenderAgainst.h"
#include "Report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace quelt::bench {
namespace {

using namespace std::chrono_literals;

// Processes a helper started (its synthesis workers among them).
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", error)) {
    std::ifstream list(task.path() / "children");
    for (pid_t child; list >> child;)
      children.push_back(child);
  }
  return children;
}

// Waits for the replies to all of `ids`, in whatever order they come.
void awaitReplies(HelperSession& helper, std::vector<int64_t> ids, Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (!ids.empty()) {
    Message reply = helper.waitFor(
        [&](const Json& line) {
          return std::find(ids.begin(), ids.end(), line.value("id", int64_t{-1})) != ids.end();
        },
        deadline - Clock::now());
    if (!reply.json.value("ok", false))
      throw std::runtime_error("a render failed: " + reply.json.dump());
    ids.erase(std::find(ids.begin(), ids.end(), reply.json["id"].get<int64_t>()));
  }
}

} // namespace

// "speech.synthesize_file" of one long text against espeak-ng -w, same voice, rate, pitch and
// volume.
void synthesis(const Options& options) {
  std::string sentences;
  {
    std::ifstream file(options.fixtures + "/sentences.txt");
    for (std::string line; std::getline(file, line);)
      sentences += line + ". ";
  }
  // Long enough that espeak-ng's own work outweighs its start, which is subtracted.
  std::string text;
  for (int i = 0; i < 16; ++i)
    text += sentences;
  std::string helperWav = temporaryPath("helper.wav"), cliWav = temporaryPath("espeak.wav");
  // espeak-ng's American voice by name: English goes to flite unless asked otherwise.
  Json params = {{"path", helperWav}, {"text", text}, {"voice", "espeak-ng:gmw/en-US:en-us"}};

  progress("rendering, " + std::to_string(options.runs) + " runs");
  // Its voice file, from the id it reports: "espeak-ng:<voice file>:<language>".
  std::string voiceId;
  {
    HelperSession helper(options.helper);
    Message first = helper.reply(helper.send("speech.synthesize_file", params), 60s);
    voiceId = first.json["result"].value("voice", "");
    helper.shutdown();
  }
  auto colon = voiceId.find(':'), last = voiceId.rfind(':');
  std::string voiceFile = voiceId.substr(colon + 1, last - colon - 1);
  auto cli = [&](const std::string& words) {
    return runCommand(
        {"espeak-ng", "-v", voiceFile, "-s", "175", "-p", "50", "-a", "100", "-w", cliWav, words});
  };
  RenderFigures figures = renderAgainst(options.helper, params, options.runs, cli, cliWav, 60s);

  std::string what = "render " + std::to_string(words(text).size()) + " words";
  report.add({what + ", voice loaded (s)", number(figures.helperWarm, 3),
              number(figures.command - figures.commandStart, 3) + " (espeak-ng minus its start)",
              ratioText(figures.warmRatio), "<= 1.05", figures.warmRatio <= 1.05});
  report.add({what + ", fresh process (s)", number(figures.helperCold, 3),
              number(figures.command, 3) + " (espeak-ng -w)", ratioText(figures.coldRatio),
              "<= 1.05", figures.coldRatio <= 1.05});
  report.note("rendering: voice " + voiceFile +
              ", 175 words per minute, pitch 50, volume "
              "100; audio written: helper " +
              number(figures.helperAudio, 2) + " s, espeak-ng " + number(figures.commandAudio, 2) +
              " s; espeak-ng with a "
              "one-space text (its start, data and voice load) " +
              number(figures.commandStart, 3) + " s");
}

// Renders side by side in the synthesis workers: several at once against one after another, a
// short one during a long one, the memory of ten of the longest texts at once, and how the
// main queue answers meanwhile.
void renders(const Options& options) {
  const std::string sentence =
      "This sentence is one of very many, so that synthesis takes a while. ";
  std::string medium, longest;
  for (int i = 0; i < 40; ++i)
    medium += sentence;
  while (longest.size() + sentence.size() <= 32768)
    longest += sentence;
  unsigned parallel = std::max(2u, std::thread::hardware_concurrency());
  auto params = [](const std::string& text, const std::string& path) {
    return Json{{"text", text}, {"path", path}, {"voice", "espeak-ng:gmw/en-US:en-us"}};
  };
  std::vector<std::string> paths;
  auto path = [&](const std::string& name) {
    paths.push_back(temporaryPath(name));
    return paths.back();
  };

  progress("renders side by side, " + std::to_string(options.runs) + " runs");
  std::vector<double> sequential, together, shortDuring, helloDuring, interrupts;
  double peakMb = 0;
  for (int run = 0; run < options.runs; ++run) {
    HelperSession helper(options.helper);
    // Every worker of the pool started, so that neither side pays for a start.
    std::vector<int64_t> warming;
    for (unsigned i = 0; i < parallel; ++i)
      warming.push_back(helper.send("speech.synthesize_file",
                                    params(medium, path("warm" + std::to_string(i) + ".wav"))));
    awaitReplies(helper, warming, 120s);
    auto started = Clock::now();
    for (unsigned i = 0; i < parallel; ++i)
      helper.reply(helper.send("speech.synthesize_file",
                               params(medium, path("seq" + std::to_string(i) + ".wav"))),
                   60s);
    sequential.push_back(secondsBetween(started, Clock::now()));
    started = Clock::now();
    std::vector<int64_t> ids;
    for (unsigned i = 0; i < parallel; ++i)
      ids.push_back(helper.send("speech.synthesize_file",
                                params(medium, path("par" + std::to_string(i) + ".wav"))));
    awaitReplies(helper, ids, 120s);
    together.push_back(secondsBetween(started, Clock::now()));

    progress("a short render during a long one");
    int64_t long_ = helper.send("speech.synthesize_file", params(longest, path("long.wav")));
    std::this_thread::sleep_for(200ms);
    Clock::time_point sent;
    Message shortReply = helper.reply(
        helper.send("speech.synthesize_file", params("two words", path("short.wav")), &sent), 60s);
    shortDuring.push_back(secondsBetween(sent, shortReply.at) * 1000);
    helper.reply(long_, 120s);

    progress("ten of the longest renders at once");
    ids.clear();
    for (int i = 0; i < 10; ++i)
      ids.push_back(helper.send("speech.synthesize_file",
                                params(longest, path("ten" + std::to_string(i) + ".wav"))));
    std::this_thread::sleep_for(300ms);
    std::vector<Message> passed;
    Message hello = helper.reply(helper.send("hello", Json::object(), &sent), 10s, &passed);
    helloDuring.push_back(secondsBetween(sent, hello.at) * 1000);
    for (const auto& message : passed)
      std::erase(ids, message.json.value("id", int64_t{-1}));
    awaitReplies(helper, ids, 600s);
    // Each process's own peak: their sum is at least the peak of the whole.
    double peak = static_cast<double>(peakResidentBytes(helper.process().pid()));
    for (pid_t child : childrenOf(helper.process().pid()))
      peak += static_cast<double>(peakResidentBytes(child));
    peakMb = std::max(peakMb, peak / (1 << 20));

    progress("an interrupting speech.speak");
    helper.send("speech.speak",
                {{"utterance", 1}, {"text", longest}, {"voice", "espeak-ng:gmw/en-US:en-us"}});
    std::this_thread::sleep_for(50ms);
    helper.send("speech.speak", {{"utterance", 2}, {"text", "now"}, {"interrupt", true}}, &sent);
    Message cancelled = helper.waitFor(
        [](const Json& line) {
          return line.value("event", "") == "speech.cancelled" && line.value("utterance", 0) == 1;
        },
        10s);
    interrupts.push_back(secondsBetween(sent, cancelled.at) * 1000);
    helper.shutdown();
  }
  for (const auto& file : paths)
    std::remove(file.c_str());

  std::string count = std::to_string(parallel);
  double ratio = median(together) / median(sequential);
  report.add({count + " renders of " + std::to_string(medium.size()) + " characters at once (s)",
              number(median(together), 3), number(median(sequential), 3) + " (one after another)",
              ratioText(ratio), "< 1", ratio < 1});
  report.add({"a two-word render sent during a " + std::to_string(longest.size()) +
                  "-character one, answered after (ms)",
              number(median(shortDuring), 1), "", "", "<= 100", median(shortDuring) <= 100});
  report.add({"ten " + std::to_string(longest.size()) +
                  "-character renders at once, peak resident, helper and workers (MB)",
              number(peakMb, 1), "", "", "<= 200", peakMb <= 200});
  report.add({"\"hello\" during those ten renders (ms)", number(median(helloDuring), 2), "", "",
              "<= 5", median(helloDuring) <= 5});
  report.add({"interrupting \"speech.speak\" during a " + std::to_string(longest.size()) +
                  "-character synthesis, to its \"speech.cancelled\" (ms)",
              number(median(interrupts), 1), "", "", "<= 100", median(interrupts) <= 100});
}

} // namespace quelt::bench
