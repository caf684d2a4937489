#include "RenderAgainst.h"

#include "EngineAlone.h"
#include "Report.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace quelt::bench {

RenderFigures renderAgainst(const std::string& helper, const Json& params, int runs,
                            const std::function<CommandRun(const std::string&)>& command,
                            const std::string& commandWav, Clock::duration timeout) {
  std::string text = params.value("text", "");
  HelperSession warm(helper);
  warm.reply(warm.send("speech.synthesize_file", params), timeout);
  std::vector<double> helperWarm, helperCold, whole, startOnly, warmRatios, coldRatios;
  std::vector<double> helperAudio, commandAudio;
  for (int run = 0; run < runs; ++run) {
    std::cerr << "bench: render against its engine's command, run " << run + 1 << std::endl;
    Clock::time_point sent;
    Message reply = warm.reply(warm.send("speech.synthesize_file", params, &sent), timeout);
    helperWarm.push_back(secondsBetween(sent, reply.at));
    helperAudio.push_back(reply.json["result"].value("duration_seconds", 0.0));
    CommandRun render = command(text);
    auto [frames, rate] = audioFrames(commandWav);
    commandAudio.push_back(rate ? static_cast<double>(frames) / rate : 0);
    CommandRun start = command(" ");
    if (!render.succeeded || !start.succeeded)
      throw std::runtime_error("the engine's own command failed");
    {
      HelperSession cold(helper);
      Message coldReply = cold.reply(cold.send("speech.synthesize_file", params), timeout);
      helperCold.push_back(secondsBetween(cold.startedAt(), coldReply.at));
      cold.shutdown();
    }
    whole.push_back(render.wallSeconds);
    startOnly.push_back(start.wallSeconds);
    warmRatios.push_back(helperWarm.back() / (render.wallSeconds - start.wallSeconds));
    coldRatios.push_back(helperCold.back() / render.wallSeconds);
  }
  warm.shutdown();
  std::remove(params.value("path", "").c_str());
  std::remove(commandWav.c_str());
  return {.helperWarm = median(helperWarm),
          .helperCold = median(helperCold),
          .command = median(whole),
          .commandStart = median(startOnly),
          .warmRatio = median(warmRatios),
          .coldRatio = median(coldRatios),
          .helperAudio = median(helperAudio),
          .commandAudio = median(commandAudio)};
}

} // namespace quelt::bench
