#include "synthesis/WorkerSynthesizerService.h"

#include "SynthesisWorkers.h"
#include "VoiceCatalogue.h"
#include "WorkerSpeechSynthesizer.h"

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

WorkerSynthesizerService::WorkerSynthesizerService(std::string workerProgram,
                                                   MakeAudioOutput makeOutput,
                                                   std::function<void(const std::string&)> log,
                                                   std::chrono::milliseconds stallLimit)
    : workers_(std::make_shared<SynthesisWorkers>(std::move(workerProgram), std::move(makeOutput),
                                                  std::move(log), stallLimit)) {
  // The voices are read while the helper does other things, so that the first request that
  // needs them finds them, or waits less.
  std::thread([workers = workers_] { workers->catalogue(); }).detach();
}

WorkerSynthesizerService::~WorkerSynthesizerService() { workers_->stop(); }

std::vector<VoiceInfo> WorkerSynthesizerService::voices() {
  std::vector<VoiceInfo> voices;
  for (const auto& voice : workers_->catalogue()->voices)
    voices.push_back(voice.info);
  return voices;
}

std::optional<VoiceInfo>
WorkerSynthesizerService::voiceWithIdentifier(const std::string& identifier) {
  for (const auto& voice : workers_->catalogue()->voices)
    if (voice.info.identifier == identifier)
      return voice.info;
  return std::nullopt;
}

std::optional<VoiceInfo>
WorkerSynthesizerService::voiceWithLanguage(const std::optional<std::string>& language) {
  std::string wanted = language.value_or(defaultVoiceName);
  // Whole tag, then a voice for just the base language, then any voice of that base language;
  // then the engines' order, each engine's own preference, and its order among equals.
  auto rank = [&](const CatalogueVoice& voice) {
    if (sameTag(voice.info.language, wanted))
      return 0;
    std::string base = baseLanguage(wanted);
    if (sameTag(voice.info.language, base))
      return 1;
    if (sameTag(baseLanguage(voice.info.language), base))
      return 2;
    return 3;
  };
  auto catalogue = workers_->catalogue();
  auto engine = [&](const CatalogueVoice& voice) {
    return std::find(catalogue->engines.begin(), catalogue->engines.end(), voice.engine) -
           catalogue->engines.begin();
  };
  const CatalogueVoice* best = nullptr;
  int bestRank = 3;
  for (const auto& voice : catalogue->voices) {
    int r = rank(voice);
    if (r < bestRank ||
        (best && r == bestRank &&
         std::pair(engine(voice), voice.priority) < std::pair(engine(*best), best->priority))) {
      best = &voice;
      bestRank = r;
    }
  }
  return best ? std::optional(best->info) : std::nullopt;
}

std::string WorkerSynthesizerService::currentLanguageCode() {
  const icu::Locale& locale = icu::Locale::getDefault();
  std::string language = locale.getLanguage();
  std::string region = locale.getCountry();
  if (language.empty())
    return "en-US";
  return region.empty() ? language : language + "-" + region;
}

std::shared_ptr<SpeechSynthesizer> WorkerSynthesizerService::makeSynthesizer() {
  return std::make_shared<WorkerSpeechSynthesizer>(workers_);
}

} // namespace quelt
