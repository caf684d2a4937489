#pragma once

#include "LoadedModel.h"
#include "PhraseWords.h"
#include "platform/Pronouncer.h"

#include <pocketsphinx.h>

#include <functional>
#include <string>
#include <vector>

namespace quelt {

// Turns a borrowed decoder towards a capture's contextual strings. Words its dictionary lacks
// are added with the pronunciation `pronouncer` gives them (mapped onto the model's phones),
// and the phrases become a small language model mixed into the model's own with a small
// weight, so that their words can be recognised at all and win over words that sound alike.
//
// pocketsphinx cannot take a word out of a decoder again, so a decoder this has changed must
// not decode for another capture: the caller discards it. A decoder left without a search
// (pocketsphinx could not make one) must not decode at all.
enum class Bias { unchanged, biased, broken };
Bias biasDecoder(ps_decoder_t* decoder, LoadedModel& model,
                 const std::vector<std::vector<PhraseWord>>& phrases, Pronouncer* pronouncer,
                 const std::string& language, const std::function<void(const std::string&)>& log);

// The share of the phrases' model in the mix. Large enough that a name heard clearly is
// taken, small enough that the rest of what is said is recognised as before.
inline constexpr float contextualWeight = 0.05f;

} // namespace quelt
