#include "platform/linux/SndfileAudioServices.h"

#include "platform/PlatformError.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace quelt {
namespace {

namespace fs = std::filesystem;

const std::string fixtures = QUELT_FIXTURES_DIR;

const AudioFormat recognizerFormat{16000, 1, SampleFormat::int16, true};

AudioFormat planarFloat(double rate, uint32_t channels) {
  return {rate, channels, SampleFormat::float32, false};
}

// Every frame of a file, one vector per channel.
std::vector<std::vector<float>> readAll(AudioFileReader& reader, uint32_t chunk = 4096) {
  AudioFormat format = reader.processingFormat();
  std::vector<std::vector<float>> channels(format.channels);
  PcmBuffer buffer(format, chunk);
  for (reader.read(buffer, chunk); buffer.frameLength() > 0; reader.read(buffer, chunk))
    for (uint32_t channel = 0; channel < format.channels; ++channel) {
      auto plane = buffer.floatPlane(channel).first(buffer.frameLength());
      channels[channel].insert(channels[channel].end(), plane.begin(), plane.end());
    }
  return channels;
}

PcmBuffer sineBuffer(double rate, uint32_t channels, double frequency, uint32_t frames,
                     uint32_t offset = 0) {
  PcmBuffer buffer(planarFloat(rate, channels), frames);
  buffer.setFrameLength(frames);
  for (uint32_t channel = 0; channel < channels; ++channel)
    for (uint32_t frame = 0; frame < frames; ++frame)
      buffer.floatPlane(channel)[frame] = static_cast<float>(
          0.5 * std::sin(2 * std::numbers::pi * frequency * (frame + offset) / rate));
  return buffer;
}

// Converts `input` in pieces of `piece` frames, then flushes; the output as floats of channel 0.
std::vector<float> convertAll(AudioConverter& converter, const PcmBuffer& input, uint32_t piece,
                              const AudioFormat& to) {
  std::vector<float> out;
  PcmBuffer part(input.format(), piece);
  PcmBuffer converted(to, piece * 4 + 1024);
  auto collect = [&] {
    for (uint32_t frame = 0; frame < converted.frameLength(); ++frame) {
      size_t index = to.interleaved ? size_t{frame} * to.channels : frame;
      out.push_back(to.sampleFormat == SampleFormat::float32
                        ? converted.floatPlane(0)[index]
                        : converted.int16Plane(0)[index] / 32768.0f);
    }
  };
  for (uint32_t start = 0; start < input.frameLength(); start += piece) {
    uint32_t frames = std::min(piece, input.frameLength() - start);
    for (uint32_t channel = 0; channel < input.format().channels; ++channel)
      std::copy_n(input.floatPlane(channel).begin() + start, frames,
                  part.floatPlane(channel).begin());
    part.setFrameLength(frames);
    EXPECT_TRUE(converter.convert(part, converted));
    collect();
  }
  do {
    EXPECT_TRUE(converter.flush(converted));
    collect();
  } while (converted.frameLength() > 0);
  return out;
}

double rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i)
    sum += double{samples[i]} * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

// Upward zero crossings per second.
double frequencyOf(const std::vector<float>& samples, size_t from, size_t to, double rate) {
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i)
    crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings * rate / static_cast<double>(to - from);
}

class SndfileAudioServicesTest : public ::testing::Test {
protected:
  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("quelt-sndfile-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }

  SndfileAudioServices services;
  fs::path directory;
};

TEST_F(SndfileAudioServicesTest, ReadsAFileAsPlanarFloatAtItsOwnRateAndChannels) {
  auto reader = services.openForReading(fixtures + "/sentence-48k-stereo.wav");
  EXPECT_EQ(reader->processingFormat(), planarFloat(48000, 2));
  EXPECT_EQ(reader->length(), 118080);

  PcmBuffer buffer(reader->processingFormat(), 50000);
  std::vector<uint32_t> reads;
  for (uint32_t want : {50000u, 50000u, 50000u, 50000u}) {
    reader->read(buffer, want);
    reads.push_back(buffer.frameLength());
  }
  EXPECT_EQ(reads, (std::vector<uint32_t>{50000, 50000, 18080, 0}));
  EXPECT_EQ(reader->framePosition(), 118080);
}

TEST_F(SndfileAudioServicesTest, AReadNeverOverrunsTheBuffer) {
  auto reader = services.openForReading(fixtures + "/sentence-16k-mono.wav");
  PcmBuffer buffer(reader->processingFormat(), 100);
  reader->read(buffer, 4800);
  EXPECT_EQ(buffer.frameLength(), 100u);
  EXPECT_EQ(reader->framePosition(), 100);
}

TEST_F(SndfileAudioServicesTest, SplitsInterleavedChannelsIntoPlanes) {
  std::string path = (directory / "stereo.caf").string();
  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 2;
  info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  std::vector<float> interleaved;
  for (int frame = 0; frame < 1000; ++frame) {
    interleaved.push_back(frame / 1000.0f);
    interleaved.push_back(-frame / 2000.0f);
  }
  sf_writef_float(file, interleaved.data(), 1000);
  sf_close(file);

  auto reader = services.openForReading(path);
  auto channels = readAll(*reader, 300);
  ASSERT_EQ(channels[0].size(), 1000u);
  ASSERT_EQ(channels[1].size(), 1000u);
  for (int frame = 0; frame < 1000; frame += 111) {
    EXPECT_EQ(channels[0][frame], frame / 1000.0f);
    EXPECT_EQ(channels[1][frame], -frame / 2000.0f);
  }
}

TEST_F(SndfileAudioServicesTest, FlacCopyHoldsTheSameSamplesAsTheWav) {
  auto wav = services.openForReading(fixtures + "/sentence-16k-mono.wav");
  auto flac = services.openForReading(fixtures + "/sentence-16k-mono.flac");
  EXPECT_EQ(flac->processingFormat(), wav->processingFormat());
  EXPECT_EQ(readAll(*flac), readAll(*wav));
}

TEST_F(SndfileAudioServicesTest, FilesThatDoNotOpenThrowLibsndfilesOwnError) {
  std::string notAudio = (directory / "notes.wav").string();
  std::ofstream(notAudio) << "only words, no samples, though the name says otherwise\n";
  struct Case {
    std::string path;
    int code;
  };
  for (const Case& expected : {Case{(directory / "missing.wav").string(), SF_ERR_SYSTEM},
                               Case{notAudio, SF_ERR_UNRECOGNISED_FORMAT}}) {
    try {
      services.openForReading(expected.path);
      ADD_FAILURE() << expected.path << " opened";
    } catch (const PlatformError& error) {
      EXPECT_EQ(error.domain(), "libsndfile");
      EXPECT_EQ(error.code(), expected.code) << error.description();
      EXPECT_FALSE(error.description().empty());
    }
  }
}

TEST(Converter, RefusesFormatsWithoutARateOrChannels) {
  SndfileAudioServices services;
  AudioFormat good = planarFloat(16000, 1);
  for (AudioFormat bad : {planarFloat(0, 1), planarFloat(-8000, 1), planarFloat(16000, 0),
                          planarFloat(std::nan(""), 1)}) {
    EXPECT_EQ(services.makeConverter(bad, good), nullptr) << bad.description();
    EXPECT_EQ(services.makeConverter(good, bad), nullptr) << bad.description();
  }
}

TEST(Converter, RejectsBuffersInAnotherFormat) {
  SndfileAudioServices services;
  auto converter = services.makeConverter(planarFloat(48000, 2), recognizerFormat);
  PcmBuffer wrongInput(planarFloat(44100, 2), 10);
  PcmBuffer output(recognizerFormat, 100);
  EXPECT_FALSE(converter->convert(wrongInput, output));
  PcmBuffer input(planarFloat(48000, 2), 10);
  PcmBuffer wrongOutput(planarFloat(16000, 1), 100);
  EXPECT_FALSE(converter->convert(input, wrongOutput));
  EXPECT_FALSE(converter->flush(wrongOutput));
}

TEST(Converter, SameFormatPassesSamplesThroughUnchanged) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(16000, 2, 440, 1000);
  auto converter = services.makeConverter(input.format(), input.format());
  ASSERT_TRUE(converter);
  PcmBuffer output(input.format(), 1000);
  ASSERT_TRUE(converter->convert(input, output));
  ASSERT_EQ(output.frameLength(), 1000u);
  for (uint32_t channel = 0; channel < 2; ++channel)
    EXPECT_TRUE(std::equal(input.floatPlane(channel).begin(), input.floatPlane(channel).end(),
                           output.floatPlane(channel).begin()));
}

TEST(Converter, Int16SurvivesARoundTripThroughFloatExactly) {
  SndfileAudioServices services;
  AudioFormat ints{8000, 1, SampleFormat::int16, true};
  AudioFormat floats = planarFloat(8000, 1);
  auto toFloat = services.makeConverter(ints, floats);
  auto toInt = services.makeConverter(floats, ints);
  std::vector<int16_t> samples = {-32768, -32767, -12345, -1, 0, 1, 2, 16384, 32767};
  auto frames = static_cast<uint32_t>(samples.size());
  PcmBuffer input(ints, frames);
  std::copy(samples.begin(), samples.end(), input.int16Plane(0).begin());
  input.setFrameLength(frames);
  PcmBuffer middle(floats, frames);
  PcmBuffer back(ints, frames);
  ASSERT_TRUE(toFloat->convert(input, middle));
  ASSERT_TRUE(toInt->convert(middle, back));
  EXPECT_EQ(middle.floatPlane(0)[0], -1.0f);
  EXPECT_EQ(middle.floatPlane(0)[7], 0.5f);
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), back.int16Plane(0).begin()));
}

TEST(Converter, FloatToInt16RoundsAndClips) {
  SndfileAudioServices services;
  AudioFormat floats = planarFloat(8000, 1);
  AudioFormat ints{8000, 1, SampleFormat::int16, true};
  auto converter = services.makeConverter(floats, ints);
  std::vector<float> samples = {1.5f,         1.0f,          -1.0f,        -3.0f,
                                2.6f / 32768, -2.6f / 32768, std::nanf("")};
  auto frames = static_cast<uint32_t>(samples.size());
  PcmBuffer input(floats, frames);
  std::copy(samples.begin(), samples.end(), input.floatPlane(0).begin());
  input.setFrameLength(frames);
  PcmBuffer output(ints, frames);
  ASSERT_TRUE(converter->convert(input, output));
  std::vector<int16_t> got(output.int16Plane(0).begin(), output.int16Plane(0).end());
  EXPECT_EQ(got, (std::vector<int16_t>{32767, 32767, -32768, -32768, 3, -3, 0}));
}

TEST(Converter, MapsChannelsAndLayouts) {
  SndfileAudioServices services;
  // Three channels holding 0.5, -0.1 and 0.3 in every frame.
  PcmBuffer three(planarFloat(8000, 3), 4);
  three.setFrameLength(4);
  for (uint32_t channel = 0; channel < 3; ++channel)
    std::fill_n(three.floatPlane(channel).begin(), 4, std::array{0.5f, -0.1f, 0.3f}[channel]);

  auto frameOf = [&](const AudioFormat& to) {
    auto converter = services.makeConverter(three.format(), to);
    PcmBuffer output(to, 4);
    EXPECT_TRUE(converter->convert(three, output));
    EXPECT_EQ(output.frameLength(), 4u);
    std::vector<float> frame;
    for (uint32_t channel = 0; channel < to.channels; ++channel)
      frame.push_back(to.interleaved ? output.floatPlane(0)[3 * to.channels + channel]
                                     : output.floatPlane(channel)[3]);
    return frame;
  };
  EXPECT_NEAR(frameOf(planarFloat(8000, 1))[0], 0.7f / 3, 1e-6);
  EXPECT_EQ(frameOf({8000, 2, SampleFormat::float32, true}), (std::vector<float>{0.5f, -0.1f}));
  EXPECT_EQ(frameOf(planarFloat(8000, 4)), (std::vector<float>{0.5f, -0.1f, 0.3f, 0.0f}));

  PcmBuffer mono(planarFloat(8000, 1), 4);
  mono.setFrameLength(4);
  std::fill_n(mono.floatPlane(0).begin(), 4, 0.25f);
  AudioFormat stereo{8000, 2, SampleFormat::float32, true};
  auto converter = services.makeConverter(mono.format(), stereo);
  PcmBuffer output(stereo, 4);
  ASSERT_TRUE(converter->convert(mono, output));
  EXPECT_TRUE(std::all_of(output.floatPlane(0).begin(), output.floatPlane(0).end(),
                          [](float sample) { return sample == 0.25f; }));
}

TEST(Converter, KeepsWhatDoesNotFitForTheNextCall) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(8000, 1, 100, 10);
  auto converter = services.makeConverter(input.format(), input.format());
  PcmBuffer small(input.format(), 4);
  std::vector<float> out;
  auto take = [&] {
    auto plane = small.floatPlane(0).first(small.frameLength());
    out.insert(out.end(), plane.begin(), plane.end());
  };
  ASSERT_TRUE(converter->convert(input, small));
  EXPECT_EQ(small.frameLength(), 4u);
  take();
  input.setFrameLength(0);
  ASSERT_TRUE(converter->convert(input, small));
  take();
  ASSERT_TRUE(converter->flush(small));
  take();
  ASSERT_TRUE(converter->flush(small));
  EXPECT_EQ(small.frameLength(), 0u);
  input.setFrameLength(10);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), input.floatPlane(0).begin(),
                         input.floatPlane(0).begin() + 10));
  EXPECT_EQ(out.size(), 10u);
}

TEST(Converter, DownsamplingAFixtureKeepsItsDuration) {
  SndfileAudioServices services;
  auto reader = services.openForReading(fixtures + "/sentence-48k-stereo.wav");
  auto converter = services.makeConverter(reader->processingFormat(), recognizerFormat);
  ASSERT_TRUE(converter);
  PcmBuffer input(reader->processingFormat(), 4800);
  PcmBuffer output(recognizerFormat, 1600 + 512);
  int64_t frames = 0;
  for (reader->read(input, 4800); input.frameLength() > 0; reader->read(input, 4800)) {
    ASSERT_TRUE(converter->convert(input, output));
    frames += output.frameLength();
  }
  int64_t beforeFlush = frames;
  do {
    ASSERT_TRUE(converter->flush(output));
    frames += output.frameLength();
  } while (output.frameLength() > 0);
  // The resampler holds back its filter's delay until the flush.
  EXPECT_LT(beforeFlush, frames);
  EXPECT_NEAR(static_cast<double>(frames), 118080 / 3.0, 118080 / 3.0 * 0.01);
}

TEST(Converter, ASineKeepsItsPitchAndLoudnessAcrossRates) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(48000, 2, 1000, 48000);
  auto converter = services.makeConverter(input.format(), recognizerFormat);
  std::vector<float> out = convertAll(*converter, input, 4800, recognizerFormat);
  ASSERT_NEAR(static_cast<double>(out.size()), 16000, 160);
  // Away from the edges, where the filter rings in and out.
  EXPECT_NEAR(frequencyOf(out, 1600, 14400, 16000), 1000, 10);
  EXPECT_NEAR(rms(out, 1600, 14400), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(Converter, ToneAboveTheNewNyquistIsFilteredOut) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(48000, 1, 12000, 48000);
  AudioFormat to = planarFloat(16000, 1);
  auto converter = services.makeConverter(input.format(), to);
  std::vector<float> out = convertAll(*converter, input, 4800, to);
  EXPECT_LT(rms(out, 1600, 14400), 0.001);
}

TEST(Converter, ChunkedConversionMatchesOneShotConversion) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(44100, 1, 440, 44100);
  AudioFormat to = planarFloat(16000, 1);
  auto whole = services.makeConverter(input.format(), to);
  auto pieces = services.makeConverter(input.format(), to);
  std::vector<float> once = convertAll(*whole, input, 44100, to);
  std::vector<float> chunked = convertAll(*pieces, input, 441, to);
  ASSERT_EQ(once.size(), chunked.size());
  for (size_t i = 0; i < once.size(); ++i)
    ASSERT_NEAR(once[i], chunked[i], 1e-5) << "frame " << i;
}

TEST(Converter, AFlushedConverterStartsAFreshStream) {
  SndfileAudioServices services;
  PcmBuffer input = sineBuffer(48000, 1, 440, 4800);
  AudioFormat to = planarFloat(16000, 1);
  auto converter = services.makeConverter(input.format(), to);
  std::vector<float> first = convertAll(*converter, input, 480, to);
  std::vector<float> second = convertAll(*converter, input, 480, to);
  EXPECT_EQ(first, second);
}

} // namespace
} // namespace quelt
