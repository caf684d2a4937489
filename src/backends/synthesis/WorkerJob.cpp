#include "WorkerJob.h"

namespace quelt {
namespace {

Json optional(const std::optional<float>& value) {
  return value ? Json(static_cast<double>(*value)) : Json(nullptr);
}

} // namespace

Json jobFor(const SpeechUtterance& utterance, const Catalogue& catalogue, WordReports words) {
  Json job = {{"engine", catalogue.engines.empty() ? "" : catalogue.engines.front()},
              {"text", utterance.text},
              {"voice", nullptr},
              {"language", nullptr},
              {"rate", optional(utterance.rate)},
              {"pitch", optional(utterance.pitch)},
              {"volume", optional(utterance.volume)},
              {"words", words == WordReports::on}};
  if (const auto& wanted = utterance.voice) {
    for (const auto& voice : catalogue.voices)
      if (voice.info.identifier == wanted->identifier) {
        job["engine"] = voice.engine;
        job["voice"] = voice.key;
      }
    job["language"] = wanted->language;
  }
  return job;
}

} // namespace quelt
