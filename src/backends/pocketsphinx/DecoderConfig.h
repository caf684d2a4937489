#pragma once

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <pocketsphinx.h>

namespace quelt {

// The decoder configuration for a model, as both the model check and the recognizers load it;
// null when pocketsphinx refuses it.
cmd_ln_t* makeDecoderConfig(const PocketsphinxModelFiles& files);

} // namespace quelt
