#include "FliteText.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace quelt {
namespace {

// flite's own sets for US English.
constexpr std::string_view prepunctuationSymbols = "\"'`({[";
constexpr std::string_view postpunctuationSymbols = "\"'`.,:;!?(){}[]";
// A sentence this long is cut anyway, so that speech starts soon, memory stays small and the
// worker never goes quiet for long.
constexpr size_t maxSentenceTokens = 80;
constexpr size_t maxSentenceBytes = 400;
// flite spells out a long run of letters in one go, too long for a worker to go quiet; in
// pieces it goes a sentence at a time like any text.
constexpr size_t maxTokenBytes = 40;

bool isSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }

// flite's lexicon and letter rules know ASCII only: "Café" is read as "Cafe", and what has no
// ASCII letter at all is not read.
std::string asciiFolded(std::string_view word) {
  if (std::all_of(word.begin(), word.end(), [](char c) { return (c & 0x80) == 0; }))
    return std::string(word);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(word);
  if (U_SUCCESS(status))
    text = nfd->normalize(text, status);
  std::string folded;
  for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
    UChar32 c = text.char32At(i);
    if (c < 0x80)
      folded += static_cast<char>(c);
  }
  return folded;
}

// Quotes and dashes beyond ASCII ("“quoted”") are not part of the word either.
void trimPunctuation(std::string_view text, size_t& begin, size_t& end) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  while (begin < end) {
    auto at = static_cast<int32_t>(begin);
    UChar32 c;
    U8_NEXT(bytes, at, static_cast<int32_t>(end), c);
    if (c < 0x80 || !u_ispunct(c))
      break;
    begin = static_cast<size_t>(at);
  }
  while (end > begin) {
    auto at = static_cast<int32_t>(end);
    UChar32 c;
    U8_PREV(bytes, static_cast<int32_t>(begin), at, c);
    if (c < 0x80 || !u_ispunct(c))
      break;
    end = static_cast<size_t>(at);
  }
}

bool endsSentence(const FliteToken& previous, const FliteToken& next) {
  const std::string& punctuation = previous.punctuation;
  if (next.whitespace.find("\n\n") != std::string::npos)
    return true;
  if (punctuation.find_first_of("?!") != std::string::npos)
    return true;
  if (punctuation.find('.') == std::string::npos)
    return false;
  char first = next.name.empty() ? ' ' : next.name.front();
  return next.whitespace.find('\n') != std::string::npos || (first >= 'A' && first <= 'Z') ||
         !next.prepunctuation.empty();
}

std::vector<FliteToken> pieces(FliteToken token) {
  std::vector<FliteToken> pieces;
  std::string name = std::move(token.name);
  std::string punctuation = std::move(token.punctuation);
  for (size_t at = 0; at < name.size(); at += maxTokenBytes) {
    FliteToken piece = token;
    piece.name = name.substr(at, maxTokenBytes);
    if (at > 0) {
      piece.part = FliteToken::Part::continuation;
      piece.whitespace.assign(1, ' ');
      piece.prepunctuation.clear();
    }
    if (at + maxTokenBytes >= name.size())
      piece.punctuation = punctuation;
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

} // namespace

std::vector<std::vector<FliteToken>> fliteSentences(std::string_view text) {
  std::vector<std::vector<FliteToken>> sentences(1);
  size_t sentenceBytes = 0;
  std::string whitespace;
  size_t at = 0;
  while (at < text.size()) {
    if (isSpace(text[at])) {
      whitespace += text[at] == '\0' ? ' ' : text[at];
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !isSpace(text[end]))
      ++end;
    size_t wordBegin = at;
    size_t wordEnd = end;
    while (wordBegin < wordEnd && prepunctuationSymbols.find(text[wordBegin]) != std::string::npos)
      ++wordBegin;
    while (wordEnd > wordBegin &&
           postpunctuationSymbols.find(text[wordEnd - 1]) != std::string::npos)
      --wordEnd;
    trimPunctuation(text, wordBegin, wordEnd);
    FliteToken token;
    token.wordBegin = wordBegin;
    token.wordEnd = wordEnd;
    token.name = asciiFolded(text.substr(wordBegin, wordEnd - wordBegin));
    token.prepunctuation = asciiFolded(text.substr(at, wordBegin - at));
    token.punctuation = asciiFolded(text.substr(wordEnd, end - wordEnd));
    token.whitespace = std::move(whitespace);
    whitespace.clear();
    at = end;
    if (token.name.empty())
      continue;
    for (FliteToken& piece : pieces(std::move(token))) {
      auto& sentence = sentences.back();
      if (!sentence.empty() &&
          (endsSentence(sentence.back(), piece) || sentence.size() >= maxSentenceTokens ||
           sentenceBytes + piece.name.size() > maxSentenceBytes)) {
        sentences.emplace_back();
        sentenceBytes = 0;
      }
      sentenceBytes += piece.name.size();
      sentences.back().push_back(std::move(piece));
    }
  }
  if (sentences.back().empty())
    sentences.pop_back();
  return sentences;
}

} // namespace quelt
