#pragma once

#include "Report.h"

#include <string>

namespace quelt::bench {

// Renders with a flite voice: against flite's own `flite -voice V -o out.wav` on the same text
// (voice loaded and from a fresh process), and several at once against one after another.
void fliteRenders(const std::string& helper, const std::string& fixtures, int runs, Report& report);

} // namespace quelt::bench
