#include "EspeakJob.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cmath>

namespace quelt {
namespace {

// Straight lines between (x0, y0), (x1, y1) and (x2, y2), clamped to that span.
double piecewise(double x, double x0, double y0, double x1, double y1, double x2, double y2) {
  x = std::clamp(x, x0, x2);
  if (x <= x1)
    return y0 + (y1 - y0) * (x - x0) / (x1 - x0);
  return y1 + (y2 - y1) * (x - x1) / (x2 - x1);
}

int wordsPerMinute(const SpeechUtterance& u) {
  double rate = u.rate.value_or(0.5f);
  return static_cast<int>(std::lround(
      piecewise(rate, 0, espeakRATE_MINIMUM, 0.5, espeakRATE_NORMAL, 1, espeakRATE_MAXIMUM)));
}

int espeakPitch(const SpeechUtterance& u) {
  return static_cast<int>(std::lround(piecewise(u.pitch.value_or(1.0f), 0.5, 0, 1, 50, 2, 100)));
}

int espeakVolume(const SpeechUtterance& u) {
  return static_cast<int>(std::lround(std::clamp(u.volume.value_or(1.0f), 0.0f, 1.0f) * 100));
}

} // namespace

Json jobFor(const SpeechUtterance& utterance, const Catalogue& catalogue, bool words) {
  Json job = {{"text", utterance.text},
              {"voice", nullptr},
              {"language", nullptr},
              {"rate", wordsPerMinute(utterance)},
              {"pitch", espeakPitch(utterance)},
              {"volume", espeakVolume(utterance)},
              {"words", words}};
  if (const auto& wanted = utterance.voice) {
    for (const auto& voice : catalogue.voices)
      if (voice.info.identifier == wanted->identifier)
        job["voice"] = voice.file;
    job["language"] = wanted->language;
  }
  return job;
}

} // namespace quelt
