#pragma once

#include "platform/Platform.h"

#include <functional>
#include <string>

namespace quelt {

// The real services of a Linux desktop behind the seam. Those backed by the audio and speech
// engines come from the engine module, loaded the first time one of them is used; until then
// the helper carries none of the engines' libraries. `log` takes the diagnostic lines a
// service has for standard error.
Platform makeLinuxPlatform(std::function<void(const std::string&)> log = {});

// For main(): when the arguments ask this process to be one of the helper's workers (a
// recognition model's check, a synthesizer), loads the engine module, does that work and ends
// the process; otherwise returns.
void runWorkerIfAsked(int argc, char** argv);

} // namespace quelt
