#pragma once

#include "platform/SynthesizerService.h"
#include "protocol/Params.h"

#include <memory>
#include <optional>
#include <string>

namespace quelt {

// A validated text-to-speech request: the same for speaking aloud and for rendering to a file.
struct SpeechParams {
  std::string text; // untrimmed, as sent
  std::optional<VoiceInfo> voice;
  std::optional<float> rate;
  std::optional<float> pitch;
  std::optional<float> volume;

  // Throws HelperError: the first rule the request breaks.
  static SpeechParams fromRequest(const Params& request, SynthesizerService& synthesizer);

  std::shared_ptr<SpeechUtterance> makeUtterance() const;
  // The voice's identifier, or "" for the platform default.
  std::string voiceIdentifier() const { return voice ? voice->identifier : std::string(); }
};

// "word" exactly selects the word boundary; anything else stops or pauses at once.
SpeechBoundary boundary(const Params& request);

} // namespace quelt
