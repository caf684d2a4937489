#include "sndfile/SndfileAudioServices.h"
#include "soxr/SoxrConverter.h"

#include "platform/PlatformError.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;

const std::string fixtures = QUELT_FIXTURES_DIR;
const AudioFormat recognizerFormat{16000, 1, SampleFormat::int16, true};

AudioFormat planar(double rate, uint32_t channels) {
  return {rate, channels, SampleFormat::float32, false};
}

// One plane per channel, each channel a constant.
PcmBuffer signal(double rate, std::vector<double> channels, uint32_t frames) {
  PcmBuffer buffer(planar(rate, static_cast<uint32_t>(channels.size())), frames);
  buffer.setFrameLength(frames);
  for (uint32_t c = 0; c < channels.size(); ++c)
    std::ranges::fill(buffer.floatPlane(c), static_cast<float>(channels[c]));
  return buffer;
}

// Converts in pieces of `piece` frames, then flushes; returns channel 0 of every frame as float.
std::vector<float> convert(const PcmBuffer& input, const AudioFormat& to, uint32_t piece) {
  auto converter = makeSoxrConverter(input.format(), to);
  EXPECT_TRUE(converter);
  PcmBuffer part(input.format(), piece);
  PcmBuffer output(to, piece + 1024);
  std::vector<float> out;
  auto collect = [&](bool ok) {
    EXPECT_TRUE(ok);
    for (uint32_t f = 0; f < output.frameLength(); ++f) {
      size_t at = to.interleaved ? size_t{f} * to.channels : f;
      out.push_back(to.sampleFormat == SampleFormat::float32 ? output.floatPlane(0)[at]
                                                             : output.int16Plane(0)[at] / 32768.0f);
    }
  };
  for (uint32_t start = 0; start < input.frameLength(); start += piece) {
    part.setFrameLength(std::min(piece, input.frameLength() - start));
    for (uint32_t c = 0; c < input.format().channels; ++c)
      std::copy_n(input.floatPlane(c).begin() + start, part.frameLength(),
                  part.floatPlane(c).begin());
    collect(converter->convert(part, output));
  }
  do
    collect(converter->flush(output));
  while (output.frameLength() > 0);
  return out;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The error that `open` throws; a failure of the test when it throws none.
template <typename Open> PlatformError refusal(Open open) {
  try {
    open();
  } catch (const PlatformError& error) {
    return error;
  }
  ADD_FAILURE() << "opened";
  return PlatformError("", 0, "");
}

// Puts a pipe holding `bytes` (less than a pipe's buffer) in place of standard input while it
// lives.
class PipedStandardInput {
public:
  explicit PipedStandardInput(const std::string& bytes) : saved_(::dup(0)) {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    EXPECT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::dup2(ends[0], 0);
    ::close(ends[0]);
    writeEnd_ = ends[1];
  }
  ~PipedStandardInput() {
    ::dup2(saved_, 0);
    ::close(saved_);
    ::close(writeEnd_);
  }
  PipedStandardInput(const PipedStandardInput&) = delete;
  PipedStandardInput& operator=(const PipedStandardInput&) = delete;

private:
  int saved_;
  int writeEnd_ = -1;
};

class SndfileFiles : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(directory); }
  void TearDown() override { fs::remove_all(directory); }

  std::string path(const std::string& name) const { return (directory / name).string(); }

  fs::path directory = fs::temp_directory_path() / ("quelt-files-" + std::to_string(::getpid()));
  SndfileAudioServices services;
  AudioFormat mono{16000, 1, SampleFormat::int16, true};
};

TEST_F(SndfileFiles, OpenFailuresCarryTheSystemsErrnoAndWords) {
  auto reading = [&](const std::string& file) {
    return refusal([&] { services.openForReading(file); });
  };
  auto writing = [&](const std::string& file) {
    return refusal([&] { services.openForWriting(file, mono, mono); });
  };
  PlatformError missing = reading(path("missing.wav"));
  EXPECT_EQ(missing.code(), ENOENT);
  EXPECT_EQ(missing.description(), "No such file or directory");
  EXPECT_EQ(reading(fixtures + "/sentence.txt/x.wav").code(), ENOTDIR);
  EXPECT_EQ(reading(fixtures).code(), EISDIR);

  EXPECT_EQ(writing(path("missing/out.wav")).description(), "No such file or directory");
  EXPECT_EQ(writing(path("missing/out.wav")).code(), ENOENT);
  EXPECT_EQ(writing(fixtures + "/sentence.txt/out.wav").code(), ENOTDIR);
  fs::create_symlink("/dev/full", path("full.wav"));
  PlatformError full = writing(path("full.wav"));
  EXPECT_EQ(full.code(), ENOSPC);
  EXPECT_EQ(full.description(), "No space left on device");
}

TEST_F(SndfileFiles, AWriteFailureCarriesTheSystemsErrno) {
  auto writer = services.openForWriting(path("big.wav"), mono, mono);
  PcmBuffer second(mono, 16000);
  second.setFrameLength(16000);
  // Past four kilobytes a write fails with EFBIG (and no signal, which is ignored meanwhile).
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small{4096, before.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  PlatformError error = refusal([&] { writer->write(second); });
  ::setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(error.code(), EFBIG);
  EXPECT_EQ(error.description(), "File too large");
}

TEST_F(SndfileFiles, RefusesANulInThePathAndTheHelpersOwnStandardStreams) {
  std::string wav = fixtures + "/sentence-16k-mono.wav";
  PlatformError nul = refusal([&] { services.openForReading(wav + '\0' + ".txt"); });
  EXPECT_EQ(nul.description(), "the path contains a NUL character");
  nul = refusal([&] { services.openForWriting(path("out.txt") + '\0' + ".wav", mono, mono); });
  EXPECT_EQ(nul.description(), "the path contains a NUL character");
  EXPECT_FALSE(fs::exists(path("out.txt")));

  // Standard input holding a good audio file: what refuses it is whose it is.
  PipedStandardInput input(bytesOf(fixtures + "/tone-8k-1s.wav"));
  for (std::string stream : {"/dev/stdin", "/proc/self/fd/0"})
    EXPECT_EQ(refusal([&] { services.openForReading(stream); }).description(),
              "it is the helper's own standard input")
        << stream;
  fs::create_symlink("/proc/self/fd/0", path("input.au"));
  EXPECT_EQ(refusal([&] { services.openForWriting(path("input.au"), mono, mono); }).description(),
            "it is the helper's own standard input");
}

// A FIFO is a stream: the block decoded at opening cannot be read again, only kept.
TEST_F(SndfileFiles, AFifoIsReadAsAStreamWithNothingLost) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string wav = fixtures + "/sentence-16k-mono.wav";
  ASSERT_EQ(::mkfifo(path("stream.wav").c_str(), 0600), 0);
  std::thread writer([&] { writeBytes(path("stream.wav"), bytesOf(wav)); });
  std::unique_ptr<AudioFileReader> stream;
  try {
    stream = services.openForReading(path("stream.wav"));
  } catch (const PlatformError& error) {
    // Lets a writer still waiting for a reader go.
    ::close(::open(path("stream.wav").c_str(), O_RDONLY | O_NONBLOCK));
    writer.join();
    FAIL() << error.description();
  }
  auto file = services.openForReading(wav);
  PcmBuffer fromStream(file->processingFormat(), 40000);
  PcmBuffer fromFile(file->processingFormat(), 40000);
  stream->read(fromStream, 40000);
  file->read(fromFile, 40000);
  writer.join();
  ASSERT_EQ(fromStream.frameLength(), 39360u);
  EXPECT_TRUE(std::ranges::equal(fromStream.floatPlane(0), fromFile.floatPlane(0)));
}

TEST(Converter, Int16RoundTripsThroughFloatExactlyAndFloatClipsAndRounds) {
  AudioFormat ints{8000, 1, SampleFormat::int16, true};
  PcmBuffer original(ints, 6), floats(planar(8000, 1), 6), back(ints, 6);
  std::vector<int16_t> samples = {-32768, -32767, -1, 0, 16384, 32767};
  std::copy(samples.begin(), samples.end(), original.int16Plane(0).begin());
  original.setFrameLength(6);
  ASSERT_TRUE(makeSoxrConverter(ints, floats.format())->convert(original, floats));
  EXPECT_EQ(floats.floatPlane(0)[0], -1.0f);
  EXPECT_EQ(floats.floatPlane(0)[4], 0.5f);
  auto toInt16 = makeSoxrConverter(floats.format(), ints);
  ASSERT_TRUE(toInt16->convert(floats, back));
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), back.int16Plane(0).begin()));

  std::vector<float> loud = {1.5f, 1.0f, -3.0f, 2.6f / 32768, -2.6f / 32768, NAN};
  std::copy(loud.begin(), loud.end(), floats.floatPlane(0).begin());
  ASSERT_TRUE(toInt16->convert(floats, back));
  EXPECT_TRUE(
      std::ranges::equal(back.int16Plane(0), std::vector<int16_t>{32767, 32767, -32768, 3, -3, 0}));
}

TEST(Converter, AveragesToMonoCopiesFromMonoAndOtherwiseKeepsTheFirstChannels) {
  PcmBuffer three = signal(8000, {0.5, -0.1, 0.3}, 4);
  auto frame = [&](const AudioFormat& to) {
    auto converter = makeSoxrConverter(three.format(), to);
    PcmBuffer output(to, 4);
    EXPECT_TRUE(converter->convert(three, output));
    std::vector<float> last;
    for (uint32_t c = 0; c < to.channels; ++c)
      last.push_back(to.interleaved ? output.floatPlane(0)[3 * to.channels + c]
                                    : output.floatPlane(c)[3]);
    return last;
  };
  EXPECT_NEAR(frame(planar(8000, 1))[0], 0.7 / 3, 1e-6);
  EXPECT_EQ(frame({8000, 2, SampleFormat::float32, true}), (std::vector<float>{0.5f, -0.1f}));
  EXPECT_EQ(frame(planar(8000, 4)), (std::vector<float>{0.5f, -0.1f, 0.3f, 0.0f}));
  three = signal(8000, {0.25}, 4);
  EXPECT_EQ(frame(planar(8000, 2)), (std::vector<float>{0.25f, 0.25f}));
}

TEST(Converter, DownsamplingTheStereoFixtureKeepsItsDurationToTheFrame) {
  auto reader = SndfileAudioServices().openForReading(fixtures + "/sentence-48k-stereo.wav");
  PcmBuffer whole(reader->processingFormat(), 118080);
  reader->read(whole, 118080);
  // Off by more than a frame or two when the resampler's delay is not flushed out.
  EXPECT_NEAR(convert(whole, recognizerFormat, 4800).size(), 39360.0, 2);
}

class SndfileWriter : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(directory); }
  void TearDown() override { fs::remove_all(directory); }

  std::string path(const std::string& name) const { return (directory / name).string(); }

  fs::path directory = fs::temp_directory_path() / ("quelt-writer-" + std::to_string(::getpid()));
};

TEST_F(SndfileWriter, WavStoresInt16FromPlanarFloatInterleavedWithClipping) {
  AudioFormat encoding{22050, 2, SampleFormat::int16, true};
  auto writer = SndfileAudioServices().openForWriting(path("out.WAV"), encoding, planar(22050, 2));
  PcmBuffer buffer(planar(22050, 2), 100);
  buffer.setFrameLength(100);
  for (uint32_t frame = 0; frame < 100; ++frame) {
    buffer.floatPlane(0)[frame] = 0.25f;
    buffer.floatPlane(1)[frame] = frame == 0 ? 1.5f : -0.5f;
  }
  writer->write(buffer);
  buffer.setFrameLength(30);
  writer->write(buffer);
  writer->close();

  SF_INFO info{};
  SNDFILE* file = sf_open(path("out.WAV").c_str(), SFM_READ, &info);
  ASSERT_TRUE(file) << sf_strerror(nullptr);
  std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
  sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(info.samplerate, 22050);
  EXPECT_EQ(info.channels, 2);
  ASSERT_EQ(info.frames, 130);
  EXPECT_FLOAT_EQ(samples[0], 0.25f);
  EXPECT_NEAR(samples[1], 1.0f, 1e-4); // clipped, not wrapped round to negative
  EXPECT_FLOAT_EQ(samples[2], 0.25f);
  EXPECT_FLOAT_EQ(samples[3], -0.5f);
}

// The container comes from the path's extension; one libsndfile does not know leaves no file.
TEST_F(SndfileWriter, AnUnknownExtensionIsRefusedByName) {
  AudioFormat mono{16000, 1, SampleFormat::int16, true};
  try {
    SndfileAudioServices().openForWriting(path("speech.xyz"), mono, mono);
    FAIL() << "no error for an unknown extension";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.domain(), "libsndfile");
    EXPECT_EQ(error.code(), SF_ERR_UNRECOGNISED_FORMAT);
    EXPECT_EQ(error.description(), "unknown audio file type .xyz");
  }
  EXPECT_FALSE(fs::exists(path("speech.xyz")));
  try {
    SndfileAudioServices().openForWriting(path("speech"), mono, mono);
    FAIL() << "no error for a name without an extension";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.description(),
              "unknown audio file type: the name has no extension (.wav, .caf, ...)");
  }
}

} // namespace
} // namespace quelt
