#include "audio/FileSource.h"

#include "common/NativeError.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace quelt {
namespace {

// Half a second of silence at a tenth of a second each.
constexpr int tailBuffers = 5;

uint32_t chunkFrames(double sampleRate) {
  return std::max<uint32_t>(1, static_cast<uint32_t>(sampleRate / 10));
}

} // namespace

// Everything the reader thread needs, owned by it, so it runs on after the source is gone.
struct FileSource::Delivery {
  std::weak_ptr<FileSource> source;
  std::shared_ptr<AudioFileReader> reader;
  AudioFormat format;
  bool realtime;
  std::shared_ptr<Clock> clock;
  PostToMain post;
  BufferHandler onBuffer;
  EndHandler onEnd;
  FailureHandler onFailure;
};

std::shared_ptr<FileSource> FileSource::create(AudioServices& services, std::string path, Pace pace,
                                               std::shared_ptr<Clock> clock, PostToMain post) {
  return std::shared_ptr<FileSource>(
      new FileSource(services, std::move(path), pace, std::move(clock), std::move(post)));
}

FileSource::FileSource(AudioServices& services, std::string path, Pace pace,
                       std::shared_ptr<Clock> clock, PostToMain post)
    : services_(services), path_(std::move(path)), pace_(pace), clock_(std::move(clock)),
      post_(std::move(post)) {}

void FileSource::open() {
  std::unique_ptr<AudioFileReader> reader;
  try {
    reader = services_.openForReading(path_);
  } catch (const PlatformError& error) {
    throw HelperError(errors::io, "open " + path_ + ": " + error.description(),
                      {.domain = path_, .nativeCode = error.code()});
  }
  std::lock_guard lock(mutex_);
  format_ = reader->processingFormat();
  reader_ = std::move(reader);
}

void FileSource::start(BufferHandler onBuffer, EndHandler onEnd, FailureHandler onFailure) {
  std::shared_ptr<AudioFileReader> reader;
  {
    std::lock_guard lock(mutex_);
    if (started_)
      return;
    started_ = true;
    reader = std::move(reader_);
  }
  if (!reader)
    throw HelperError(errors::io, "open " + path_ + ": not opened", {.domain = path_});
  Delivery delivery{.source = weak_from_this(),
                    .reader = std::move(reader),
                    .format = format_,
                    .realtime = pace_ == Pace::realtime,
                    .clock = clock_,
                    .post = post_,
                    .onBuffer = std::move(onBuffer),
                    .onEnd = std::move(onEnd),
                    .onFailure = std::move(onFailure)};
  try {
    std::thread(&FileSource::run, std::move(delivery)).detach();
  } catch (const std::system_error& error) {
    throw nativeError(error, "start fixture reader");
  }
}

void FileSource::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
}

bool FileSource::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void FileSource::run(Delivery delivery) {
  pthread_setname_np(pthread_self(), "fixture-reader");
  // Plain references rather than a structured binding: clang before 16 cannot capture those.
  const auto& source = delivery.source;
  const auto& reader = delivery.reader;
  const AudioFormat& format = delivery.format;
  const bool realtime = delivery.realtime;
  Clock* clock = delivery.clock.get();
  const auto& post = delivery.post;
  const auto& onBuffer = delivery.onBuffer;
  const auto& onEnd = delivery.onEnd;
  const auto& onFailure = delivery.onFailure;

  // The reference taken here may be the last one, so the source can end on this thread.
  auto wanted = [&source] {
    auto self = source.lock();
    return self && !self->stopped();
  };

  uint32_t chunk = chunkFrames(format.sampleRate);
  Clock::TimePoint begin = clock->now();
  uint64_t delivered = 0;
  // Deadlines count from the start, so time lost to a late wake-up is made up, not carried.
  auto pace = [&](uint32_t frames) {
    if (!realtime)
      return;
    delivered += frames;
    auto deadline = begin + std::chrono::round<Clock::Duration>(std::chrono::duration<double>(
                                static_cast<double>(delivered) / format.sampleRate));
    if (deadline > clock->now())
      clock->sleepUntil(deadline);
  };

  PcmBuffer buffer(format, chunk);
  for (;;) {
    if (!wanted())
      return;
    if (reader->framePosition() >= reader->length())
      break;
    try {
      reader->read(buffer, chunk);
    } catch (const std::exception& error) {
      post([onFailure, failure = nativeError(error, "read fixture")] { onFailure(failure); });
      return;
    }
    if (buffer.frameLength() == 0)
      break;
    onBuffer(buffer);
    pace(buffer.frameLength());
  }

  if (!wanted())
    return;
  buffer.setFrameLength(chunk);
  buffer.silence();
  // The silence always lasts its half second, even after a stalled read: a live listener
  // hears the speech end by the time that passes, not by the number of buffers.
  auto chunkDuration = std::chrono::round<Clock::Duration>(
      std::chrono::duration<double>(static_cast<double>(chunk) / format.sampleRate));
  for (int i = 0; i < tailBuffers; ++i) {
    onBuffer(buffer);
    if (realtime)
      clock->sleepUntil(clock->now() + chunkDuration);
  }
  post(onEnd);
}

} // namespace quelt
