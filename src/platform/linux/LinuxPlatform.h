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

// For main(): when the arguments ask this process to check a recognition model, loads the
// engine module, runs the check and ends the process with its verdict; otherwise returns.
void checkRecognitionModelIfAsked(int argc, char** argv);

} // namespace quelt
