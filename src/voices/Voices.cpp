#include "voices/Voices.h"

#include "platform/LanguageTag.h"
#include "protocol/HelperError.h"
#include "protocol/OpHost.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace quelt {
namespace {

std::string composed(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status))
    return text;
  icu::UnicodeString normalized = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
  if (U_FAILURE(status))
    return text;
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

// The first non-empty piece of a normalised language; nothing when it has none.
std::optional<std::string> firstPiece(const std::string& normalized) {
  size_t start = 0;
  while (start <= normalized.size()) {
    size_t end = normalized.find('-', start);
    if (end == std::string::npos)
      end = normalized.size();
    if (end > start)
      return normalized.substr(start, end - start);
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<VoiceInfo> pick(const std::vector<VoiceInfo>& candidates) {
  if (candidates.empty())
    return std::nullopt;
  const VoiceInfo* best = &candidates.front();
  for (const auto& voice : candidates) {
    if (qualityRank(voice) != qualityRank(*best)) {
      if (qualityRank(voice) > qualityRank(*best))
        best = &voice;
      continue;
    }
    if (isPersonal(voice) != isPersonal(*best)) {
      if (!isPersonal(voice))
        best = &voice;
      continue;
    }
    if (textBefore(voice.name, best->name))
      best = &voice;
  }
  return *best;
}

} // namespace

bool textBefore(const std::string& a, const std::string& b) {
  // UTF-8 byte order is code-point order.
  return composed(a) < composed(b);
}

std::string qualityString(const VoiceInfo& voice) {
  return voice.quality == 3 ? "premium" : voice.quality == 2 ? "enhanced" : "default";
}

int qualityRank(const VoiceInfo& voice) {
  return voice.quality == 3 ? 2 : voice.quality == 2 ? 1 : 0;
}

std::string genderString(const VoiceInfo& voice) {
  return voice.gender == 1 ? "male" : voice.gender == 2 ? "female" : "unspecified";
}

bool isNovelty(const VoiceInfo& voice) { return (voice.traits & 1u) != 0; }
bool isPersonal(const VoiceInfo& voice) { return (voice.traits & 2u) != 0; }

Json voiceJSON(const VoiceInfo& voice) {
  return {{"id", voice.identifier},        {"name", voice.name},
          {"language", voice.language},    {"quality", qualityString(voice)},
          {"gender", genderString(voice)}, {"is_personal", isPersonal(voice)},
          {"is_novelty", isNovelty(voice)}};
}

std::optional<VoiceInfo> bestVoice(SynthesizerService& synthesizer, const std::string& language) {
  std::string wanted = foldedTag(language);
  auto base = firstPiece(wanted).value_or(wanted);
  std::vector<VoiceInfo> ordinary;
  for (auto& voice : synthesizer.voices())
    if (!isNovelty(voice))
      ordinary.push_back(std::move(voice));
  std::vector<VoiceInfo> exact, family;
  for (const auto& voice : ordinary) {
    std::string normalized = foldedTag(voice.language);
    if (normalized == wanted)
      exact.push_back(voice);
    if (firstPiece(normalized) == base)
      family.push_back(voice);
  }
  if (auto chosen = pick(exact))
    return chosen;
  return pick(family);
}

std::optional<VoiceInfo> resolveVoice(SynthesizerService& synthesizer,
                                      const std::optional<std::string>& id,
                                      const std::optional<std::string>& language) {
  if (id && !id->empty()) {
    if (auto voice = synthesizer.voiceWithIdentifier(*id))
      return voice;
    throw HelperError(errors::voiceNotFound, *id);
  }
  if (!language || language->empty()) {
    if (auto voice = bestVoice(synthesizer, synthesizer.currentLanguageCode()))
      return voice;
    return synthesizer.voiceWithLanguage(std::nullopt);
  }
  if (auto voice = bestVoice(synthesizer, *language))
    return voice;
  if (auto voice = synthesizer.voiceWithLanguage(*language))
    return voice;
  throw HelperError(errors::voiceNotFound, "no voice for language " + *language);
}

void registerVoiceOps(OpHost& host, std::shared_ptr<SynthesizerService> synthesizer) {
  host.registerOp(ops::voicesList, [synthesizer](const Params&, Reply done) {
    auto voices = synthesizer->voices();
    std::stable_sort(voices.begin(), voices.end(), [](const VoiceInfo& a, const VoiceInfo& b) {
      if (a.language != b.language)
        return textBefore(a.language, b.language);
      if (qualityRank(a) != qualityRank(b))
        return qualityRank(a) > qualityRank(b);
      return textBefore(a.name, b.name);
    });
    Json list = Json::array();
    for (const auto& voice : voices)
      list.push_back(voiceJSON(voice));
    done(Json{{"voices", std::move(list)}});
  });
}

} // namespace quelt
