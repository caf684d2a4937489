#include "espeak/EspeakSynthesizerService.h"

#include "EspeakEngine.h"
#include "EspeakSpeechSynthesizer.h"
#include "EspeakVoices.h"

#include <strings.h>
#include <unicode/locid.h>

#include <algorithm>
#include <thread>

namespace quelt {
namespace {

constexpr const char* defaultVoiceName = "en";

std::string baseLanguage(const std::string& tag) { return tag.substr(0, tag.find_first_of("-_")); }

bool sameTag(std::string a, std::string b) {
  std::replace(a.begin(), a.end(), '_', '-');
  std::replace(b.begin(), b.end(), '_', '-');
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

EspeakSynthesizerService::EspeakSynthesizerService(std::string workerProgram,
                                                   MakeAudioOutput makeOutput,
                                                   std::function<void(const std::string&)> log,
                                                   std::chrono::milliseconds stallLimit)
    : engine_(std::make_shared<EspeakEngine>(std::move(workerProgram), std::move(makeOutput),
                                             std::move(log), stallLimit)) {
  // The voices are read while the helper does other things, so that the first request that
  // needs them finds them, or waits less.
  std::thread([engine = engine_] { engine->catalogue(); }).detach();
}

EspeakSynthesizerService::~EspeakSynthesizerService() { engine_->stop(); }

std::vector<VoiceInfo> EspeakSynthesizerService::voices() {
  std::vector<VoiceInfo> voices;
  for (const auto& voice : engine_->catalogue()->voices)
    voices.push_back(voice.info);
  return voices;
}

std::optional<VoiceInfo>
EspeakSynthesizerService::voiceWithIdentifier(const std::string& identifier) {
  for (const auto& voice : engine_->catalogue()->voices)
    if (voice.info.identifier == identifier)
      return voice.info;
  return std::nullopt;
}

std::optional<VoiceInfo>
EspeakSynthesizerService::voiceWithLanguage(const std::optional<std::string>& language) {
  std::string wanted = language.value_or(defaultVoiceName);
  // Whole tag, then a voice for just the base language, then any voice of that base language;
  // espeak-ng's priority and then its order among equals.
  auto rank = [&](const EspeakVoice& voice) {
    if (sameTag(voice.info.language, wanted))
      return 0;
    std::string base = baseLanguage(wanted);
    if (sameTag(voice.info.language, base))
      return 1;
    if (sameTag(baseLanguage(voice.info.language), base))
      return 2;
    return 3;
  };
  auto catalogue = engine_->catalogue();
  const EspeakVoice* best = nullptr;
  int bestRank = 3;
  for (const auto& voice : catalogue->voices) {
    int r = rank(voice);
    if (r < bestRank || (best && r == bestRank && voice.priority < best->priority)) {
      best = &voice;
      bestRank = r;
    }
  }
  return best ? std::optional(best->info) : std::nullopt;
}

std::string EspeakSynthesizerService::currentLanguageCode() {
  const icu::Locale& locale = icu::Locale::getDefault();
  std::string language = locale.getLanguage();
  std::string region = locale.getCountry();
  if (language.empty())
    return "en-US";
  return region.empty() ? language : language + "-" + region;
}

std::shared_ptr<SpeechSynthesizer> EspeakSynthesizerService::makeSynthesizer() {
  return std::make_shared<EspeakSpeechSynthesizer>(engine_);
}

} // namespace quelt
