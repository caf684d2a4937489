#include "sndfile/SndfileAudioFileWriter.h"

#include "platform/PlatformError.h"
#include "sndfile/SndfileAudioServices.h"
#include "sndfile/SndfileFiles.h"

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <type_traits>

namespace quelt {
namespace {

constexpr const char* sndfileDomain = "libsndfile";

// Names libsndfile's table does not list under their common spelling.
const char* canonicalExtension(const std::string& extension) {
  if (strcasecmp(extension.c_str(), "aif") == 0)
    return "aiff";
  return extension.c_str();
}

} // namespace

int SndfileAudioFileWriter::majorFormatForPath(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  if (extension.empty())
    return 0;
  extension.erase(0, 1);
  const char* wanted = canonicalExtension(extension);
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
  // The table is in name order, which puts Microsoft WAV ahead of the other ".wav" formats.
  for (int index = 0; index < count; ++index) {
    SF_FORMAT_INFO info{};
    info.format = index;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof(info)) != 0)
      continue;
    if (info.extension && strcasecmp(info.extension, wanted) == 0)
      return info.format;
  }
  return 0;
}

SndfileAudioFileWriter::SndfileAudioFileWriter(const std::string& path, const AudioFormat& encoding,
                                               const AudioFormat& processing)
    : processing_(processing) {
  refuseNulInPath(path);
  int major = majorFormatForPath(path);
  if (major == 0) {
    std::string extension = std::filesystem::path(path).extension().string();
    // The extension picks the container: a name without one says so, not a blank type.
    throw PlatformError(sndfileDomain, SF_ERR_UNRECOGNISED_FORMAT,
                        extension.empty()
                            ? "unknown audio file type: the name has no extension (.wav, .caf, ...)"
                            : "unknown audio file type " + extension);
  }
  // The writer stores what it is given; changing rate or channels is a converter's job.
  if (processing.sampleRate != encoding.sampleRate || processing.channels != encoding.channels ||
      encoding.channels == 0 || !(encoding.sampleRate >= 1))
    throw PlatformError(sndfileDomain, SF_ERR_UNSUPPORTED_ENCODING,
                        "cannot store " + processing.description() + " as " +
                            encoding.description());

  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(encoding.sampleRate));
  info.channels = static_cast<int>(encoding.channels);
  info.format =
      major | (encoding.sampleFormat == SampleFormat::int16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  // Samples keep the byte order they come in where the container allows it (CAF would be
  // big-endian otherwise); a container with one fixed order keeps its own.
  info.format |= SF_ENDIAN_CPU;
  if (!sf_format_check(&info))
    info.format &= ~SF_FORMAT_ENDMASK;
  // Before the file is created, so that a combination the container cannot hold leaves none.
  if (!sf_format_check(&info))
    throw PlatformError(sndfileDomain, SF_ERR_UNSUPPORTED_ENCODING,
                        "cannot store " + encoding.description() + " in a ." +
                            std::filesystem::path(path).extension().string().substr(1) + " file");
  // Non-blocking so that a FIFO without a reader fails at once (ENXIO) rather than holding the
  // caller, the main queue; writes block as usual.
  int fd = openAudioDescriptor(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  errno = 0;
  // libsndfile closes the descriptor with the file, also when it fails to open one.
  file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (!file_)
    throw sndfileFailure(nullptr, errno);
  sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

SndfileAudioFileWriter::~SndfileAudioFileWriter() {
  if (file_)
    sf_close(file_);
}

template <typename Sample>
void SndfileAudioFileWriter::interleave(const PcmBuffer& buffer, std::vector<Sample>& out) {
  size_t channels = processing_.channels;
  size_t frames = buffer.frameLength();
  if (out.size() < frames * channels)
    out.resize(frames * channels);
  for (uint32_t channel = 0; channel < channels; ++channel) {
    std::span<const Sample> plane;
    if constexpr (std::is_same_v<Sample, float>)
      plane = buffer.floatPlane(processing_.interleaved ? 0 : channel);
    else
      plane = buffer.int16Plane(processing_.interleaved ? 0 : channel);
    size_t offset = processing_.interleaved ? channel : 0;
    size_t stride = processing_.interleaved ? channels : 1;
    for (size_t frame = 0; frame < frames; ++frame)
      out[frame * channels + channel] = plane[offset + frame * stride];
  }
}

void SndfileAudioFileWriter::write(const PcmBuffer& buffer) {
  if (buffer.format() != processing_)
    throw std::invalid_argument("buffer is not in the writer's processing format");
  if (!file_)
    throw std::logic_error("audio file is already closed");
  sf_count_t frames = buffer.frameLength();
  if (frames == 0)
    return;
  sf_count_t written = 0;
  errno = 0;
  // Interleaved buffers already have libsndfile's layout and go straight through.
  if (processing_.sampleFormat == SampleFormat::float32) {
    const float* samples = buffer.floatPlane(0).data();
    if (!processing_.interleaved && processing_.channels > 1) {
      interleave(buffer, floats_);
      samples = floats_.data();
    }
    written = sf_writef_float(file_, samples, frames);
  } else {
    const int16_t* samples = buffer.int16Plane(0).data();
    if (!processing_.interleaved && processing_.channels > 1) {
      interleave(buffer, int16s_);
      samples = int16s_.data();
    }
    written = sf_writef_short(file_, samples, frames);
  }
  if (written != frames) {
    int savedErrno = errno;
    if (sf_error(file_) == SF_ERR_NO_ERROR)
      throw PlatformError(sndfileDomain, SF_ERR_SYSTEM, "the audio file took only part of a write");
    throw sndfileFailure(file_, savedErrno);
  }
}

void SndfileAudioFileWriter::close() {
  if (!file_)
    return;
  SNDFILE* file = file_;
  file_ = nullptr;
  errno = 0;
  int code = sf_close(file);
  if (code == SF_ERR_SYSTEM && errno != 0)
    throw PlatformError::posix(errno);
  if (code != SF_ERR_NO_ERROR)
    throw PlatformError(sndfileDomain, code, sf_error_number(code));
}

std::unique_ptr<AudioFileWriter>
SndfileAudioServices::openForWriting(const std::string& path, const AudioFormat& encoding,
                                     const AudioFormat& processing) {
  return std::make_unique<SndfileAudioFileWriter>(path, encoding, processing);
}

} // namespace quelt
