#pragma once

#include "HelperSession.h"
#include "ProcessFigures.h"

#include <functional>
#include <string>

namespace quelt::bench {

// Medians of a render by the helper set against an engine's own command on the same text.
struct RenderFigures {
  double helperWarm = 0;   // a helper whose voice is loaded: request to reply (s)
  double helperCold = 0;   // a fresh helper: start to reply (s)
  double command = 0;      // the command, whole (s)
  double commandStart = 0; // the command on a one-space text: its start and voice load (s)
  double warmRatio = 0;    // helperWarm / (command - commandStart), taken within each run
  double coldRatio = 0;    // helperCold / command, taken within each run
  double helperAudio = 0;  // seconds of audio written
  double commandAudio = 0;
};

// `runs` renders of `params` (a "speech.synthesize_file" request) by the helper at `helper`,
// each beside `command(text)` writing `commandWav`, and `command(" ")` for its start.
RenderFigures renderAgainst(const std::string& helper, const Json& params, int runs,
                            const std::function<CommandRun(const std::string&)>& command,
                            const std::string& commandWav, Clock::duration timeout);

} // namespace quelt::bench
