#pragma once

#include "platform/AudioFormat.h"
#include "platform/PcmBuffer.h"
#include "protocol/HelperError.h"

#include <functional>

namespace quelt {

// Where a capture's audio comes from. Buffers arrive in the source's own format on its own
// delivery thread; converting them for a recognizer is the engines' business.
class AudioSourceDriver {
public:
  using BufferHandler = std::function<void(const PcmBuffer& buffer)>;
  using EndHandler = std::function<void()>;
  using FailureHandler = std::function<void(const HelperError& error)>;

  virtual ~AudioSourceDriver() = default;

  // Opens what the source reads from, once, before start(). It may block for as long as the
  // source takes (a named pipe waits for its writer), so it never runs on the main queue; a
  // stop() meanwhile makes the start that follows deliver nothing. Throws HelperError.
  virtual void open() {}
  // The format of every buffer, fixed once the source is open.
  virtual const AudioFormat& format() const = 0;
  // Whether delivery may be held back while a recognizer catches up: true for a recording, whose
  // audio waits in its file; false for a live input, whose audio is lost if not taken.
  virtual bool canBeHeldBack() const { return false; }
  // Begins delivery and returns without waiting for audio; throws HelperError. `onBuffer` runs
  // on the delivery thread (never the main queue) and may not keep the buffer; `onEnd` (at most
  // once) and `onFailure` run on the main queue.
  virtual void start(BufferHandler onBuffer, EndHandler onEnd, FailureHandler onFailure) = 0;
  // Ends delivery: no callback follows, though one buffer already under way may still arrive.
  // Safe twice and before start.
  virtual void stop() = 0;
};

} // namespace quelt
