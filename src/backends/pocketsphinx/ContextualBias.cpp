#include "ContextualBias.h"

#include "ArpabetPhones.h"

#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>

namespace quelt {
namespace {

constexpr const char* searchName = "contextual";

// The phrases as an ARPA bigram model: every word equally likely on its own, and within a
// phrase each word followed by the next.
std::string phraseModel(const std::vector<std::vector<PhraseWord>>& phrases,
                        const std::set<std::string>& known) {
  std::set<std::string> words;
  std::map<std::string, std::set<std::string>> next;
  for (const auto& phrase : phrases) {
    for (size_t i = 0; i < phrase.size(); ++i) {
      if (!known.count(phrase[i].spoken))
        continue;
      words.insert(phrase[i].spoken);
      if (i + 1 < phrase.size() && known.count(phrase[i + 1].spoken))
        next[phrase[i].spoken].insert(phrase[i + 1].spoken);
    }
  }
  if (words.empty())
    return {};
  size_t bigrams = 0;
  for (const auto& [word, followers] : next)
    bigrams += followers.size();
  std::ostringstream arpa;
  arpa << "\\data\\\nngram 1=" << words.size() + 2 << "\nngram 2=" << bigrams << "\n\n\\1-grams:\n";
  // Sentence marks come from the model's own side of the mix.
  arpa << "-99 <s> 0\n-99 </s> 0\n";
  double unigram = -std::log10(static_cast<double>(words.size()));
  for (const std::string& word : words)
    arpa << unigram << ' ' << word << " 0\n";
  arpa << "\n\\2-grams:\n";
  for (const auto& [word, followers] : next)
    for (const std::string& follower : followers)
      arpa << -std::log10(static_cast<double>(followers.size())) << ' ' << word << ' ' << follower
           << '\n';
  arpa << "\n\\end\\\n";
  return arpa.str();
}

// pocketsphinx reads models from files only; an anonymous one in memory leaves nothing behind.
ngram_model_t* readModel(LoadedModel& model, const std::string& text, logmath_t* logmath) {
  int fd = memfd_create("quelt-contextual-lm", MFD_CLOEXEC);
  if (fd < 0)
    return nullptr;
  ngram_model_t* read = nullptr;
  if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    model.withConfig([&](cmd_ln_t* config) {
      read = ngram_model_read(config, path.c_str(), NGRAM_ARPA, logmath);
    });
  }
  ::close(fd);
  return read;
}

} // namespace

Bias biasDecoder(ps_decoder_t* decoder, LoadedModel& model,
                 const std::vector<std::vector<PhraseWord>>& phrases, Pronouncer* pronouncer,
                 const std::string& language, const std::function<void(const std::string&)>& log) {
  // The words the dictionary has, and pronunciations for those it lacks. The phones are
  // ARPAbet, the English model's.
  const bool english = language.rfind("en", 0) == 0;
  std::set<std::string> known;
  std::vector<std::pair<std::string, std::string>> added;
  for (const auto& phrase : phrases) {
    for (const PhraseWord& word : phrase) {
      if (known.count(word.spoken))
        continue;
      if (char* pronunciation = ps_lookup_word(decoder, word.spoken.c_str())) {
        ckd_free(pronunciation);
        known.insert(word.spoken);
        continue;
      }
      std::string phones = english && pronouncer
                               ? arpabetFor(pronouncer->phonemes(word.written, language))
                               : std::string();
      if (!phones.empty()) {
        added.emplace_back(word.spoken, phones);
        known.insert(word.spoken);
      } else if (log) {
        log("pocketsphinx: no pronunciation for the contextual word \"" + word.written + "\"");
      }
    }
  }
  std::string arpa = phraseModel(phrases, known);
  if (arpa.empty())
    return Bias::unchanged;
  ngram_model_t* phraseLm = readModel(model, arpa, ps_get_logmath(decoder));
  std::string ownSearch = ps_get_search(decoder);
  ngram_model_t* own = ps_get_lm(decoder, ownSearch.c_str());
  ngram_model_set_iter_t* first = own ? ngram_model_set_iter(own) : nullptr;
  if (!phraseLm || !first) {
    ngram_model_free(phraseLm);
    if (first)
      ngram_model_set_iter_free(first);
    return Bias::unchanged;
  }
  ngram_model_t* base = ngram_model_set_iter_model(first, nullptr);
  ngram_model_set_iter_free(first);
  ngram_model_t* models[] = {base, phraseLm};
  char ownName[] = "own", phraseName[] = "phrases";
  char* names[] = {ownName, phraseName};
  const float32 weights[] = {1 - contextualWeight, contextualWeight};
  ngram_model_t* mix = nullptr;
  model.withConfig(
      [&](cmd_ln_t* config) { mix = ngram_model_set_init(config, models, names, weights, 2); });
  ngram_model_free(phraseLm); // the mix holds it
  if (!mix)
    return Bias::unchanged;
  if (!added.empty()) {
    // A word added to the dictionary goes into the model of every search there is. With the
    // model's own search gone first, the model the mix shares is left as it was: the mix has
    // the words already.
    ps_unset_search(decoder, ownSearch.c_str());
    for (const auto& [word, phones] : added)
      if (ps_add_word(decoder, word.c_str(), phones.c_str(), FALSE) < 0 && log)
        log("pocketsphinx: the contextual word \"" + word + "\" could not be added");
  }
  // A search reads, and counts references to, the configuration the pool's decoders share.
  bool searching = false;
  model.withConfig([&](cmd_ln_t*) {
    searching = ps_set_lm(decoder, searchName, mix) >= 0 && ps_set_search(decoder, searchName) >= 0;
  });
  ngram_model_free(mix); // the search holds it
  return searching ? Bias::biased : Bias::broken;
}

} // namespace quelt
