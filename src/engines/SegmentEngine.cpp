#include "engines/SegmentEngine.h"

namespace quelt {

std::string_view engineKindName(EngineKind kind) {
  return kind == EngineKind::recognizer ? "speech_recognizer" : "speech_analyzer";
}

} // namespace quelt
