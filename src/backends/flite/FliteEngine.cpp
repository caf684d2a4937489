#include "flite/FliteEngine.h"

#include "FliteLibrary.h"
#include "FliteText.h"
#include "synthesis/TextPositions.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

namespace quelt {
namespace {

// The speed a rate stands for, against the voice's own: espeak-ng's words per minute
// (80..175..450) over its normal 175, so that a rate sounds alike in both engines.
double speedFor(double rate) {
  rate = std::clamp(rate, 0.0, 1.0);
  double wordsPerMinute =
      rate <= 0.5 ? 80 + (175 - 80) * rate / 0.5 : 175 + (450 - 175) * (rate - 0.5) / 0.5;
  return wordsPerMinute / 175;
}

class FliteEngine : public SynthesisEngine {
public:
  std::string name() const override { return "flite"; }

  EngineOffer offer() override {
    EngineOffer offer;
    library_ = FliteLibrary::open();
    if (!library_)
      return offer;
    // A voice comes or goes with its library.
    offer.watch.emplace_back(library_->directory(), WatchedDirectory::Depth::entries);
    int priority = 0;
    for (const auto& entry : fliteVoiceEntries()) {
      std::error_code error;
      if (std::filesystem::exists(library_->directory() + "/" + entry.library, error))
        offer.voices.emplace_back(entry.key, entry.name, "en-US", entry.gender, entry.quality,
                                  priority++);
    }
    return offer;
  }

  bool synthesize(const SynthesisJob& job, SynthesisOutput& output) override {
    const FliteVoice* voice = voiceFor(job);
    if (!voice)
      return false;
    configure(*voice, job);
    output.format(voice->sampleRate);
    TextPositions positions(job.text);
    int64_t heard = 0;
    for (const auto& sentence : fliteSentences(job.text))
      heard += say(*voice, sentence, positions, job, heard, output);
    return true;
  }

private:
  const FliteVoice* voiceFor(const SynthesisJob& job) {
    if (!library_)
      return nullptr;
    const auto& entries = fliteVoiceEntries();
    for (const auto& entry : entries)
      if (job.voice && *job.voice == entry.key)
        return library_->voice(entry);
    // A voice from elsewhere: the first flite has.
    for (const auto& entry : entries)
      if (const FliteVoice* voice = library_->voice(entry))
        return voice;
    return nullptr;
  }

  // Features stay on the voice from one job to the next: each job sets all three afresh.
  void configure(const FliteVoice& voice, const SynthesisJob& job) {
    const FliteFunctions& f = library_->functions();
    cst_features* features = voice.voice->features;
    double speed = job.rate ? speedFor(*job.rate) : 1.0;
    f.setFloat(features, "duration_stretch", static_cast<float>(voice.durationStretch / speed));
    double pitch = job.pitch.value_or(1.0);
    if (pitch != 1.0 || voice.f0InFeatures) {
      f.setFloat(features, "int_f0_target_mean", static_cast<float>(voice.f0Mean * pitch));
      f.setFloat(features, "int_f0_target_stddev", static_cast<float>(voice.f0Deviation * pitch));
    } else {
      // A clustergen voice left alone follows its own model.
      f.removeFeature(features, "int_f0_target_mean");
      f.removeFeature(features, "int_f0_target_stddev");
    }
  }

  // Says one sentence: its words, then its audio. Returns the samples it made.
  int64_t say(const FliteVoice& voice, const std::vector<FliteToken>& sentence,
              const TextPositions& positions, const SynthesisJob& job, int64_t start,
              SynthesisOutput& output) {
    const FliteFunctions& f = library_->functions();
    cst_utterance* utterance = f.newUtterance();
    cst_relation* tokens = f.createRelation(utterance, "Token");
    for (size_t i = 0; i < sentence.size(); ++i) {
      const FliteToken& token = sentence[i];
      cst_item* item = f.append(tokens, nullptr);
      f.setString(item, "name", token.name.c_str());
      f.setString(item, "whitespace", token.whitespace.c_str());
      f.setString(item, "prepunctuation", token.prepunctuation.c_str());
      f.setString(item, "punc", token.punctuation.c_str());
      f.setInt(item, "quelt_token", static_cast<int>(i));
    }
    utterance = f.doSynth(utterance, voice.voice, f.synthTokens);
    cst_wave* wave = utterance ? f.wave(utterance) : nullptr;
    if (!wave || wave->num_channels != 1) {
      if (utterance)
        f.deleteUtterance(utterance);
      return 0;
    }
    if (job.words)
      reportWords(utterance, sentence, positions, start, wave->sample_rate, output);
    std::vector<int16_t> samples(wave->samples, wave->samples + wave->num_samples);
    double gain = std::clamp(job.volume.value_or(1.0), 0.0, 1.0);
    if (gain < 1.0)
      for (auto& sample : samples)
        sample = static_cast<int16_t>(std::lround(sample * gain));
    f.deleteUtterance(utterance);
    output.audio(samples);
    return static_cast<int64_t>(samples.size());
  }

  // A token is heard from its first word's first segment on; the segment before it ends there.
  void reportWords(cst_utterance* utterance, const std::vector<FliteToken>& sentence,
                   const TextPositions& positions, int64_t start, int rate,
                   SynthesisOutput& output) {
    const FliteFunctions& f = library_->functions();
    for (cst_item* token = f.head(f.relation(utterance, "Token")); token; token = f.next(token)) {
      if (!f.featPresent(token, "quelt_token"))
        continue;
      auto index = static_cast<size_t>(f.featInt(token, "quelt_token"));
      if (index >= sentence.size() || sentence[index].part == FliteToken::Part::continuation)
        continue;
      for (cst_item* word = f.daughter(token); word; word = f.next(word)) {
        cst_item* structure = f.as(word, "SylStructure");
        cst_item* syllable = structure ? f.daughter(structure) : nullptr;
        cst_item* phone = syllable ? f.daughter(syllable) : nullptr;
        cst_item* segment = phone ? f.as(phone, "Segment") : nullptr;
        if (!segment)
          continue;
        cst_item* before = f.prev(segment);
        double seconds = before ? f.featFloat(before, "end") : 0.0;
        const FliteToken& spoken = sentence[index];
        int64_t location = positions.ofByte(static_cast<int64_t>(spoken.wordBegin));
        output.word(start + std::llround(seconds * rate), location,
                    positions.ofByte(static_cast<int64_t>(spoken.wordEnd)) - location);
        break;
      }
    }
  }

  std::unique_ptr<FliteLibrary> library_;
};

} // namespace

std::unique_ptr<SynthesisEngine> makeFliteEngine() { return std::make_unique<FliteEngine>(); }

} // namespace quelt
