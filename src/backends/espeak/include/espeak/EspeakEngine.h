#pragma once

#include "synthesis/SynthesisEngine.h"

#include <memory>

namespace quelt {

// espeak-ng as a synthesis worker runs it: every language, robotic.
//
// Voices: one per language each espeak-ng voice offers, keyed "<voice file>:<espeak language>"
// (so identified as "espeak-ng:gmw/en-US:en-us"). The language is reported with a two-letter
// region in upper case ("en-us" becomes "en-US"). Rate 0..1 maps to 80..175..450 words per
// minute, pitch 0.5..2 to espeak-ng's 0..50..100, volume 0..1 to 0..100. Audio is mono int16
// at espeak-ng's rate. One per process: espeak-ng's state is global.
std::unique_ptr<SynthesisEngine> makeEspeakEngine();

} // namespace quelt
