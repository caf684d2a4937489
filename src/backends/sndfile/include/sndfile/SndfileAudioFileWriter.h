#pragma once

#include "platform/AudioServices.h"

#include <sndfile.h>

#include <string>
#include <vector>

namespace quelt {

// Writes an audio file through libsndfile. Buffers come in the processing format (float32 or
// int16, interleaved or planar, at the file's rate and channel count); libsndfile converts the
// samples to the file's encoding, clipping rather than wrapping when floats overshoot.
class SndfileAudioFileWriter : public AudioFileWriter {
public:
  // Throws PlatformError: errno's ("POSIX") when the system refuses the file or a write, as
  // for a NUL in the path or one of the helper's own standard streams; otherwise libsndfile's
  // code and text.
  SndfileAudioFileWriter(const std::string& path, const AudioFormat& encoding,
                         const AudioFormat& processing);
  ~SndfileAudioFileWriter() override;
  SndfileAudioFileWriter(const SndfileAudioFileWriter&) = delete;
  SndfileAudioFileWriter& operator=(const SndfileAudioFileWriter&) = delete;

  void write(const PcmBuffer& buffer) override;
  void close() override;

  // libsndfile's major format for a file name's extension, matched case-insensitively against
  // its own format table; 0 when it knows none.
  static int majorFormatForPath(const std::string& path);

private:
  template <typename Sample> void interleave(const PcmBuffer& buffer, std::vector<Sample>& out);

  SNDFILE* file_ = nullptr;
  AudioFormat processing_;
  // Interleaved, as libsndfile takes it; sized by the largest write so far.
  std::vector<float> floats_;
  std::vector<int16_t> int16s_;
};

} // namespace quelt
