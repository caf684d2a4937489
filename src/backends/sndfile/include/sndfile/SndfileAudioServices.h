#pragma once

#include "platform/AudioServices.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace quelt {

// Makes a converter between two formats; null when there is none.
using MakeAudioConverter =
    std::function<std::unique_ptr<AudioConverter>(const AudioFormat& from, const AudioFormat& to)>;

// Audio files through libsndfile (WAV, CAF, FLAC, OGG and whatever else it opens). Format
// conversion is another library's: its converters are what the composition hands in.
class SndfileAudioServices : public AudioServices {
public:
  // `makeConverter` makes the converters; without one there are none.
  explicit SndfileAudioServices(MakeAudioConverter makeConverter = {})
      : makeConverter_(std::move(makeConverter)) {}

  // Throws PlatformError: errno's ("POSIX") when the file cannot be opened, and for a NUL in
  // the path, a directory or one of the helper's own standard streams; libsndfile's own code
  // and text when the file is not audio it reads, when its first block does not decode, and
  // for a file of more than 32 channels or above 768 kHz, which no recorder makes. A FIFO is
  // read as a stream, and opening one waits for its writer.
  std::unique_ptr<AudioFileReader> openForReading(const std::string& path) override;
  // Defined with the writer, in SndfileAudioFileWriter.cpp.
  std::unique_ptr<AudioFileWriter> openForWriting(const std::string& path,
                                                  const AudioFormat& encoding,
                                                  const AudioFormat& processing) override;
  // What `makeConverter` makes.
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;

private:
  MakeAudioConverter makeConverter_;
};

} // namespace quelt
