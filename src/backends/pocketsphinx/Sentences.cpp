#include "Sentences.h"

#include <algorithm>
#include <array>

namespace quelt {
namespace {

template <size_t N> bool among(const std::array<std::string_view, N>& set, std::string_view word) {
  return std::find(set.begin(), set.end(), word) != set.end();
}

constexpr std::array<std::string_view, 14> interrogatives{
    "what", "who",   "whom",   "whose", "where",   "when",  "why",
    "how",  "which", "what's", "who's", "where's", "how's", "when's"};
// What opens a question right after "how": "how many", "how about".
constexpr std::array<std::string_view, 5> howQuestions{"many", "much", "about", "come", "long"};

constexpr std::array<std::string_view, 9> beVerbs{"is",    "are",    "was",    "were",   "am",
                                                  "isn't", "aren't", "wasn't", "weren't"};
constexpr std::array<std::string_view, 25> otherAuxiliaries{
    "can",      "could",     "will",  "would",   "shall",  "should",  "may",   "might",    "must",
    "do",       "does",      "did",   "have",    "has",    "had",     "can't", "couldn't", "won't",
    "wouldn't", "shouldn't", "don't", "doesn't", "didn't", "haven't", "hasn't"};
constexpr std::array<std::string_view, 20> pronouns{
    "i",      "you",     "he",       "she",       "it",       "we",       "they",
    "there",  "this",    "that",     "these",     "those",    "someone",  "somebody",
    "anyone", "anybody", "everyone", "everybody", "anything", "something"};
// After a form of "be" a noun phrase can be the subject: "is the door open".
constexpr std::array<std::string_view, 12> determiners{
    "the", "a", "an", "my", "your", "his", "her", "its", "our", "their", "any", "some"};

std::vector<std::string_view> split(std::string_view words) {
  std::vector<std::string_view> out;
  while (!words.empty()) {
    size_t space = words.find(' ');
    if (space != 0)
      out.push_back(words.substr(0, space));
    if (space == std::string_view::npos)
      break;
    words.remove_prefix(space + 1);
  }
  return out;
}

bool auxiliary(std::string_view word) {
  return among(beVerbs, word) || among(otherAuxiliaries, word);
}

bool question(const std::vector<std::string_view>& words) {
  if (words.empty())
    return false;
  std::string_view first = words[0];
  if (among(interrogatives, first)) {
    // "when I get home I will call" is no question: the verb must come early.
    if (words.size() == 1 || first.find('\'') != std::string_view::npos)
      return true;
    if (first == "how" && among(howQuestions, words[1]))
      return true;
    return auxiliary(words[1]) || (words.size() > 2 && auxiliary(words[2]));
  }
  if (words.size() < 2)
    return false;
  if (among(beVerbs, first))
    return among(pronouns, words[1]) || among(determiners, words[1]);
  return among(otherAuxiliaries, first) && among(pronouns, words[1]);
}

} // namespace

Sentences::Sentences(const std::vector<std::vector<PhraseWord>>& phrases, std::string_view language)
    : english_(language.substr(0, 2) == "en" &&
               (language.size() == 2 || language[2] == '-' || language[2] == '_')) {
  for (const auto& phrase : phrases)
    for (const PhraseWord& word : phrase)
      if (word.written != word.spoken)
        casing_.emplace(word.spoken, word.written);
}

std::string Sentences::written(std::string_view words, bool settled) const {
  std::vector<std::string_view> said = split(words);
  if (said.empty())
    return {};
  std::string out;
  bool asWritten = false; // the first word: the parent's own case wins over the sentence's
  for (std::string_view word : said) {
    if (!out.empty())
      out += ' ';
    size_t start = out.size();
    if (auto found = casing_.find(std::string(word)); found != casing_.end()) {
      asWritten = asWritten || start == 0;
      out += found->second;
    } else {
      out += word;
      // "i", "i'm", "i'll", "i'd", "i've"
      if (english_ && word[0] == 'i' && (word.size() == 1 || word[1] == '\''))
        out[start] = 'I';
    }
  }
  if (!asWritten && out[0] >= 'a' && out[0] <= 'z')
    out[0] = static_cast<char>(out[0] - 'a' + 'A');
  if (settled)
    out += english_ && question(said) ? '?' : '.';
  return out;
}

} // namespace quelt
