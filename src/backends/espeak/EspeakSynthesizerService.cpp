#include "espeak/EspeakSynthesizerService.h"

#include "espeak/SynthesisWorkerProcess.h"
#include "platform/AudioOutput.h"
#include "platform/PcmBuffer.h"
#include "platform/ProcessIdentity.h"

#include <espeak-ng/speak_lib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unicode/locid.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <span>
#include <thread>

namespace quelt {
namespace {

using Clock = std::chrono::steady_clock;
using Log = std::function<void(const std::string&)>;

// espeak-ng's usual rate, for the end of a render when espeak-ng could not start.
constexpr int fallbackRate = 22050;
constexpr const char* defaultVoiceName = "en";
constexpr const char* identifierPrefix = "espeak-ng:";
// Workers idle this long are let go; the next render starts another.
constexpr auto idleWorkerLifetime = std::chrono::seconds(60);
// How often the voice data on disk is looked at for changes, at most.
constexpr auto voiceDataCheckInterval = std::chrono::seconds(1);

struct EspeakVoice {
  VoiceInfo info;
  std::string file;     // espeak-ng's identifier: the voice file under espeak-ng-data/voices
  std::string language; // as espeak-ng spells it
  int priority = 0;     // espeak-ng's preference for the language, lower first
};

// What espeak-ng offers, as a worker reported it when it started.
struct Catalogue {
  int rate = 0; // 0: espeak-ng could not start
  std::vector<EspeakVoice> voices;
  std::string data;       // espeak-ng's data directory
  uint64_t signature = 0; // of the voice data on disk when it was read
};

std::string baseLanguage(const std::string& tag) { return tag.substr(0, tag.find_first_of("-_")); }

bool sameTag(std::string a, std::string b) {
  std::replace(a.begin(), a.end(), '_', '-');
  std::replace(b.begin(), b.end(), '_', '-');
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Straight lines between (x0, y0), (x1, y1) and (x2, y2), clamped to that span.
double piecewise(double x, double x0, double y0, double x1, double y1, double x2, double y2) {
  x = std::clamp(x, x0, x2);
  if (x <= x1)
    return y0 + (y1 - y0) * (x - x0) / (x1 - x0);
  return y1 + (y2 - y1) * (x - x1) / (x2 - x1);
}

int wordsPerMinute(const SpeechUtterance& u) {
  double rate = u.rate.value_or(0.5f);
  return static_cast<int>(std::lround(
      piecewise(rate, 0, espeakRATE_MINIMUM, 0.5, espeakRATE_NORMAL, 1, espeakRATE_MAXIMUM)));
}

int espeakPitch(const SpeechUtterance& u) {
  return static_cast<int>(std::lround(piecewise(u.pitch.value_or(1.0f), 0.5, 0, 1, 50, 2, 100)));
}

int espeakVolume(const SpeechUtterance& u) {
  return static_cast<int>(std::lround(std::clamp(u.volume.value_or(1.0f), 0.0f, 1.0f) * 100));
}

// A worker's job for an utterance (see SynthesisWorker.h).
Json jobFor(const SpeechUtterance& utterance, const Catalogue& catalogue, bool words) {
  Json job = {{"text", utterance.text},
              {"voice", nullptr},
              {"language", nullptr},
              {"rate", wordsPerMinute(utterance)},
              {"pitch", espeakPitch(utterance)},
              {"volume", espeakVolume(utterance)},
              {"words", words}};
  if (const auto& wanted = utterance.voice) {
    for (const auto& voice : catalogue.voices)
      if (voice.info.identifier == wanted->identifier)
        job["voice"] = voice.file;
    job["language"] = wanted->language;
  }
  return job;
}

// Changes whenever a voice or language is added to or removed from espeak-ng's data: the
// directories' own times change with their entries.
uint64_t voiceDataSignature(const std::string& data) {
  if (data.empty())
    return 0;
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
      return;
    for (auto value : {static_cast<int64_t>(status.st_ino), int64_t{status.st_mtim.tv_sec},
                       int64_t{status.st_mtim.tv_nsec}, int64_t{status.st_ctim.tv_sec},
                       int64_t{status.st_ctim.tv_nsec}})
      hash = (hash ^ static_cast<uint64_t>(value)) * 1099511628211ull;
  };
  mix(data);
  namespace fs = std::filesystem;
  for (const char* part : {"/voices", "/lang"}) {
    mix(data + part);
    std::error_code error;
    for (fs::recursive_directory_iterator it(data + part, error), end; !error && it != end;
         it.increment(error))
      if (it->is_directory(error))
        mix(it->path().string());
  }
  return hash;
}

Catalogue catalogueFrom(const Json& hello) {
  Catalogue catalogue;
  catalogue.rate = hello.value("rate", 0);
  catalogue.data = hello.value("data", "");
  const Json& voices = hello.contains("voices") ? hello["voices"] : Json::array();
  for (const Json& entry : voices) {
    if (!entry.is_object())
      continue;
    EspeakVoice voice;
    voice.file = entry.value("file", "");
    voice.language = entry.value("language", "");
    voice.priority = entry.value("priority", 0);
    voice.info.identifier = identifierPrefix + voice.file + ":" + voice.language;
    voice.info.name = entry.value("name", "");
    voice.info.language = entry.value("tag", voice.language);
    voice.info.gender = entry.value("gender", 0);
    bool seen = std::any_of(catalogue.voices.begin(), catalogue.voices.end(), [&](const auto& v) {
      return v.info.identifier == voice.info.identifier;
    });
    if (!seen && !voice.file.empty())
      catalogue.voices.push_back(std::move(voice));
  }
  return catalogue;
}

struct RenderJob {
  std::shared_ptr<SpeechUtterance> utterance;
  SpeechSynthesizer::RenderBuffer onBuffer;
  SpeechSynthesizer::RenderFailure onFailure;
};

} // namespace

// What a service and its synthesizers share: how to start workers, the catalogue, and the
// renders' pool of workers.
class EspeakEngine : public std::enable_shared_from_this<EspeakEngine> {
public:
  EspeakEngine(std::string program, MakeAudioOutput makeOutput, Log log,
               std::chrono::milliseconds stallLimit)
      : program_(std::move(program)), makeOutput_(std::move(makeOutput)), log_(std::move(log)),
        stallLimit_(stallLimit), renderWorkers_(std::max(2u, std::thread::hardware_concurrency())) {
    auto logged = std::make_shared<std::atomic<bool>>(false);
    logOnce_ = [log = log_, logged](const std::string& message) {
      if (log && !logged->exchange(true))
        log(message);
    };
  }

  void log(const std::string& line) const {
    if (log_)
      log_(line);
  }
  const Log& logOnce() const { return logOnce_; }

  // Where a synthesizer's speech is heard. Throws PlatformError when there is nowhere.
  std::unique_ptr<AudioOutput> makeOutput() const {
    if (!makeOutput_)
      throw PlatformError("quelt", -1, "no audio output");
    return makeOutput_();
  }

  // A worker for the calling thread, which must outlive it.
  std::unique_ptr<SynthesisWorkerProcess> makeWorker() const {
    return std::make_unique<SynthesisWorkerProcess>(program_, log_, stallLimit_);
  }

  // Read from a worker once, and again when the voice data on disk changes. The first call
  // waits for the reading; later ones only when the data changed.
  std::shared_ptr<const Catalogue> catalogue() {
    std::unique_lock lock(mutex_);
    if (catalogue_ && (loading_ || !stale()))
      return catalogue_;
    if (loading_) {
      loaded_.wait(lock, [this] { return !loading_; });
      return catalogue_;
    }
    loading_ = true;
    lock.unlock();
    auto fresh = std::make_shared<Catalogue>();
    try {
      auto worker = makeWorker();
      *fresh = catalogueFrom(worker->hello());
    } catch (const PlatformError& error) {
      log("speech synthesis unavailable: " + error.description());
    }
    fresh->signature = voiceDataSignature(fresh->data);
    lock.lock();
    catalogue_ = fresh;
    checked_ = Clock::now();
    loading_ = false;
    loaded_.notify_all();
    return catalogue_;
  }

  void render(RenderJob job) {
    std::lock_guard lock(mutex_);
    renders_.push_back(std::move(job));
    if (idleRunners_ == 0 && runners_ < renderWorkers_) {
      ++runners_;
      std::thread([self = shared_from_this()] { self->runRenders(); }).detach();
    }
    work_.notify_one();
  }

  // Ends the render workers once their renders end; the service is going.
  void stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    work_.notify_all();
  }

private:
  // Under mutex_.
  bool stale() {
    if (Clock::now() - checked_ < voiceDataCheckInterval)
      return false;
    checked_ = Clock::now();
    return catalogue_->rate == 0 || voiceDataSignature(catalogue_->data) != catalogue_->signature;
  }

  // One of the pool's threads, with a worker of its own.
  void runRenders() {
    auto worker = makeWorker();
    for (;;) {
      RenderJob job;
      {
        std::unique_lock lock(mutex_);
        ++idleRunners_;
        bool woken = work_.wait_for(lock, idleWorkerLifetime,
                                    [this] { return stopping_ || !renders_.empty(); });
        --idleRunners_;
        if (stopping_) {
          --runners_;
          return;
        }
        if (!woken) {
          lock.unlock();
          worker->retire();
          continue;
        }
        job = std::move(renders_.front());
        renders_.pop_front();
      }
      renderOne(job, *worker);
    }
  }

  void renderOne(const RenderJob& job, SynthesisWorkerProcess& worker) {
    bool wanted = true;
    auto deliver = [&](const PcmBuffer& buffer) {
      try {
        wanted = wanted && job.onBuffer && job.onBuffer(&buffer);
      } catch (...) {
        wanted = false;
      }
    };
    try {
      Json request =
          jobFor(job.utterance ? *job.utterance : SpeechUtterance{}, *catalogue(), false);
      int rate = worker.hello().value("rate", 0);
      AudioFormat format{static_cast<double>(rate > 0 ? rate : fallbackRate), 1,
                         SampleFormat::int16, true};
      // espeak-ng hands over 50 ms at a time; each block delivered is a hop to another thread,
      // so they go out a second at a time.
      PcmBuffer buffer(format, static_cast<uint32_t>(format.sampleRate));
      if (rate > 0) {
        SynthesisWorkerProcess::Handlers handlers;
        handlers.audio = [&](std::span<const int16_t> samples) {
          while (wanted && !samples.empty()) {
            uint32_t filled = buffer.frameLength();
            size_t frames = std::min<size_t>(samples.size(), buffer.frameCapacity() - filled);
            std::copy_n(samples.begin(), frames, buffer.int16Plane(0).begin() + filled);
            buffer.setFrameLength(filled + static_cast<uint32_t>(frames));
            samples = samples.subspan(frames);
            if (buffer.frameLength() == buffer.frameCapacity()) {
              deliver(buffer);
              buffer.setFrameLength(0);
            }
          }
          return wanted;
        };
        handlers.abandoned = [&] {
          std::lock_guard lock(mutex_);
          return stopping_;
        };
        if (worker.run(request, handlers) == SynthesisWorkerProcess::Outcome::abandoned)
          return;
      }
      if (buffer.frameLength() > 0)
        deliver(buffer);
      buffer.setFrameLength(0);
      deliver(buffer);
    } catch (const PlatformError& error) {
      if (job.onFailure)
        job.onFailure(error);
    }
  }

  const std::string program_;
  const MakeAudioOutput makeOutput_;
  const Log log_;
  Log logOnce_;
  const std::chrono::milliseconds stallLimit_;
  const unsigned renderWorkers_;

  std::mutex mutex_;
  std::shared_ptr<const Catalogue> catalogue_;
  bool loading_ = false;
  std::condition_variable loaded_;
  Clock::time_point checked_;

  std::deque<RenderJob> renders_;
  std::condition_variable work_;
  unsigned runners_ = 0;
  unsigned idleRunners_ = 0;
  bool stopping_ = false;
};

namespace {

struct Range {
  int64_t location;
  int64_t length;
};

// An utterance on its way to being spoken: synthesized by a worker, then played.
struct Spoken {
  struct Word {
    int64_t sample;
    Range range;
  };

  explicit Spoken(std::shared_ptr<SpeechUtterance> u) : utterance(std::move(u)) {}

  std::shared_ptr<SpeechUtterance> utterance;
  std::atomic<bool> cancelled{false};
  bool ready = false; // under the speaker's mutex
  // Written by the synthesis thread before `ready`, read by the player after.
  bool synthesized = false;
  double rate = 0;
  std::vector<int16_t> samples;
  std::vector<Word> words;
};

// Silence that takes as long as the audio would.
class ClockPlayback : public Playback {
public:
  ClockPlayback(int64_t samples, double rate) : total_(samples), rate_(rate) {}

  int64_t position() override {
    auto heard = (pausedAt_ ? *pausedAt_ : Clock::now()) - start_ - pausedFor_;
    auto samples = static_cast<int64_t>(std::chrono::duration<double>(heard).count() * rate_);
    return std::clamp<int64_t>(samples, 0, total_);
  }
  bool finished() override { return position() >= total_; }
  void setPaused(bool paused) override {
    if (paused && !pausedAt_) {
      pausedAt_ = Clock::now();
    } else if (!paused && pausedAt_) {
      pausedFor_ += Clock::now() - *pausedAt_;
      pausedAt_.reset();
    }
  }

private:
  int64_t total_;
  double rate_;
  Clock::time_point start_ = Clock::now();
  Clock::duration pausedFor_{};
  std::optional<Clock::time_point> pausedAt_;
};

// Synthesizes one utterance after another in a worker of its own and plays them, each on its
// own thread, telling the delegate how it goes. Requests only set what the threads should do;
// the player does it and reports, so each utterance's reports come from one thread in order.
class Speaker {
public:
  explicit Speaker(std::shared_ptr<EspeakEngine> engine) : engine_(std::move(engine)) {}

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }

  void enqueue(const std::shared_ptr<Spoken>& spoken) {
    std::lock_guard lock(mutex_);
    queue_.push_back(spoken);
    unsynthesized_.push_back(spoken);
    changed_.notify_all();
  }

  bool stop(SpeechBoundary boundary) {
    std::lock_guard lock(mutex_);
    if (!current_ && queue_.empty())
      return false;
    for (auto& spoken : queue_) {
      spoken->cancelled = true;
      cancelled_.push_back(spoken);
    }
    queue_.clear();
    abandonSynthesis();
    if (current_ && (!stop_ || boundary == SpeechBoundary::immediate))
      stop_ = boundary;
    changed_.notify_all();
    return true;
  }

  bool pause(SpeechBoundary boundary) {
    std::lock_guard lock(mutex_);
    if ((!current_ && queue_.empty()) || paused_)
      return false;
    paused_ = true;
    pauseAt_ = boundary;
    changed_.notify_all();
    return true;
  }

  bool resume() {
    std::lock_guard lock(mutex_);
    if (!paused_)
      return false;
    paused_ = false;
    changed_.notify_all();
    return true;
  }

  void shutdown() {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
    for (auto& spoken : queue_)
      spoken->cancelled = true;
    abandonSynthesis();
    changed_.notify_all();
  }

  // The synthesis thread: one utterance after another, in the order they came.
  void synthesizeAll() {
    auto worker = engine_->makeWorker();
    for (;;) {
      std::shared_ptr<Spoken> next;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return shutdown_ || !unsynthesized_.empty(); });
        if (shutdown_)
          return;
        next = unsynthesized_.front();
        unsynthesized_.pop_front();
        synthesizing_ = next;
        worker_ = worker.get();
      }
      synthesize(*next, *worker);
      std::lock_guard lock(mutex_);
      synthesizing_.reset();
      worker_ = nullptr;
      next->ready = true;
      changed_.notify_all();
    }
  }

  void run() {
    for (;;) {
      std::deque<std::shared_ptr<Spoken>> cancelled;
      std::shared_ptr<Spoken> next;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] {
          return shutdown_ || !cancelled_.empty() || (!queue_.empty() && queue_.front()->ready);
        });
        if (shutdown_)
          return;
        cancelled.swap(cancelled_);
        if (!queue_.empty() && queue_.front()->ready) {
          next = queue_.front();
          queue_.pop_front();
          current_ = next;
        }
      }
      for (const auto& spoken : cancelled)
        report(&SynthesizerDelegate::didCancel, spoken->utterance);
      if (next)
        play(*next);
    }
  }

private:
  enum class Outcome { finished, cancelled, abandoned };

  // Under mutex_: an utterance dropped while being synthesized is not finished; its worker
  // goes, whatever it is in the middle of.
  void abandonSynthesis() {
    if (synthesizing_ && synthesizing_->cancelled && worker_)
      worker_->kill();
  }

  void synthesize(Spoken& spoken, SynthesisWorkerProcess& worker) {
    if (spoken.cancelled)
      return;
    try {
      Json job = jobFor(*spoken.utterance, *engine_->catalogue(), true);
      spoken.rate = worker.hello().value("rate", 0);
      if (spoken.rate <= 0)
        return;
      SynthesisWorkerProcess::Handlers handlers;
      handlers.audio = [&](std::span<const int16_t> samples) {
        spoken.samples.insert(spoken.samples.end(), samples.begin(), samples.end());
        return !spoken.cancelled;
      };
      handlers.word = [&](int64_t sample, int64_t location, int64_t length) {
        spoken.words.push_back({sample, {location, length}});
      };
      handlers.abandoned = [&] { return spoken.cancelled.load(); };
      spoken.synthesized = worker.run(job, handlers) == SynthesisWorkerProcess::Outcome::spoken;
    } catch (const PlatformError& error) {
      if (!spoken.cancelled)
        engine_->log("speech synthesis failed: " + error.description());
    }
  }

  template <typename... Args>
  void report(void (SynthesizerDelegate::*method)(const std::shared_ptr<SpeechUtterance>&, Args...),
              const std::shared_ptr<SpeechUtterance>& utterance, Args... args) {
    std::shared_ptr<SynthesizerDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      delegate = delegate_.lock();
    }
    if (delegate)
      (delegate.get()->*method)(utterance, args...);
  }

  std::unique_ptr<Playback> open(const Spoken& spoken) {
    std::string reason;
    try {
      if (!output_)
        output_ = engine_->makeOutput();
      return output_->play(spoken.samples, spoken.rate);
    } catch (const PlatformError& error) {
      reason = error.description();
    }
    engine_->logOnce()("audio playback unavailable (" + reason + "); speech is timed but silent");
    return std::make_unique<ClockPlayback>(static_cast<int64_t>(spoken.samples.size()),
                                           spoken.rate);
  }

  void play(const Spoken& spoken) {
    const auto& utterance = spoken.utterance;
    Outcome outcome = Outcome::cancelled;
    if (spoken.synthesized && !spoken.cancelled) {
      std::unique_ptr<Playback> playback = open(spoken);
      report(&SynthesizerDelegate::didStart, utterance);
      outcome = perform(spoken, *playback);
    }
    {
      std::lock_guard lock(mutex_);
      current_.reset();
      stop_.reset();
      // A pause waiting for a word that never came ends with its utterance.
      paused_ = false;
    }
    if (outcome == Outcome::finished)
      report(&SynthesizerDelegate::didFinish, utterance);
    else if (outcome == Outcome::cancelled)
      report(&SynthesizerDelegate::didCancel, utterance);
  }

  Outcome perform(const Spoken& spoken, Playback& playback) {
    const auto& utterance = spoken.utterance;
    size_t next = 0;
    bool paused = false;
    for (;;) {
      std::optional<SpeechBoundary> stop;
      bool wantPaused = false;
      SpeechBoundary pauseAt = SpeechBoundary::immediate;
      {
        std::lock_guard lock(mutex_);
        if (shutdown_)
          return Outcome::abandoned;
        stop = stop_;
        wantPaused = paused_;
        pauseAt = pauseAt_;
      }
      // A paused utterance reaches no further word, so it stops where it is.
      if (stop == SpeechBoundary::immediate || (stop && paused))
        return Outcome::cancelled;
      if (wantPaused && !paused && pauseAt == SpeechBoundary::immediate) {
        playback.setPaused(paused = true);
        report(&SynthesizerDelegate::didPause, utterance);
      } else if (!wantPaused && paused) {
        playback.setPaused(paused = false);
        report(&SynthesizerDelegate::didContinue, utterance);
      }
      if (!paused) {
        int64_t heard = playback.position();
        for (; next < spoken.words.size() && spoken.words[next].sample <= heard; ++next) {
          if (stop)
            return Outcome::cancelled;
          if (wantPaused) {
            playback.setPaused(paused = true);
            report(&SynthesizerDelegate::didPause, utterance);
            break;
          }
          const Range& range = spoken.words[next].range;
          report(&SynthesizerDelegate::willSpeakRange, utterance, range.location, range.length);
        }
        // A stream the sound server dropped did not say the rest.
        if (playback.failed()) {
          engine_->log("speech playback failed: the sound server ended the stream");
          return Outcome::cancelled;
        }
        if (!paused && playback.finished()) {
          for (; next < spoken.words.size(); ++next) {
            const Range& range = spoken.words[next].range;
            report(&SynthesizerDelegate::willSpeakRange, utterance, range.location, range.length);
          }
          return Outcome::finished;
        }
      }
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
  }

  const std::shared_ptr<EspeakEngine> engine_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::weak_ptr<SynthesizerDelegate> delegate_;
  // Waiting to be played, in order; the front may still be synthesizing.
  std::deque<std::shared_ptr<Spoken>> queue_;
  // Waiting for the synthesis thread, and the one it is on with its worker.
  std::deque<std::shared_ptr<Spoken>> unsynthesized_;
  std::shared_ptr<Spoken> synthesizing_;
  SynthesisWorkerProcess* worker_ = nullptr;
  // Dropped from the queue, to be reported.
  std::deque<std::shared_ptr<Spoken>> cancelled_;
  std::shared_ptr<Spoken> current_;
  std::optional<SpeechBoundary> stop_;
  bool paused_ = false;
  SpeechBoundary pauseAt_ = SpeechBoundary::immediate;
  bool shutdown_ = false;
  // Only the player thread uses it.
  std::unique_ptr<AudioOutput> output_;
};

class EspeakSpeechSynthesizer : public SpeechSynthesizer {
public:
  explicit EspeakSpeechSynthesizer(std::shared_ptr<EspeakEngine> engine)
      : engine_(engine), speaker_(std::make_shared<Speaker>(std::move(engine))) {}

  ~EspeakSpeechSynthesizer() override {
    speaker_->shutdown();
    std::lock_guard lock(threadMutex_);
    for (std::thread* thread : {&player_, &synthesis_}) {
      if (!thread->joinable())
        continue;
      // A delegate may let go of its synthesizer from the player's own reports.
      if (thread->get_id() == std::this_thread::get_id())
        thread->detach();
      else
        thread->join();
    }
  }
  EspeakSpeechSynthesizer(const EspeakSpeechSynthesizer&) = delete;
  EspeakSpeechSynthesizer& operator=(const EspeakSpeechSynthesizer&) = delete;

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) override {
    speaker_->setDelegate(std::move(delegate));
  }

  void speak(std::shared_ptr<SpeechUtterance> utterance) override {
    if (!utterance)
      return;
    {
      // The threads start with the first utterance: renders need none.
      std::lock_guard lock(threadMutex_);
      if (!player_.joinable()) {
        player_ = std::thread([speaker = speaker_] { speaker->run(); });
        synthesis_ = std::thread([speaker = speaker_] { speaker->synthesizeAll(); });
      }
    }
    speaker_->enqueue(std::make_shared<Spoken>(std::move(utterance)));
  }

  bool stopSpeaking(SpeechBoundary boundary) override { return speaker_->stop(boundary); }
  bool pauseSpeaking(SpeechBoundary boundary) override { return speaker_->pause(boundary); }
  bool continueSpeaking() override { return speaker_->resume(); }

  void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
             RenderFailure onFailure) override {
    engine_->render({std::move(utterance), std::move(onBuffer), std::move(onFailure)});
  }

private:
  std::shared_ptr<EspeakEngine> engine_;
  std::shared_ptr<Speaker> speaker_;
  std::mutex threadMutex_;
  std::thread player_;
  std::thread synthesis_;
};

} // namespace

EspeakSynthesizerService::EspeakSynthesizerService(std::string workerProgram,
                                                   MakeAudioOutput makeOutput, Log log,
                                                   std::chrono::milliseconds stallLimit)
    : engine_(std::make_shared<EspeakEngine>(std::move(workerProgram), std::move(makeOutput),
                                             std::move(log), stallLimit)) {
  // The voices are read while the helper does other things, so that the first request that
  // needs them finds them, or waits less.
  std::thread([engine = engine_] { engine->catalogue(); }).detach();
}

EspeakSynthesizerService::~EspeakSynthesizerService() { engine_->stop(); }

std::vector<VoiceInfo> EspeakSynthesizerService::voices() {
  std::vector<VoiceInfo> voices;
  for (const auto& voice : engine_->catalogue()->voices)
    voices.push_back(voice.info);
  return voices;
}

std::optional<VoiceInfo>
EspeakSynthesizerService::voiceWithIdentifier(const std::string& identifier) {
  for (const auto& voice : engine_->catalogue()->voices)
    if (voice.info.identifier == identifier)
      return voice.info;
  return std::nullopt;
}

std::optional<VoiceInfo>
EspeakSynthesizerService::voiceWithLanguage(const std::optional<std::string>& language) {
  std::string wanted = language.value_or(defaultVoiceName);
  // Whole tag, then a voice for just the base language, then any voice of that base language;
  // espeak-ng's priority and then its order among equals.
  auto rank = [&](const EspeakVoice& voice) {
    if (sameTag(voice.info.language, wanted))
      return 0;
    std::string base = baseLanguage(wanted);
    if (sameTag(voice.info.language, base))
      return 1;
    if (sameTag(baseLanguage(voice.info.language), base))
      return 2;
    return 3;
  };
  auto catalogue = engine_->catalogue();
  const EspeakVoice* best = nullptr;
  int bestRank = 3;
  for (const auto& voice : catalogue->voices) {
    int r = rank(voice);
    if (r < bestRank || (best && r == bestRank && voice.priority < best->priority)) {
      best = &voice;
      bestRank = r;
    }
  }
  return best ? std::optional(best->info) : std::nullopt;
}

std::string EspeakSynthesizerService::currentLanguageCode() {
  const icu::Locale& locale = icu::Locale::getDefault();
  std::string language = locale.getLanguage();
  std::string region = locale.getCountry();
  if (language.empty())
    return "en-US";
  return region.empty() ? language : language + "-" + region;
}

std::shared_ptr<SpeechSynthesizer> EspeakSynthesizerService::makeSynthesizer() {
  return std::make_shared<EspeakSpeechSynthesizer>(engine_);
}

} // namespace quelt
