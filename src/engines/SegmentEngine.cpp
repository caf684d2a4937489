#include "engines/SegmentEngine.h"

namespace quelt {

std::optional<EngineKind> engineKindFromName(std::string_view name) {
  if (name == "speech_recognizer")
    return EngineKind::recognizer;
  if (name == "speech_analyzer")
    return EngineKind::analyzer;
  return std::nullopt;
}

std::string_view engineKindName(EngineKind kind) {
  return kind == EngineKind::recognizer ? "speech_recognizer" : "speech_analyzer";
}

} // namespace quelt
