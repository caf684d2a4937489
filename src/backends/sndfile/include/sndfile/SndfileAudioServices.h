#pragma once

#include "platform/AudioServices.h"

namespace quelt {

// Audio files through libsndfile (WAV, CAF, FLAC, OGG and whatever else it opens) and format
// conversion with libsoxr for the rate.
//
// Channel mapping, since files carry no layout the helper could trust: many to one averages
// the channels, one to many copies the channel, and otherwise the first channels pass through
// and any extra output channels stay silent. The first channels are the front left and right
// in every common layout, so they keep the speech; mixing the rest in would invent a layout.
class SndfileAudioServices : public AudioServices {
public:
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
  // Null for a rate that is not positive or no channels on either side.
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;
};

} // namespace quelt
