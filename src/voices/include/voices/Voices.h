#pragma once

#include "platform/SynthesizerService.h"
#include "protocol/Json.h"

#include <optional>
#include <string>

namespace quelt {

class OpHost;

std::string qualityString(const VoiceInfo& voice);
int qualityRank(const VoiceInfo& voice);
std::string genderString(const VoiceInfo& voice);
bool isNovelty(const VoiceInfo& voice);
bool isPersonal(const VoiceInfo& voice);

Json voiceJSON(const VoiceInfo& voice);
// The best ordinary voice for a language: exact language first, then the same base language;
// higher quality, then not personal, then the smaller name.
std::optional<VoiceInfo> bestVoice(SynthesizerService& synthesizer, const std::string& language);
// The voice a speech request asks for: by id (which must exist), else by language (which must
// have one), else the best for the user's language or the platform default, maybe none at all.
std::optional<VoiceInfo> resolveVoice(SynthesizerService& synthesizer,
                                      const std::optional<std::string>& id,
                                      const std::optional<std::string>& language);

// Code-point order of the canonically composed forms: case-sensitive, not locale-aware.
bool textBefore(const std::string& a, const std::string& b);

// "voices.list"
void registerVoiceOps(OpHost& host, std::shared_ptr<SynthesizerService> synthesizer);

} // namespace quelt
