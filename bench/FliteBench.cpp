#include "FliteBench.h"

#include "EngineAlone.h"
#include "HelperSession.h"
#include "ProcessFigures.h"
#include "RenderAgainst.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace quelt::bench {
namespace {

using namespace std::chrono_literals;

// The voice flite's own command is set against: its clustergen voice, the slowest kind.
constexpr const char* fliteVoice = "slt";

std::string scratch(const std::string& name) {
  return "/tmp/quelt-flite-bench-" + std::to_string(::getpid()) + "-" + name;
}

std::string fixtureText(const std::string& fixtures, int copies) {
  std::string sentences;
  std::ifstream file(fixtures + "/sentences.txt");
  for (std::string line; std::getline(file, line);)
    sentences += line + ". ";
  std::string text;
  for (int i = 0; i < copies; ++i)
    text += sentences;
  return text;
}

// Replies come in the order renders end.
void awaitAll(HelperSession& helper, std::vector<int64_t> ids) {
  while (!ids.empty()) {
    Message reply = helper.waitFor(
        [&](const Json& line) {
          return std::find(ids.begin(), ids.end(), line.value("id", int64_t{-1})) != ids.end();
        },
        300s);
    if (!reply.json.value("ok", false))
      throw std::runtime_error("a render failed: " + reply.json.dump());
    std::erase(ids, reply.json["id"].get<int64_t>());
  }
}

size_t wordCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), ' '));
}

void againstFlite(const std::string& helperPath, const std::string& text, int runs,
                  Report& report) {
  std::string helperWav = scratch("helper.wav"), cliWav = scratch("flite.wav");
  Json params = {
      {"path", helperWav}, {"text", text}, {"voice", std::string("flite:") + fliteVoice}};
  auto cli = [&](const std::string& words) {
    return runCommand({"flite", "-voice", fliteVoice, "-t", words, "-o", cliWav});
  };
  RenderFigures figures = renderAgainst(helperPath, params, runs, cli, cliWav, 120s);

  std::string what =
      "flite:" + std::string(fliteVoice) + " render " + std::to_string(wordCount(text)) + " words";
  report.add({what + ", voice loaded (s)", number(figures.helperWarm, 3),
              number(figures.command - figures.commandStart, 3) + " (flite minus its start)",
              number(figures.warmRatio, 3), "<= 1.05", figures.warmRatio <= 1.05});
  report.add({what + ", fresh process (s)", number(figures.helperCold, 3),
              number(figures.command, 3) + " (flite -voice " + fliteVoice + " -o)",
              number(figures.coldRatio, 3), "<= 1.05", figures.coldRatio <= 1.05});
  report.note("flite rendering: audio written: helper " + number(figures.helperAudio, 2) +
              " s, flite " + number(figures.commandAudio, 2) +
              " s; flite with a one-space text (its start and voice load) " +
              number(figures.commandStart, 3) + " s");
}

void sideBySide(const std::string& helperPath, const std::string& text, int runs, Report& report) {
  unsigned parallel = std::max(2u, std::thread::hardware_concurrency());
  std::vector<std::string> paths;
  auto params = [&](const std::string& name) {
    paths.push_back(scratch(name + ".wav"));
    return Json{
        {"text", text}, {"path", paths.back()}, {"voice", std::string("flite:") + fliteVoice}};
  };
  std::vector<double> sequential, together;
  for (int run = 0; run < runs; ++run) {
    std::cerr << "bench: flite renders side by side, run " << run + 1 << std::endl;
    HelperSession helper(helperPath);
    // Every worker of the pool started and its voice loaded, so that neither side pays for it.
    std::vector<int64_t> ids;
    for (unsigned i = 0; i < parallel; ++i)
      ids.push_back(helper.send("speech.synthesize_file", params("warm" + std::to_string(i))));
    awaitAll(helper, ids);
    auto started = Clock::now();
    for (unsigned i = 0; i < parallel; ++i)
      helper.reply(helper.send("speech.synthesize_file", params("seq" + std::to_string(i))), 120s);
    sequential.push_back(secondsBetween(started, Clock::now()));
    started = Clock::now();
    ids.clear();
    for (unsigned i = 0; i < parallel; ++i)
      ids.push_back(helper.send("speech.synthesize_file", params("par" + std::to_string(i))));
    awaitAll(helper, ids);
    together.push_back(secondsBetween(started, Clock::now()));
    helper.shutdown();
  }
  for (const auto& path : paths)
    std::remove(path.c_str());
  double ratio = median(together) / median(sequential);
  report.add({std::to_string(parallel) + " flite:" + fliteVoice + " renders of " +
                  std::to_string(text.size()) + " characters at once (s)",
              number(median(together), 3), number(median(sequential), 3) + " (one after another)",
              number(ratio, 3), "< 1", ratio < 1});
}

} // namespace

void fliteRenders(const std::string& helper, const std::string& fixtures, int runs,
                  Report& report) {
  againstFlite(helper, fixtureText(fixtures, 16), runs, report);
  sideBySide(helper, fixtureText(fixtures, 4), runs, report);
}

} // namespace quelt::bench
