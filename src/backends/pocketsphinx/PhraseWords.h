#pragma once

#include <string>
#include <vector>

namespace quelt {

// One word of a capture's contextual strings: as the recognizer's dictionary spells it
// (lower case, no surrounding punctuation: "o'brien") and as the parent wrote it ("O'Brien").
struct PhraseWord {
  std::string spoken;
  std::string written;
};

// Each contextual string's words, in order; strings without a word are left out.
std::vector<std::vector<PhraseWord>> phraseWords(const std::vector<std::string>& strings);

} // namespace quelt
