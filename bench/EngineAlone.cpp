#include "EngineAlone.h"

#include "ProcessFigures.h"

#include <pocketsphinx.h>
#include <sndfile.h>
#include <sphinxbase/err.h>

#include <stdexcept>
#include <sys/resource.h>
#include <thread>

namespace quelt::bench {
namespace {

constexpr size_t fileBlockSamples = 1600;  // the file source's tenth of a second at 16 kHz
constexpr size_t tailBlocks = 5;           // the file source's half second of silence
constexpr size_t continuousSamples = 2048; // pocketsphinx_continuous's read size

double threadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What the helper reads for a final text; the posteriors are what its confidences come from.
std::string joined(const std::string& before, const char* next) {
  if (!next || !*next)
    return before;
  return before.empty() ? next : before + " " + next;
}

// Ends the utterance and adds its text, with its word posteriors computed as the helper does.
void endUtterance(ps_decoder_t* decoder, std::string& text) {
  ps_end_utt(decoder);
  text = joined(text, ps_get_hyp(decoder, nullptr));
  logmath_t* logmath = ps_get_logmath(decoder);
  double sum = 0;
  for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
    int32 acoustic, language, backoff;
    sum += logmath_exp(logmath, ps_seg_prob(segment, &acoustic, &language, &backoff));
  }
  (void)sum;
}

} // namespace

std::vector<int16_t> readMono16k(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file)
    throw std::runtime_error("cannot open " + path + ": " + sf_strerror(nullptr));
  if (info.samplerate != 16000 || info.channels != 1) {
    sf_close(file);
    throw std::runtime_error(path + " is not 16 kHz mono");
  }
  std::vector<int16_t> samples(static_cast<size_t>(info.frames));
  samples.resize(static_cast<size_t>(sf_readf_short(file, samples.data(), info.frames)));
  sf_close(file);
  return samples;
}

void writeMono16k(const std::string& path, const std::vector<int16_t>& samples) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file)
    throw std::runtime_error("cannot create " + path + ": " + sf_strerror(nullptr));
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

std::pair<int64_t, int> audioFrames(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file)
    return {0, 0};
  sf_close(file);
  return {info.frames, info.samplerate};
}

PocketsphinxModelFiles helperModel() {
  for (auto& model : findPocketsphinxModels("/usr/share/pocketsphinx/model"))
    if (model.locale == "en-US")
      return model;
  throw std::runtime_error("the en-US pocketsphinx model is not installed (pocketsphinx-en-us)");
}

std::vector<std::string> decoderArguments(const PocketsphinxModelFiles& model) {
  std::vector<std::string> arguments = {"-hmm", model.acousticModel};
  for (const std::string& word :
       {std::string("-lm"), model.languageModel, std::string("-dict"), model.dictionary})
    arguments.push_back(word);
  // As the helper sets them: dither against digital silence, best path for word posteriors.
  for (const char* word : {"-dither", "yes", "-bestpath", "yes", "-logfn", "/dev/null"})
    arguments.push_back(word);
  return arguments;
}

Decoder::Decoder(const PocketsphinxModelFiles& model) {
  err_set_logfp(nullptr);
  std::vector<std::string> arguments = decoderArguments(model);
  std::vector<char*> argv;
  for (auto& word : arguments)
    argv.push_back(word.data());
  cmd_ln_t* config =
      cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
  decoder_ = config ? ps_init(config) : nullptr;
  if (config)
    cmd_ln_free_r(config); // the decoder keeps its own reference
  if (!decoder_)
    throw std::runtime_error("pocketsphinx would not load the model");
}

Decoder::~Decoder() { ps_free(decoder_); }

Decoder::Run Decoder::decodeAsHelper(const std::vector<int16_t>& samples, Feed feed) {
  std::vector<int16_t> audio = samples;
  if (feed.silentTail)
    audio.resize(audio.size() + tailBlocks * fileBlockSamples, 0);
  size_t blockSamples = feed.blockSamples;
  Run run;
  auto begin = Clock::now();
  double cpuBegin = threadCpuSeconds();
  ps_start_utt(decoder_);
  bool inUtterance = false;
  for (size_t at = 0; at < audio.size(); at += blockSamples) {
    size_t count = std::min(blockSamples, audio.size() - at);
    if (feed.realtime)
      std::this_thread::sleep_until(begin + Seconds(static_cast<double>(at) / 16000));
    auto start = Clock::now();
    // Digital silence of 100 ms or more ends the utterance unsearched, as in the helper.
    const int16_t* block = audio.data() + at;
    size_t sound = count;
    while (sound > 0 && block[sound - 1] == 0)
      --sound;
    bool silenced = count - sound >= 1600;
    if (sound > 0 || !silenced)
      ps_process_raw(decoder_, block, silenced ? sound : count, FALSE, FALSE);
    bool inSpeech = ps_get_in_speech(decoder_);
    inUtterance = inUtterance || inSpeech;
    std::string text;
    if (!inUtterance || (inSpeech && !silenced)) {
      text = joined(run.text, ps_get_hyp(decoder_, nullptr));
    } else {
      endUtterance(decoder_, run.text);
      ps_start_utt(decoder_);
      inUtterance = false;
      text = run.text;
    }
    run.steps.push_back({text, secondsBetween(start, Clock::now())});
  }
  endUtterance(decoder_, run.text);
  run.cpuSeconds = threadCpuSeconds() - cpuBegin;
  run.wallSeconds = secondsBetween(begin, Clock::now());
  return run;
}

Decoder::Run Decoder::decodeAsContinuous(const std::vector<int16_t>& samples) {
  Run run;
  auto begin = Clock::now();
  double cpuBegin = threadCpuSeconds();
  auto endUtterance = [&] {
    ps_end_utt(decoder_);
    const char* hypothesis = ps_get_hyp(decoder_, nullptr);
    if (hypothesis && *hypothesis)
      run.text += (run.text.empty() ? "" : " ") + std::string(hypothesis);
  };
  ps_start_utt(decoder_);
  bool inUtterance = false;
  for (size_t at = 0; at < samples.size(); at += continuousSamples) {
    size_t count = std::min(continuousSamples, samples.size() - at);
    ps_process_raw(decoder_, samples.data() + at, count, FALSE, FALSE);
    bool inSpeech = ps_get_in_speech(decoder_);
    if (inSpeech && !inUtterance)
      inUtterance = true;
    if (!inSpeech && inUtterance) {
      endUtterance();
      ps_start_utt(decoder_);
      inUtterance = false;
    }
  }
  endUtterance();
  run.cpuSeconds = threadCpuSeconds() - cpuBegin;
  run.wallSeconds = secondsBetween(begin, Clock::now());
  return run;
}

} // namespace quelt::bench
