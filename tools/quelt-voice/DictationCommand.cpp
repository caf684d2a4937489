// transcribe and listen: one capture until it ends.

#include "Conversation.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>

namespace quelt::client {

// One capture until it ends: live partial texts (and a level bar from the microphone) on a
// terminal, final texts printed in segment order.
int Conversation::dictate(Json source, std::optional<double> stopAfter) {
  const bool microphone = source["kind"] == "microphone";
  auto commitEvery = args_.number("commit-every");
  if (commitEvery && *commitEvery <= 0)
    throw UsageError("--commit-every must be greater than 0");
  Json params = {{"capture", 1}, {"source", source}, {"level_interval_ms", 50}};
  if (auto locale = args_.text("locale"))
    params["locale"] = *locale;
  if (auto phrases = args_.texts("context"); !phrases.empty())
    params["contextual_strings"] = phrases;
  if (args_.has("no-punctuation"))
    params["punctuation"] = false;
  int64_t request = helper_.send(ops::captureStart, params);

  std::map<int64_t, std::string> finals;
  int64_t nextToPrint = 0;
  int64_t currentSegment = 0;
  std::string partial;
  std::string bar;
  double nextCommitMs = commitEvery ? *commitEvery * 1000.0 : 0.0;
  int interrupts = 0;
  bool stopSent = false;
  int64_t commitRequest = -1; // one commit at a time; the next waits for its reply
  std::optional<std::chrono::steady_clock::time_point> stopAt;

  auto redraw = [&] {
    if (args_.json)
      return;
    std::string line = microphone ? bar + " " + partial : partial;
    if (line.empty() || line == " ")
      live_.clear();
    else
      live_.show(line);
  };
  auto printFinals = [&](bool all) {
    for (auto it = finals.begin(); it != finals.end();) {
      if (!all && it->first != nextToPrint)
        break;
      live_.clear();
      if (!args_.json && !it->second.empty())
        std::cout << it->second << '\n' << std::flush;
      nextToPrint = it->first + 1;
      it = finals.erase(it);
    }
    redraw();
  };
  auto stop = [&](OpName op) {
    helper_.send(op, {{"capture", 1}});
    stopSent = true;
  };

  for (;;) {
    std::optional<std::chrono::milliseconds> wait;
    if (stopAt && !stopSent)
      wait = std::max(std::chrono::milliseconds(0),
                      std::chrono::duration_cast<std::chrono::milliseconds>(
                          *stopAt - std::chrono::steady_clock::now()));
    Incoming in = helper_.next(wait);
    if (in.kind == Kind::timedOut) {
      stop(ops::captureStop);
      continue;
    }
    if (in.kind == Kind::interrupted) {
      // First Ctrl-C: stop, keeping what was said; the second cancels; the third gives up.
      ++interrupts;
      if (interrupts == 1)
        stop(ops::captureStop);
      else if (interrupts == 2)
        stop(ops::captureCancel);
      else
        return exitInterrupted;
      continue;
    }
    if (auto status = sessionEnded(in, request))
      return *status;
    const Json& message = in.message;
    if (!message.contains("event")) {
      if (isReplyTo(message, request) && stopAfter)
        stopAt = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(static_cast<int64_t>(*stopAfter * 1000));
      // A commit that lost the race against the end of the audio is of no consequence.
      if (commitRequest >= 0 && message.value("id", int64_t{-1}) == commitRequest)
        commitRequest = -1;
      continue;
    }
    if (message.value("capture", int64_t{-1}) != 1)
      continue;
    std::string event = message.value("event", "");
    if (event == events::captureLevel) {
      bar = levelBar(message.value("rms", 0.0));
      double elapsed = message.value("elapsed_ms", 0.0);
      // Commits follow the audio's own clock, so a file read faster than real time is cut
      // at the same places as when it is played.
      if (commitEvery && !stopSent && commitRequest < 0 && elapsed >= nextCommitMs) {
        commitRequest = helper_.send(ops::captureCommit, {{"capture", 1}});
        while (nextCommitMs <= elapsed)
          nextCommitMs += *commitEvery * 1000.0;
      }
      if (microphone)
        redraw();
    } else if (event == events::capturePartial) {
      if (message.value("segment", int64_t{0}) == currentSegment) {
        partial = message.value("text", "");
        redraw();
      }
    } else if (event == events::captureSegment) {
      currentSegment = message.value("segment", int64_t{0});
      partial.clear();
      redraw();
    } else if (event == events::captureFinal) {
      int64_t segment = message.value("segment", int64_t{0});
      finals[segment] = message.value("text", "");
      if (segment == currentSegment)
        partial.clear();
      printFinals(false);
    } else if (event == events::captureStopped || event == events::captureCancelled) {
      printFinals(true);
      live_.clear();
      return event == events::captureCancelled || (interrupts > 0 && !microphone) ? exitInterrupted
                                                                                  : exitOk;
    } else if (event == events::captureFailed) {
      printFinals(true);
      return failure(message.value("error", Json::object()));
    }
  }
}

} // namespace quelt::client
