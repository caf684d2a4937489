#pragma once

#include "audio/AudioSourceDriver.h"
#include "platform/AudioServices.h"
#include "protocol/Clock.h"
#include "protocol/MainQueue.h"

#include <memory>
#include <mutex>
#include <string>

namespace quelt {

// How fast a file's audio is handed on.
enum class Pace {
  asRead,   // as fast as the file reads and the consumer takes it
  realtime, // at the file's own rate, as a microphone would
};

// Audio from a file, standing in for a microphone: buffers of a tenth of a second in the
// file's own format, then half a second of silence so a recognizer hears the speech end, then
// the end. Realtime delivery paces buffers at the file's rate; otherwise they come as fast as
// the file reads and the consumer takes them (a recognizer that falls behind holds delivery
// back rather than queueing the whole file).
//
// Delivery runs on a detached thread named "fixture-reader" that owns the reader and the
// callbacks, shares the clock and holds the source only weakly: dropping the source ends it
// like stop().
class FileSource : public AudioSourceDriver, public std::enable_shared_from_this<FileSource> {
public:
  // Opens nothing yet: the file may be a named pipe whose opening waits for a writer.
  static std::shared_ptr<FileSource> create(AudioServices& services, std::string path, Pace pace,
                                            std::shared_ptr<Clock> clock, PostToMain post);

  // Throws HelperError "io" ("open <path>: <why>", domain = the path) when the file cannot be
  // opened or is not audio.
  void open() override;
  const AudioFormat& format() const override { return format_; }
  bool canBeHeldBack() const override { return true; }
  void start(BufferHandler onBuffer, EndHandler onEnd, FailureHandler onFailure) override;
  void stop() override;

private:
  struct Delivery;

  FileSource(AudioServices& services, std::string path, Pace pace, std::shared_ptr<Clock> clock,
             PostToMain post);

  bool stopped() const;
  static void run(Delivery delivery);

  AudioServices& services_;
  const std::string path_;
  std::shared_ptr<AudioFileReader> reader_;
  AudioFormat format_;
  Pace pace_;
  std::shared_ptr<Clock> clock_;
  PostToMain post_;
  mutable std::mutex mutex_;
  bool stopped_ = false;
  bool started_ = false;
};

} // namespace quelt
