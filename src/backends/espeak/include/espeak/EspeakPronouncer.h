#pragma once

#include "platform/Pronouncer.h"

#include <memory>

namespace quelt {

// espeak-ng's letter-to-sound rules and dictionaries, in the calling process. espeak-ng is
// loaded with its data on the first word; its state is global, so every instance shares one
// lock.
std::shared_ptr<Pronouncer> makeEspeakPronouncer();

} // namespace quelt
