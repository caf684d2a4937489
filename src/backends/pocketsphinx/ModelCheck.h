#pragma once

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <string>

namespace quelt {

// Whether the model loads in a process of `checker` (see checkPocketsphinxModelIfAsked), which
// is spared for a model remembered in `checkedModels` as having passed, and a model that passes
// is remembered there.
bool modelPassesCheck(const PocketsphinxModelFiles& files, const std::string& checker,
                      const std::string& checkedModels);

} // namespace quelt
