#pragma once

#include "EspeakVoices.h"
#include "SynthesisWorkerProcess.h"
#include "platform/SynthesizerService.h"

namespace quelt {

// A worker's job for an utterance (see SynthesisWorker.h): its voice looked up in `catalogue`,
// its rate, pitch and volume in espeak-ng's units; `words` asks for word positions.
Json jobFor(const SpeechUtterance& utterance, const Catalogue& catalogue, bool words);

} // namespace quelt
