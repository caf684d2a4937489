#include "platform/linux/SndfileAudioFileWriter.h"

#include "platform/PlatformError.h"
#include "platform/linux/SndfileAudioServices.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <unistd.h>
#include <vector>

namespace quelt {
namespace {

class SndfileAudioFileWriterTest : public ::testing::Test {
protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("quelt-writer-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string path(const std::string& name) const { return (directory_ / name).string(); }

  std::filesystem::path directory_;
};

struct ReadBack {
  SF_INFO info{};
  std::vector<float> samples; // interleaved
};

ReadBack readBack(const std::string& path) {
  ReadBack result;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &result.info);
  EXPECT_TRUE(file) << sf_strerror(nullptr);
  if (!file)
    return result;
  result.samples.resize(static_cast<size_t>(result.info.frames * result.info.channels));
  sf_readf_float(file, result.samples.data(), result.info.frames);
  sf_close(file);
  return result;
}

TEST_F(SndfileAudioFileWriterTest, WavStoresInt16FromPlanarFloatInterleavedWithClipping) {
  AudioFormat planar{22050, 2, SampleFormat::float32, false};
  AudioFormat encoding{22050, 2, SampleFormat::int16, true};
  auto writer = SndfileAudioServices().openForWriting(path("out.WAV"), encoding, planar);
  PcmBuffer buffer(planar, 100);
  buffer.setFrameLength(100);
  for (uint32_t frame = 0; frame < 100; ++frame) {
    buffer.floatPlane(0)[frame] = 0.25f;
    buffer.floatPlane(1)[frame] = frame == 0 ? 1.5f : -0.5f;
  }
  writer->write(buffer);
  buffer.setFrameLength(30);
  writer->write(buffer);
  writer->close();

  ReadBack file = readBack(path("out.WAV"));
  EXPECT_EQ(file.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(file.info.samplerate, 22050);
  EXPECT_EQ(file.info.channels, 2);
  ASSERT_EQ(file.info.frames, 130);
  EXPECT_FLOAT_EQ(file.samples[0], 0.25f);
  EXPECT_NEAR(file.samples[1], 1.0f, 1e-4); // clipped, not wrapped round to negative
  EXPECT_FLOAT_EQ(file.samples[2], 0.25f);
  EXPECT_FLOAT_EQ(file.samples[3], -0.5f);
}

TEST_F(SndfileAudioFileWriterTest, CafKeepsFloatAndInterleavedInt16PassesThrough) {
  AudioFormat floats{16000, 1, SampleFormat::float32, true};
  auto writer = SndfileAudioServices().openForWriting(path("f.caf"), floats, floats);
  PcmBuffer buffer(floats, 4);
  buffer.setFrameLength(4);
  std::vector<float> values{0.1f, -0.2f, 0.3f, 0.123456f};
  std::copy(values.begin(), values.end(), buffer.floatPlane(0).begin());
  writer->write(buffer);
  writer.reset(); // the destructor closes too

  ReadBack file = readBack(path("f.caf"));
  EXPECT_EQ(file.info.format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
  EXPECT_EQ(file.samples, values);

  AudioFormat shorts{8000, 2, SampleFormat::int16, true};
  auto aiff = SndfileAudioServices().openForWriting(path("s.aif"), shorts, shorts);
  PcmBuffer pairs(shorts, 2);
  pairs.setFrameLength(2);
  std::vector<int16_t> samples{1000, -1000, 16384, -32768};
  std::copy(samples.begin(), samples.end(), pairs.int16Plane(0).begin());
  aiff->write(pairs);
  aiff->close();
  ReadBack stored = readBack(path("s.aif"));
  EXPECT_EQ(stored.info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AIFF);
  EXPECT_EQ(stored.samples, (std::vector<float>{1000 / 32768.f, -1000 / 32768.f, 0.5f, -1.0f}));
}

TEST_F(SndfileAudioFileWriterTest, ExtensionsFollowLibsndfilesTable) {
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("a/b.wav"), SF_FORMAT_WAV);
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("b.Flac"), SF_FORMAT_FLAC);
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("b.au"), SF_FORMAT_AU);
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("b.aiff"), SF_FORMAT_AIFF);
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("wav"), 0);
  EXPECT_EQ(SndfileAudioFileWriter::majorFormatForPath("b.xyz"), 0);
}

TEST_F(SndfileAudioFileWriterTest, FailuresSayWhatWentWrong) {
  AudioFormat mono{16000, 1, SampleFormat::int16, true};
  try {
    SndfileAudioServices().openForWriting(path("speech.xyz"), mono, mono);
    FAIL() << "no error for an unknown extension";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.domain(), "libsndfile");
    EXPECT_EQ(error.code(), SF_ERR_UNRECOGNISED_FORMAT);
    EXPECT_EQ(error.description(), "unknown audio file type .xyz");
  }
  try {
    SndfileAudioServices().openForWriting(path("missing/speech.wav"), mono, mono);
    FAIL() << "no error for a missing directory";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.domain(), "libsndfile");
    EXPECT_EQ(error.code(), SF_ERR_SYSTEM);
    EXPECT_NE(error.description().find("No such file or directory"), std::string::npos)
        << error.description();
  }
  EXPECT_FALSE(std::filesystem::exists(path("speech.xyz")));
}

} // namespace
} // namespace quelt
