#pragma once

#include "platform/AudioServices.h"
#include "platform/SynthesizerService.h"

#include <memory>

namespace quelt {

class OpHost;

// What speaking and rendering use.
struct SpeechServices {
  std::shared_ptr<SynthesizerService> synthesizer;
  std::shared_ptr<AudioServices> audio;
};

// "speech.speak", "speech.stop", "speech.pause", "speech.continue", "speech.synthesize_file",
// and the shutdown hook that silences the spoken queue.
void registerSpeechOps(OpHost& host, SpeechServices services);

} // namespace quelt
