#include "sndfile/SndfileAudioServices.h"
#include "soxr/SoxrConverter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace quelt {
namespace {

const AudioFormat recognizerFormat{16000, 1, SampleFormat::int16, true};

// A whole file read and converted for a recognizer in a file capture's tenth-of-a-second
// buffers, as fast as it goes. "rtf" is processing time per second of audio; "x_realtime" its
// inverse.
void readAndConvert(benchmark::State& state, const std::string& file) {
  SndfileAudioServices services(makeSoxrConverter);
  std::string path = std::string(QUELT_FIXTURES_DIR) + "/" + file;
  double audioSeconds = 0;
  int64_t converted = 0;
  for (auto _ : state) {
    auto reader = services.openForReading(path);
    AudioFormat format = reader->processingFormat();
    auto converter = services.makeConverter(format, recognizerFormat);
    auto chunk = std::max<uint32_t>(1, static_cast<uint32_t>(format.sampleRate / 10));
    PcmBuffer input(format, chunk);
    // Room for a chunk at the target rate plus what the resampler may have held back.
    PcmBuffer output(
        recognizerFormat,
        static_cast<uint32_t>(chunk * recognizerFormat.sampleRate / format.sampleRate) + 1024);
    converted = 0;
    for (;;) {
      reader->read(input, chunk);
      if (input.frameLength() == 0)
        break;
      converter->convert(input, output);
      converted += output.frameLength();
      benchmark::DoNotOptimize(output.int16Plane(0).data());
    }
    do {
      converter->flush(output);
      converted += output.frameLength();
    } while (output.frameLength() > 0);
    audioSeconds += static_cast<double>(reader->length()) / format.sampleRate;
  }
  state.counters["rtf"] =
      benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.counters["frames_out"] = static_cast<double>(converted);
}

BENCHMARK_CAPTURE(readAndConvert, sentences_16k_mono, "sentences-16k-mono.wav")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(readAndConvert, sentence_48k_stereo, "sentence-48k-stereo.wav")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
} // namespace quelt

BENCHMARK_MAIN();
