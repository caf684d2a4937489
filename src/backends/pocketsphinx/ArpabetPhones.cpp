#include "ArpabetPhones.h"

#include <array>
#include <string_view>
#include <utility>

namespace quelt {
namespace {

// espeak-ng's American English phonemes and the nearest ARPAbet phones. The r-coloured
// vowels come as a vowel and "ɹ" (or as one "ɑːɹ"), the centring diphthongs of "ear", "air"
// and "tour" as their first vowel before an "ɹ". The flap of "better" is the dictionary's T.
constexpr std::array<std::pair<std::string_view, std::string_view>, 64> phones{{
    {"aɪə", "AY AH"}, {"aʊə", "AW AH"}, {"ɑːɹ", "AA R"}, {"ɔːɹ", "AO R"}, {"oːɹ", "AO R"},
    {"ɜːɹ", "ER"},    {"aɪ", "AY"},     {"aʊ", "AW"},    {"eɪ", "EY"},    {"oʊ", "OW"},
    {"əʊ", "OW"},     {"ɔɪ", "OY"},     {"iə", "IH"},    {"eə", "EH"},    {"ʊə", "UH"},
    {"tʃ", "CH"},     {"dʒ", "JH"},     {"ɜː", "ER"},    {"ɚ", "ER"},     {"ɝ", "ER"},
    {"æ", "AE"},      {"a", "AE"},      {"ɑ", "AA"},     {"ɒ", "AA"},     {"ʌ", "AH"},
    {"ə", "AH"},      {"ɐ", "AH"},      {"ɛ", "EH"},     {"e", "EH"},     {"ɪ", "IH"},
    {"ᵻ", "IH"},      {"i", "IY"},      {"ɔ", "AO"},     {"o", "OW"},     {"ʊ", "UH"},
    {"u", "UW"},      {"b", "B"},       {"d", "D"},      {"ð", "DH"},     {"f", "F"},
    {"ɡ", "G"},       {"g", "G"},       {"h", "HH"},     {"j", "Y"},      {"k", "K"},
    {"l", "L"},       {"m", "M"},       {"n", "N"},      {"ŋ", "NG"},     {"p", "P"},
    {"ɹ", "R"},       {"r", "R"},       {"s", "S"},      {"ʃ", "SH"},     {"t", "T"},
    {"ɾ", "T"},       {"ʔ", "T"},       {"θ", "TH"},     {"v", "V"},      {"w", "W"},
    {"ʍ", "W"},       {"z", "Z"},       {"ʒ", "ZH"},     {"x", "K"},
}};

// Marks that change no phone: primary and secondary stress, length, the syllabic mark.
constexpr std::array<std::string_view, 4> ignored{"ˈ", "ˌ", "ː", "\u0329"};

// The longest phoneme of the tables at the start of `rest`, or nothing.
std::pair<size_t, std::string_view> longestAt(std::string_view rest) {
  std::pair<size_t, std::string_view> best{0, {}};
  for (const auto& [ipa, arpabet] : phones)
    if (ipa.size() > best.first && rest.substr(0, ipa.size()) == ipa)
      best = {ipa.size(), arpabet};
  return best;
}

} // namespace

std::string arpabetFor(const std::vector<std::string>& ipa) {
  std::string out;
  auto add = [&](std::string_view phone) {
    // "ɑːɹ" then a linking "ɹ": one R.
    if (phone == "R" && out.size() >= 2 && out.compare(out.size() - 2, 2, " R") == 0)
      return;
    if (phone == "R" && out == "R")
      return;
    if (!out.empty())
      out += ' ';
    out += phone;
  };
  for (const std::string& phoneme : ipa) {
    // Length marks first, so "ɑːɹ" is matched whole before "ː" goes.
    std::string_view rest = phoneme;
    while (!rest.empty()) {
      bool skipped = false;
      for (std::string_view mark : ignored)
        if (rest.substr(0, mark.size()) == mark && !longestAt(rest).first) {
          rest.remove_prefix(mark.size());
          skipped = true;
        }
      if (skipped)
        continue;
      auto [length, phone] = longestAt(rest);
      if (length == 0)
        return {};
      for (size_t at = 0; at < phone.size();) {
        size_t space = phone.find(' ', at);
        if (space == std::string_view::npos)
          space = phone.size();
        add(phone.substr(at, space - at));
        at = space + 1;
      }
      rest.remove_prefix(length);
    }
  }
  return out;
}

} // namespace quelt
