#pragma once

#include "platform/AudioFormat.h"
#include "platform/PcmBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quelt {

// An audio file opened for reading. Its processing format is 32-bit float, non-interleaved, at
// the file's own rate and channel count, whatever the file stores.
class AudioFileReader {
public:
  virtual ~AudioFileReader() = default;
  virtual AudioFormat processingFormat() const = 0;
  // In frames.
  virtual int64_t length() const = 0;
  virtual int64_t framePosition() const = 0;
  // Reads up to `frames` frames (at most the capacity) into `buffer`, which must be in the
  // processing format, and sets its frame length; 0 at the end. Throws PlatformError.
  virtual void read(PcmBuffer& buffer, uint32_t frames) = 0;
};

// An audio file opened for writing.
class AudioFileWriter {
public:
  virtual ~AudioFileWriter() = default;
  // `buffer` is in the processing format the file was created with; the writer converts it to
  // the file's own encoding. Throws PlatformError.
  virtual void write(const PcmBuffer& buffer) = 0;
  // Flushes and closes; also done by the destructor.
  virtual void close() = 0;
};

// Converts audio from one format to another, rate included. Keeps what it has not yet put out
// (filter state, leftover frames) for the next call.
class AudioConverter {
public:
  virtual ~AudioConverter() = default;
  // Converts `input` and writes what is ready into `output` (in the target format), setting its
  // frame length. False when the conversion failed; `output` then holds nothing usable.
  virtual bool convert(const PcmBuffer& input, PcmBuffer& output) = 0;
  // Writes out what the converter still holds, at the end of the audio.
  virtual bool flush(PcmBuffer& output) = 0;
};

// Audio files and format conversion.
class AudioServices {
public:
  virtual ~AudioServices() = default;
  // Throws PlatformError when the file cannot be opened or is not audio.
  virtual std::unique_ptr<AudioFileReader> openForReading(const std::string& path) = 0;
  // Creates (replacing) a file whose container follows the path's extension (".wav", ".caf",
  // ".aiff", ...) and whose samples are stored as `encoding` says; buffers are handed to it in
  // `processing`. Throws PlatformError.
  virtual std::unique_ptr<AudioFileWriter> openForWriting(const std::string& path,
                                                          const AudioFormat& encoding,
                                                          const AudioFormat& processing) = 0;
  // Null when no converter exists between the two formats.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
};

} // namespace quelt
