#pragma once

#include "synthesis/SynthesisEngine.h"

#include <memory>

namespace quelt {

// flite as a synthesis worker runs it: US English voices that sound like people.
//
// Voices: those of Debian's libflite1 (slt, kal16, awb, rms, kal), keyed by flite's own name
// for them ("flite:slt"), language "en-US"; the clustergen voices and the 16 kHz diphone voice
// are "enhanced", the 8 kHz one "default". A voice whose library is missing is not offered.
// libflite and a voice's library are loaded when the worker first needs them, not before.
//
// Rate 0..1 divides the voice's duration stretch by the speed espeak-ng would take (80..175..450
// words per minute over 175), pitch 0.5..2 multiplies its F0 target mean and deviation, and
// volume 0..1 is a gain on its samples. Audio is mono int16 at the voice's rate.
std::unique_ptr<SynthesisEngine> makeFliteEngine();

} // namespace quelt
