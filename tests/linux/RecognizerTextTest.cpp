// The pocketsphinx backend's text rules on their own: sentences from its words, and ARPAbet
// pronunciations from espeak-ng's phonemes, checked against the dictionary's own entries.

#include "ArpabetPhones.h"
#include "Sentences.h"
#include "espeak/EspeakPronouncer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace quelt {
namespace {

TEST(RecognizerText, SentencesQuestionsAndTheCaseTheParentWrote) {
  Sentences sentences(phraseWords({"iPhone", "O'Brien said", "  <s> "}), "en-US");
  std::map<std::string, std::string> cases = {
      {"please open the door", "Please open the door."},
      {"what is the weather like today", "What is the weather like today?"},
      {"what time is it", "What time is it?"},
      {"when i get home i'll call you", "When I get home I'll call you."},
      {"how many people came", "How many people came?"},
      {"can you tell me the time", "Can you tell me the time?"},
      {"is the door open", "Is the door open?"},
      {"have a nice day", "Have a nice day."},
      {"do not go there", "Do not go there."},
      {"iphone is what o'brien said", "iPhone is what O'Brien said."},
  };
  for (const auto& [words, written] : cases)
    EXPECT_EQ(sentences.written(words, true), written);
  // Still being heard: no closing mark yet.
  EXPECT_EQ(sentences.written("can you", false), "Can you");
  EXPECT_EQ(sentences.written("", true), "");
  // Outside English only the capital and the full stop.
  EXPECT_EQ(Sentences({}, "fr-FR").written("est ce que i", true), "Est ce que i.");
}

// The dictionary's pronunciations of a word ("weather W EH DH ER"), every variant.
std::multimap<std::string, std::string> dictionary(const std::vector<std::string>& wanted) {
  std::multimap<std::string, std::string> entries;
  std::ifstream in("/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict");
  for (std::string line; std::getline(in, line);) {
    std::string word = line.substr(0, line.find_first_of(" ("));
    if (std::find(wanted.begin(), wanted.end(), word) != wanted.end())
      entries.emplace(word, line.substr(line.find(' ') + 1));
  }
  return entries;
}

TEST(RecognizerText, EspeakPhonemesBecomeTheDictionarysPronunciations) {
  const std::vector<std::string> words = {
      "hello",  "weather", "kitchen", "thought", "orange", "music",   "judge", "church",
      "vision", "sing",    "father",  "boy",     "house",  "bird",    "table", "yellow",
      "think",  "water",   "nice",    "garden",  "paper",  "morning", "river", "about"};
  auto entries = dictionary(words);
  ASSERT_FALSE(entries.empty()) << "no dictionary";
  auto pronouncer = makeEspeakPronouncer();
  size_t same = 0;
  for (const std::string& word : words) {
    std::string phones = arpabetFor(pronouncer->phonemes(word, "en-US"));
    EXPECT_FALSE(phones.empty()) << word;
    bool found = false;
    for (auto [at, end] = entries.equal_range(word); at != end; ++at)
      found = found || at->second == phones;
    same += found;
    if (!found)
      std::cout << word << ": " << phones << "\n";
  }
  // A word or two may differ in a vowel (espeak-ng's reduced vowels, its flaps).
  EXPECT_GE(same, words.size() * 3 / 4);
  EXPECT_EQ(arpabetFor({"k", "w", "ˈɛ", "l", "t"}), "K W EH L T");
  EXPECT_EQ(arpabetFor({"t", "æ", "v", "ˈɑːɹ", "ɹ", "i"}), "T AE V AA R IY");
  EXPECT_EQ(arpabetFor({"k", "☃"}), "");
}

} // namespace
} // namespace quelt
