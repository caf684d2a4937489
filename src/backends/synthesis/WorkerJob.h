#pragma once

#include "VoiceCatalogue.h"
#include "platform/SynthesizerService.h"

namespace quelt {

enum class WordReports { off, on };

// A worker's job for an utterance (see SynthesisWorker.h): its voice looked up in `catalogue`
// for the engine and the engine's key; a voice the catalogue does not know goes to the first
// engine, by its language.
Json jobFor(const SpeechUtterance& utterance, const Catalogue& catalogue, WordReports words);

} // namespace quelt
