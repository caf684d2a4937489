#pragma once

#include <string>
#include <vector>

namespace quelt {

// A word's pronunciation in the ARPAbet phones of pocketsphinx's English model ("K W EH L T"),
// from its phonemes in IPA as espeak-ng gives them (k, w, ˈɛ, l, t). Stress and length marks
// are dropped; a phoneme with no counterpart makes the whole word unpronounceable (empty).
std::string arpabetFor(const std::vector<std::string>& ipa);

} // namespace quelt
