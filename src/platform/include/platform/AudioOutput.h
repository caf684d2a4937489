#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace quelt {

// Audio being heard, or timed as if it were.
class Playback {
public:
  virtual ~Playback() = default;
  // Samples heard so far.
  virtual int64_t position() = 0;
  virtual bool finished() = 0;
  // The audio stopped short of its end.
  virtual bool failed() { return false; }
  virtual void setPaused(bool paused) = 0;
};

// The system's default output, for one thread's use.
class AudioOutput {
public:
  virtual ~AudioOutput() = default;
  // Starts playing mono 16-bit `samples`, which must outlive the playback. Throws
  // PlatformError when the output cannot be reached.
  virtual std::unique_ptr<Playback> play(std::span<const int16_t> samples, double rate) = 0;
};

} // namespace quelt
