#include "PhraseWords.h"

#include <array>
#include <string_view>

namespace quelt {
namespace {

// Punctuation around a word, which is not part of what is said.
constexpr std::array<std::string_view, 21> around{".", ",", ";", ":", "!", "?", "\"",
                                                  "(", ")", "[", "]", "{", "}", "'",
                                                  "“", "”", "‘", "’", "«", "»", "…"};

std::string_view trimmed(std::string_view word) {
  for (bool again = true; again && !word.empty();) {
    again = false;
    for (std::string_view mark : around) {
      if (word.size() >= mark.size() && word.substr(0, mark.size()) == mark) {
        word.remove_prefix(mark.size());
        again = true;
      }
      if (word.size() >= mark.size() && word.substr(word.size() - mark.size()) == mark) {
        word.remove_suffix(mark.size());
        again = true;
      }
    }
  }
  return word;
}

bool control(unsigned char c) { return c < 0x20 || c == 0x7f; }

} // namespace

std::vector<std::vector<PhraseWord>> phraseWords(const std::vector<std::string>& strings) {
  std::vector<std::vector<PhraseWord>> phrases;
  for (const std::string& string : strings) {
    std::vector<PhraseWord> words;
    std::string_view rest = string;
    while (!rest.empty()) {
      size_t start = rest.find_first_not_of(" \t\r\n");
      if (start == std::string_view::npos)
        break;
      rest.remove_prefix(start);
      size_t end = rest.find_first_of(" \t\r\n");
      std::string_view word = trimmed(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
      // The decoder's own marks ("<s>", "[NOISE]") are no words of a phrase.
      if (word.empty() || word.front() == '<' || word.front() == '[')
        continue;
      std::string spoken(word);
      bool usable = true;
      for (char& c : spoken) {
        usable = usable && !control(static_cast<unsigned char>(c));
        if (c >= 'A' && c <= 'Z')
          c = static_cast<char>(c - 'A' + 'a');
      }
      if (usable)
        words.push_back({std::move(spoken), std::string(word)});
    }
    if (!words.empty())
      phrases.push_back(std::move(words));
  }
  return phrases;
}

} // namespace quelt
