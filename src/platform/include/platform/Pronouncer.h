#pragma once

#include <string>
#include <vector>

namespace quelt {

// How a word is said, as a speech synthesizer would say it: its phonemes in the International
// Phonetic Alphabet, one string per phoneme, stress marks kept on the phoneme they precede.
// A recognizer uses it for words its own dictionary lacks.
class Pronouncer {
public:
  virtual ~Pronouncer() = default;
  // `language` is a BCP-47 tag ("en-US"). Empty when the word cannot be said in it.
  virtual std::vector<std::string> phonemes(const std::string& word,
                                            const std::string& language) = 0;
};

} // namespace quelt
