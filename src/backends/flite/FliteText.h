#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quelt {

// A word of the text as flite's tokens take it: what stands between white space, its leading
// and trailing punctuation apart. Offsets are bytes of the UTF-8 text.
struct FliteToken {
  size_t wordBegin = 0; // the word without its punctuation: the range reported
  size_t wordEnd = 0;
  std::string name; // the word as flite reads it: ASCII, accents taken off
  std::string whitespace;
  std::string prepunctuation;
  std::string punctuation;
  // A long word is said in pieces; the pieces after its first report no range of their own.
  enum class Part { first, continuation } part = Part::first;
};

// The text in sentences, each said as one flite utterance, so that a long text is said (and
// its memory held) a sentence at a time. Words with nothing flite can read (emoji, CJK) are
// left out.
std::vector<std::vector<FliteToken>> fliteSentences(std::string_view text);

} // namespace quelt
