#include "espeak/EspeakPronouncer.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace quelt {
namespace {

// espeak-ng names its voices by lower-case language ("en-us").
std::string voiceFor(const std::string& language) {
  std::string voice = language;
  std::transform(voice.begin(), voice.end(), voice.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return voice;
}

class EspeakPronouncer : public Pronouncer {
public:
  std::vector<std::string> phonemes(const std::string& word, const std::string& language) override {
    static std::mutex mutex;
    static int rate = 0;
    static std::string voice; // the language espeak-ng is set to
    std::lock_guard lock(mutex);
    // Phonemes only: no audio device, no audio buffer.
    if (rate == 0)
      rate = espeak_Initialize(AUDIO_OUTPUT_RETRIEVAL, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (rate <= 0 || word.find('\0') != std::string::npos)
      return {};
    if (voice != language) {
      std::string name = voiceFor(language);
      if (espeak_SetVoiceByName(name.c_str()) != EE_OK &&
          espeak_SetVoiceByName(name.substr(0, name.find('-')).c_str()) != EE_OK)
        return {};
      voice = language;
    }
    // IPA, each phoneme followed by '_'; words are parted by spaces.
    constexpr int ipa = 0x02;
    constexpr int separated = '_' << 8;
    std::vector<std::string> out;
    const void* text = word.c_str();
    while (text) {
      const char* said = espeak_TextToPhonemes(&text, espeakCHARS_UTF8, ipa | separated);
      std::string piece = said ? said : "";
      size_t at = 0;
      while (at < piece.size()) {
        size_t end = piece.find_first_of("_ \n", at);
        if (end == std::string::npos)
          end = piece.size();
        if (end > at)
          out.push_back(piece.substr(at, end - at));
        at = end + 1;
      }
    }
    return out;
  }
};

} // namespace

std::shared_ptr<Pronouncer> makeEspeakPronouncer() { return std::make_shared<EspeakPronouncer>(); }

} // namespace quelt
