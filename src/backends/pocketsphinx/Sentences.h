#pragma once

#include "PhraseWords.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quelt {

// The recognizer's words as a person would write them. The decoder gives lower-case words
// without punctuation, one utterance per stretch of speech between pauses; each utterance
// becomes a sentence: its first word capitalised, "." at its end, or "?" when it reads as an
// English question (an interrogative, or an auxiliary verb before its subject). In English "i"
// and its contractions are "I", and every word of the capture's contextual strings keeps the
// case it was written in.
class Sentences {
public:
  Sentences(const std::vector<std::vector<PhraseWord>>& phrases, std::string_view language);

  // One utterance's words, as written. A settled utterance (the decoder has ended it) gets its
  // closing mark; one still being heard does not, as its end may yet change.
  std::string written(std::string_view words, bool settled) const;

private:
  bool english_;
  std::unordered_map<std::string, std::string> casing_;
};

} // namespace quelt
