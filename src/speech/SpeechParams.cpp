#include "speech/SpeechParams.h"

#include "protocol/HelperError.h"
#include "protocol/Identity.h"
#include "protocol/TextLength.h"
#include "voices/Voices.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace quelt {
namespace {

bool onlyWhiteSpace(const std::string& text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  for (int32_t at = 0; at < unicode.length(); at = unicode.moveIndex32(at, 1))
    if (!u_isUWhiteSpace(unicode.char32At(at)))
      return false;
  return true;
}

std::optional<float> ranged(const Params& request, const char* key, double low, double high,
                            const char* message) {
  auto value = request.number(key);
  if (!value)
    return std::nullopt;
  if (!(*value >= low && *value <= high))
    throw HelperError::invalid(message);
  return static_cast<float>(*value);
}

} // namespace

SpeechParams SpeechParams::fromRequest(const Params& request, SynthesizerService& synthesizer) {
  SpeechParams params;
  auto text = request.string("text");
  if (!text || onlyWhiteSpace(*text))
    throw HelperError::invalid("text is empty");
  if (userPerceivedLength(*text) > maxTextChars)
    throw HelperError::invalid("text exceeds " + std::to_string(maxTextChars) + " chars");
  params.voice = resolveVoice(synthesizer, request.string("voice"), request.string("language"));
  params.rate = ranged(request, "rate", 0.0, 1.0, "rate must be within 0.0...1.0");
  params.pitch = ranged(request, "pitch", 0.5, 2.0, "pitch must be within 0.5...2.0");
  params.volume = ranged(request, "volume", 0.0, 1.0, "volume must be within 0.0...1.0");
  params.text = std::move(*text);
  return params;
}

std::shared_ptr<SpeechUtterance> SpeechParams::makeUtterance() const {
  auto utterance = std::make_shared<SpeechUtterance>();
  utterance->text = text;
  utterance->voice = voice;
  utterance->rate = rate;
  utterance->pitch = pitch;
  utterance->volume = volume;
  return utterance;
}

SpeechBoundary boundary(const Params& request) {
  return request.string("boundary") == "word" ? SpeechBoundary::word : SpeechBoundary::immediate;
}

} // namespace quelt
