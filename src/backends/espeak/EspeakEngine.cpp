#include "espeak/EspeakEngine.h"

#include "synthesis/TextPositions.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quelt {
namespace {

constexpr const char* defaultVoiceName = "en";

// "en-us" -> "en-US": a two-letter region after the language, as BCP-47 writes it.
std::string tagFor(const std::string& language) {
  std::string tag = language;
  size_t dash = tag.find('-');
  if (dash == std::string::npos)
    return tag;
  size_t end = tag.find('-', dash + 1);
  size_t length = (end == std::string::npos ? tag.size() : end) - dash - 1;
  if (length == 2) {
    auto region = tag.begin() + static_cast<ptrdiff_t>(dash + 1);
    std::transform(region, region + 2, region, [](char c) {
      return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
  }
  return tag;
}

std::string trimmed(const char* text) {
  std::string value = text ? text : "";
  size_t first = value.find_first_not_of(' ');
  size_t last = value.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

// Straight lines between (x0, y0), (x1, y1) and (x2, y2), clamped to that span.
double piecewise(double x, double x0, double y0, double x1, double y1, double x2, double y2) {
  x = std::clamp(x, x0, x2);
  if (x <= x1)
    return y0 + (y1 - y0) * (x - x0) / (x1 - x0);
  return y1 + (y2 - y1) * (x - x1) / (x2 - x1);
}

int wordsPerMinute(const SynthesisJob& job) {
  return static_cast<int>(std::lround(piecewise(job.rate.value_or(0.5), 0, espeakRATE_MINIMUM, 0.5,
                                                espeakRATE_NORMAL, 1, espeakRATE_MAXIMUM)));
}

int espeakPitch(const SynthesisJob& job) {
  return static_cast<int>(std::lround(piecewise(job.pitch.value_or(1.0), 0.5, 0, 1, 50, 2, 100)));
}

int espeakVolume(const SynthesisJob& job) {
  return static_cast<int>(std::lround(std::clamp(job.volume.value_or(1.0), 0.0, 1.0) * 100));
}

class EspeakEngine;
// espeak-ng's callback has no place for a context of ours.
EspeakEngine* speaking = nullptr;

class EspeakEngine : public SynthesisEngine {
public:
  std::string name() const override { return "espeak-ng"; }

  EngineOffer offer() override {
    espeak_ng_InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT context = nullptr;
    if (espeak_ng_Initialize(&context) == ENS_OK &&
        espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 50, nullptr) == ENS_OK)
      rate_ = espeak_ng_GetSampleRate();
    espeak_ng_ClearErrorContext(&context);
    EngineOffer offer;
    const char* data = nullptr;
    espeak_Info(&data);
    // Voices and languages come and go with the directories under its data.
    if (data && *data)
      for (const char* part : {"/voices", "/lang"})
        offer.watch.emplace_back(std::string(data) + part, WatchedDirectory::Depth::tree);
    if (rate_ > 0) {
      offer.voices = voices();
      espeak_SetSynthCallback(&onSynth);
    }
    return offer;
  }

  bool synthesize(const SynthesisJob& job, SynthesisOutput& output) override {
    if (rate_ <= 0)
      return false;
    TextPositions positions(job.text);
    // espeak-ng reads a C string: a NUL in the text would end it there. A space in its place
    // keeps every later character where the ranges expect it.
    std::string text = job.text;
    std::replace(text.begin(), text.end(), '\0', ' ');
    selectVoice(job);
    espeak_SetParameter(espeakRATE, wordsPerMinute(job), 0);
    espeak_SetParameter(espeakPITCH, espeakPitch(job), 0);
    espeak_SetParameter(espeakVOLUME, espeakVolume(job), 0);
    output.format(rate_);
    job_ = &job;
    output_ = &output;
    positions_ = &positions;
    speaking = this;
    espeak_ERROR result = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                       espeakCHARS_UTF8, nullptr, nullptr);
    speaking = nullptr;
    return result == EE_OK;
  }

private:
  static std::vector<EngineVoice> voices() {
    std::vector<EngineVoice> voices;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (; list && *list; ++list) {
      const espeak_VOICE& voice = **list;
      if (!voice.identifier || !voice.languages)
        continue;
      std::string name = trimmed(voice.name);
      bool first = true;
      // [priority byte][language NUL] pairs, up to a priority of 0.
      for (const char* entry = voice.languages; *entry; entry += std::strlen(entry + 1) + 2) {
        std::string language = entry + 1;
        std::string tag = tagFor(language);
        int gender = voice.gender == 1 || voice.gender == 2 ? voice.gender : 0;
        // Further languages of the same voice say which they are, to tell them apart.
        voices.emplace_back(std::string(voice.identifier) + ":" + language,
                            first ? name : name + " (" + tag + ")", tag, gender, 1,
                            static_cast<unsigned char>(entry[0]));
        first = false;
      }
    }
    return voices;
  }

  static void selectVoice(const SynthesisJob& job) {
    // A key is "<voice file>:<language>"; the file names no colon.
    if (job.voice) {
      std::string file = job.voice->substr(0, job.voice->rfind(':'));
      if (espeak_SetVoiceByName(file.c_str()) == EE_OK)
        return;
    }
    // A voice from elsewhere: the closest espeak-ng has for its language.
    if (job.language && !job.language->empty()) {
      std::string wanted = *job.language;
      std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      });
      espeak_VOICE properties{};
      properties.languages = wanted.c_str();
      if (espeak_SetVoiceByProperties(&properties) == EE_OK)
        return;
    }
    espeak_SetVoiceByName(defaultVoiceName);
  }

  static int onSynth(short* samples, int count, espeak_EVENT* events) {
    if (!samples || !speaking)
      return 0;
    speaking->deliver(samples, count, events);
    return 0;
  }

  void deliver(const short* samples, int count, const espeak_EVENT* events) {
    for (; events && events->type != espeakEVENT_LIST_TERMINATED; ++events) {
      if (!job_->words || events->type != espeakEVENT_WORD)
        continue;
      // espeak-ng counts code points from 1.
      int64_t start = int64_t{events->text_position} - 1;
      int64_t end = start + std::max(events->length, 0);
      int64_t location = positions_->ofCodePoint(start);
      output_->word(int64_t{events->audio_position} * rate_ / 1000, location,
                    positions_->ofCodePoint(std::max(start, end)) - location);
    }
    if (count > 0)
      output_->audio({samples, static_cast<size_t>(count)});
  }

  int rate_ = 0;
  const SynthesisJob* job_ = nullptr;
  SynthesisOutput* output_ = nullptr;
  const TextPositions* positions_ = nullptr;
};

} // namespace

std::unique_ptr<SynthesisEngine> makeEspeakEngine() {
  // espeak-ng opens an audio device as its output starts, whatever the output mode, with
  // libpulse's 30 s timeouts on a sound server that does not answer. The helper plays the audio
  // itself, so the worker asks a server that is certain not to be there.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quelt-voice-helper", 1);
  return std::make_unique<EspeakEngine>();
}

} // namespace quelt
