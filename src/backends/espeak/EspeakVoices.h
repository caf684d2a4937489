#pragma once

#include "SynthesisWorkerProcess.h"
#include "platform/SynthesizerService.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quelt {

struct EspeakVoice {
  VoiceInfo info;
  std::string file;     // espeak-ng's identifier: the voice file under espeak-ng-data/voices
  std::string language; // as espeak-ng spells it
  int priority = 0;     // espeak-ng's preference for the language, lower first
};

// What espeak-ng offers, as a worker reported it when it started.
struct Catalogue {
  int rate = 0; // 0: espeak-ng could not start
  std::vector<EspeakVoice> voices;
  std::string data;       // espeak-ng's data directory
  uint64_t signature = 0; // of the voice data on disk when it was read
};

// The catalogue in a worker's hello (see WorkerFrame::hello), without its signature.
Catalogue catalogueFrom(const Json& hello);

// Changes whenever a voice or language is added to or removed from espeak-ng's data: the
// directories' own times change with their entries.
uint64_t voiceDataSignature(const std::string& data);

} // namespace quelt
