#pragma once

// Choosing a voice for a language as a person names it: "fr" means French as spoken in France,
// "zh" Mandarin, by the likely subtags ICU knows.

#include <nlohmann/json.hpp>

#include <string>

namespace quelt::client {

// What to add to a speech request that asks for `wanted` (a BCP 47 tag, "_" allowed), given the
// helper's "voices" list: {"language": tag} of the voices that speak the language's main
// variety, or {"voice": id} when only one voice among those of the same tag does, or
// {"language": wanted} as given when the list says nothing better.
nlohmann::json voiceChoiceFor(const std::string& wanted, const nlohmann::json& voices);

// Whether a voice whose language is `voiceLanguage` speaks what `wanted` names: the same tag, a
// region or variant of it, or a language ICU counts as the same (zh: cmn).
bool languageCovers(const std::string& wanted, const std::string& voiceLanguage);

} // namespace quelt::client
