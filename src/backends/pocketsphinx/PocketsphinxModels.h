#pragma once

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <optional>
#include <string>

namespace quelt {

// The first model under `root` whose locale is `locale`, compared in canonical spelling ("en-us"
// and "EN-US" are "en-US").
std::optional<PocketsphinxModelFiles> findPocketsphinxModel(const std::string& root,
                                                            const std::string& locale);

} // namespace quelt
