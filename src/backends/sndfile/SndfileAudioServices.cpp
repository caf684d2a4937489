#include "sndfile/SndfileAudioServices.h"

#include "platform/PlatformError.h"
#include "sndfile/SndfileFiles.h"

#include <fcntl.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quelt {
namespace {

constexpr const char* sndfileDomain = "libsndfile";
constexpr int maxReadableRate = 768000;
constexpr int maxReadableChannels = 32;

// Decodes its first block while opening, so that a file whose header promises audio that
// cannot be decoded (cut short, overwritten) is refused then, rather than opening fine and
// yielding nothing. The block is kept for the first reads: the file may be a pipe, so there is
// no seeking back.
class SndfileReader : public AudioFileReader {
public:
  static constexpr uint32_t firstBlockFrames = 4096;

  SndfileReader(SNDFILE* file, const SF_INFO& info) : file_(file), length_(info.frames) {
    format_.sampleRate = info.samplerate;
    format_.channels = static_cast<uint32_t>(info.channels);
    format_.sampleFormat = SampleFormat::float32;
    format_.interleaved = false;
  }
  ~SndfileReader() override { sf_close(file_); }
  SndfileReader(const SndfileReader&) = delete;
  SndfileReader& operator=(const SndfileReader&) = delete;

  // Throws PlatformError when the file has no audio to give although its header says it has.
  void decodeFirstBlock() {
    kept_.resize(size_t{firstBlockFrames} * format_.channels);
    keptFrames_ = decode(kept_.data(), firstBlockFrames);
    if (keptFrames_ > 0)
      return;
    std::vector<float>().swap(kept_);
    if (failure_)
      throw *failure_;
    // An unknown length (a stream) may well be empty.
    if (length_ > 0 && length_ != SF_COUNT_MAX)
      throw PlatformError(sndfileDomain, SF_ERR_MALFORMED_FILE,
                          "no audio could be decoded from the file");
  }

  AudioFormat processingFormat() const override { return format_; }
  int64_t length() const override { return length_; }
  int64_t framePosition() const override { return position_; }

  void read(PcmBuffer& buffer, uint32_t frames) override {
    if (buffer.format() != format_)
      throw std::invalid_argument("buffer is not in the reader's processing format");
    frames = std::min(frames, buffer.frameCapacity());
    size_t channels = format_.channels;
    uint32_t done = 0;
    if (keptAt_ < keptFrames_) {
      done = std::min(frames, keptFrames_ - keptAt_);
      scatter(kept_.data() + size_t{keptAt_} * channels, done, 0, buffer);
      keptAt_ += done;
      if (keptAt_ == keptFrames_)
        std::vector<float>().swap(kept_);
    }
    if (done < frames && !failure_) {
      uint32_t wanted = frames - done;
      if (scratch_.size() < size_t{wanted} * channels)
        scratch_.resize(size_t{wanted} * channels);
      uint32_t got = decode(scratch_.data(), wanted);
      scatter(scratch_.data(), got, done, buffer);
      done += got;
    }
    // A failure waits until the frames decoded before it have gone out.
    if (done == 0 && failure_) {
      PlatformError failure = *failure_;
      failure_.reset();
      throw failure;
    }
    buffer.setFrameLength(done);
    position_ += done;
  }

private:
  // Up to `frames` frames, interleaved; a failure is kept in failure_.
  uint32_t decode(float* into, uint32_t frames) {
    errno = 0;
    sf_count_t got = sf_readf_float(file_, into, frames);
    int savedErrno = errno;
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR)
      failure_ = sndfileFailure(file_, savedErrno);
    return static_cast<uint32_t>(std::max<sf_count_t>(got, 0));
  }

  void scatter(const float* from, uint32_t frames, uint32_t at, PcmBuffer& buffer) {
    size_t channels = format_.channels;
    for (uint32_t channel = 0; channel < channels; ++channel) {
      float* plane = buffer.floatPlane(channel).data() + at;
      for (uint32_t frame = 0; frame < frames; ++frame)
        plane[frame] = from[size_t{frame} * channels + channel];
    }
  }

  SNDFILE* file_;
  AudioFormat format_;
  int64_t length_;
  int64_t position_ = 0;
  // The first block, interleaved as libsndfile delivers, until read.
  std::vector<float> kept_;
  uint32_t keptFrames_ = 0;
  uint32_t keptAt_ = 0;
  std::optional<PlatformError> failure_;
  // Interleaved; sized by the largest read so far.
  std::vector<float> scratch_;
};

} // namespace

std::unique_ptr<AudioFileReader> SndfileAudioServices::openForReading(const std::string& path) {
  // Blocks on a FIFO until a writer comes: audio may be streamed through one.
  int fd = openAudioDescriptor(path, O_RDONLY, 0);
  SF_INFO info{};
  errno = 0;
  // libsndfile closes the descriptor with the file, also when it fails to open one.
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
  if (!file)
    throw sndfileFailure(nullptr, errno);
  // libsndfile takes a header's word for the rate and the channel count. A damaged or hostile
  // one (2^31 Hz, say) would make every tenth-of-a-second buffer gigabytes long, so formats
  // beyond what audio hardware records are refused like any other unreadable file.
  if (info.samplerate > maxReadableRate || info.channels > maxReadableChannels) {
    sf_close(file);
    throw PlatformError(sndfileDomain, SF_ERR_UNSUPPORTED_ENCODING,
                        "unsupported audio format: " + std::to_string(info.channels) +
                            " channels at " + std::to_string(info.samplerate) + " Hz");
  }
  auto reader = std::make_unique<SndfileReader>(file, info);
  reader->decodeFirstBlock();
  return reader;
}

std::unique_ptr<AudioConverter> SndfileAudioServices::makeConverter(const AudioFormat& from,
                                                                    const AudioFormat& to) {
  return makeConverter_ ? makeConverter_(from, to) : nullptr;
}

} // namespace quelt
