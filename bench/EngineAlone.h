#pragma once

// The engines driven directly, in this process, for what they cost without the helper.

#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ps_decoder_s;

namespace quelt::bench {

// A recording's samples; the recognizer takes 16 kHz mono and so do the fixtures.
std::vector<int16_t> readMono16k(const std::string& path);
void writeMono16k(const std::string& path, const std::vector<int16_t>& samples);
// Frames and sample rate of an audio file.
std::pair<int64_t, int> audioFrames(const std::string& path);

// The model the helper recognises en-US with.
PocketsphinxModelFiles helperModel();
// The decoder settings the helper uses, as command-line arguments, so that
// pocketsphinx_continuous and the in-process decoder run exactly as the helper does.
std::vector<std::string> decoderArguments(const PocketsphinxModelFiles& model);

// One decoder on the helper's settings, loaded once.
class Decoder {
public:
  explicit Decoder(const PocketsphinxModelFiles& model);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  struct Step {
    std::string hypothesis; // after this block
    double seconds = 0;     // processing of the block and reading the hypothesis
  };
  struct Run {
    std::vector<Step> steps; // one per 100 ms block, the silent tail included
    std::string text;        // the final hypothesis
    double wallSeconds = 0;
    double cpuSeconds = 0; // of the decoding thread
  };

  // How the audio reaches the decoder in the helper.
  struct Feed {
    bool realtime = false;      // blocks paced to the audio's own time
    size_t blockSamples = 1600; // a file source's 100 ms; the microphone's tap takes 2048
    bool silentTail = true;     // a file source's closing half second of silence
  };
  // As the helper recognises: a new utterance wherever the voice activity detector says speech
  // ended, the texts so far read after every block for partials, each utterance's text with
  // its word posteriors when it ends.
  Run decodeAsHelper(const std::vector<int16_t>& samples, Feed feed);
  // As pocketsphinx_continuous -infile does: 2048-sample reads, a new utterance wherever the
  // voice activity detector says speech ended, the hypothesis read once per utterance.
  Run decodeAsContinuous(const std::vector<int16_t>& samples);

private:
  ps_decoder_s* decoder_ = nullptr;
};

} // namespace quelt::bench
