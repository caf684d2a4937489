#pragma once

#include "platform/PcmBuffer.h"
#include "protocol/HelperError.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quelt {

enum class EngineKind { recognizer, analyzer };

// The wire name, exact and case-sensitive.
std::string_view engineKindName(EngineKind kind);

// How an engine reports back; every call comes on the main queue.
struct SegmentCallbacks {
  // The segment's whole current hypothesis, not a delta.
  std::function<void(int64_t segment, const std::string& text)> partial;
  std::function<void(int64_t segment, const std::string& text, std::optional<double> confidence)>
      final;
  std::function<void(int64_t segment, const HelperError& error)> failure;
};

// The longest an engine waits, after the end of its audio, for the recognizer's final result.
inline constexpr std::chrono::milliseconds finalizeTimeout{8000};

// One segment's recognition. Made fresh for each segment and never reused. Once endAudio() has
// been called exactly one of final or failure follows, unless cancel() comes first; after
// cancel() nothing is delivered.
class SegmentEngine {
public:
  virtual ~SegmentEngine() = default;

  virtual int64_t index() const = 0;
  // On the audio delivery thread; safe against endAudio and cancel on the main queue.
  virtual void append(const PcmBuffer& buffer) = 0;
  // On the main queue; a second call does nothing.
  virtual void endAudio() = 0;
  // On the main queue.
  virtual void cancel() = 0;
};

} // namespace quelt
