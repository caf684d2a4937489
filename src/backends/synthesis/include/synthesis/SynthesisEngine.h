#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelt {

// One speech synthesis library as a synthesis worker runs it (see SynthesisWorker.h). Each
// worker holds every engine; a job names the engine it is for.

// A voice as its engine offers it.
struct EngineVoice {
  EngineVoice(std::string key, std::string name, std::string language, int gender, int quality,
              int priority)
      : key(std::move(key)), name(std::move(name)), language(std::move(language)), gender(gender),
        quality(quality), priority(priority) {}

  std::string key;      // the engine's own name for it, unique within the engine
  std::string name;     // for people
  std::string language; // BCP-47, e.g. "en-US"
  int gender = 0;       // 0 unspecified, 1 male, 2 female
  int quality = 1;      // 1 default, 2 enhanced, 3 premium
  int priority = 0;     // the engine's preference among its voices of a language, lower first
};

// A directory whose changes may change what an engine offers.
struct WatchedDirectory {
  enum class Depth { entries, tree };
  WatchedDirectory(std::string path, Depth depth) : path(std::move(path)), depth(depth) {}

  std::string path;
  Depth depth; // `tree`: its subdirectories too
};

struct EngineOffer {
  std::vector<EngineVoice> voices; // none: the engine could not start
  std::vector<WatchedDirectory> watch;
};

// One text to say. Rate, pitch and volume are on the request's own scales (0..1, 0.5..2,
// 0..1); nothing means the voice's own.
struct SynthesisJob {
  std::string text;
  std::optional<std::string> voice;    // an EngineVoice key; nothing: the engine's default
  std::optional<std::string> language; // for a voice the engine does not know by key
  std::optional<double> rate;
  std::optional<double> pitch;
  std::optional<double> volume;
  bool words = false; // whether to report where each word starts
};

// Where a job's audio goes, in order: the format once, then audio and words as they come.
class SynthesisOutput {
public:
  virtual ~SynthesisOutput() = default;
  virtual void format(int64_t sampleRate) = 0; // mono int16 at this rate
  virtual void audio(std::span<const int16_t> samples) = 0;
  // A word heard from `sample` on, at UTF-16 `location` and `length` in the job's text.
  virtual void word(int64_t sample, int64_t location, int64_t length) = 0;
};

class SynthesisEngine {
public:
  virtual ~SynthesisEngine() = default;
  // Its part of the voice identifiers, e.g. "espeak-ng".
  virtual std::string name() const = 0;
  // Starts what it needs to say what it offers; called once, before any job.
  virtual EngineOffer offer() = 0;
  // False: the engine refused the text.
  virtual bool synthesize(const SynthesisJob& job, SynthesisOutput& output) = 0;
};

using MakeSynthesisEngine = std::function<std::unique_ptr<SynthesisEngine>()>;

} // namespace quelt
