#include "platform/linux/EspeakSynthesizerService.h"

#include "platform/PcmBuffer.h"
#include "platform/linux/PulseConnection.h"
#include "server/Identity.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <pulse/error.h>
#include <pulse/stream.h>
#include <strings.h>
#include <unicode/locid.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
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

struct EspeakVoice {
  VoiceInfo info;
  std::string file;     // espeak-ng's identifier: the voice file under espeak-ng-data/voices
  std::string language; // as espeak-ng spells it
  int priority = 0;     // espeak-ng's preference for the language, lower first
};

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

std::string baseLanguage(const std::string& tag) { return tag.substr(0, tag.find_first_of("-_")); }

bool sameTag(std::string a, std::string b) {
  std::replace(a.begin(), a.end(), '_', '-');
  std::replace(b.begin(), b.end(), '_', '-');
  return strcasecmp(a.c_str(), b.c_str()) == 0;
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

// Where each code point of the UTF-8 text starts in UTF-16 code units, and the total at the end:
// espeak-ng counts code points, the delegate's ranges count UTF-16 units.
std::vector<int64_t> utf16Offsets(const std::string& text) {
  std::vector<int64_t> offsets{0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  for (int32_t at = 0; at < length;) {
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    offsets.push_back(offsets.back() + (c < 0 ? 1 : U16_LENGTH(c)));
  }
  return offsets;
}

struct Range {
  int64_t location;
  int64_t length;
};

Range rangeOf(const espeak_EVENT& event, const std::vector<int64_t>& offsets) {
  int64_t count = static_cast<int64_t>(offsets.size()) - 1;
  int64_t start = std::clamp<int64_t>(int64_t{event.text_position} - 1, 0, count);
  int64_t end = std::clamp<int64_t>(start + std::max(event.length, 0), start, count);
  return {offsets[static_cast<size_t>(start)],
          offsets[static_cast<size_t>(end)] - offsets[static_cast<size_t>(start)]};
}

// Receives espeak-ng's output block by block: samples and the events that fall in them. False
// stops the synthesis.
using ChunkHandler = std::function<bool(std::span<const int16_t>, const espeak_EVENT*)>;

// The one thread that talks to espeak-ng. Never destroyed: espeak-ng's state is the process's,
// and so is this thread.
class SynthesisThread {
public:
  static SynthesisThread& shared() {
    static auto* instance = new SynthesisThread;
    return *instance;
  }

  void post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    wake_.notify_one();
  }

  // What espeak-ng offers, known once its data is loaded: its rate (0 when it cannot start)
  // and its voices. Any thread; waits for the loading, never for the output start below.
  struct Catalogue {
    int rate = 0;
    std::vector<EspeakVoice> voices;
  };
  const Catalogue& catalogue() {
    if (std::this_thread::get_id() == thread_.get_id()) {
      load();
      return catalogue_;
    }
    std::unique_lock lock(mutex_);
    if (!loadPosted_) {
      loadPosted_ = true;
      jobs_.push_back([this] { load(); });
      wake_.notify_one();
    }
    loadedChanged_.wait(lock, [this] { return loaded_; });
    return catalogue_;
  }

  // The rest only on the synthesis thread.

  // Starts espeak-ng on first use; false when it cannot start. espeak-ng 1.51 opens an audio
  // device when its output starts, whatever the output mode, and so asks the sound server with
  // libpulse's own timeouts (30 s). That comes after the catalogue is out, so a frozen server
  // holds up synthesis but no reader of voices.
  bool start() {
    load();
    if (!outputStarted_) {
      outputStarted_ = true;
      synthesizing_ = catalogue_.rate > 0 &&
                      espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 50, nullptr) == ENS_OK;
      if (synthesizing_)
        espeak_SetSynthCallback(&onSynth);
    }
    return synthesizing_;
  }

  int rate() const { return catalogue_.rate; }

  bool synthesize(const SpeechUtterance& utterance, const ChunkHandler& handler) {
    selectVoice(utterance.voice);
    espeak_SetParameter(espeakRATE, wordsPerMinute(utterance), 0);
    espeak_SetParameter(espeakPITCH, espeakPitch(utterance), 0);
    espeak_SetParameter(espeakVOLUME, espeakVolume(utterance), 0);
    handler_ = &handler;
    aborted_ = false;
    espeak_ERROR result = espeak_Synth(utterance.text.c_str(), utterance.text.size() + 1, 0,
                                       POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr);
    handler_ = nullptr;
    // An aborted synthesis may leave text queued inside espeak-ng for the next one to say.
    if (aborted_)
      espeak_Cancel();
    return result == EE_OK;
  }

private:
  SynthesisThread() : thread_([this] { run(); }) {}

  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  static int onSynth(short* samples, int count, espeak_EVENT* events) {
    SynthesisThread& self = shared();
    if (!samples || !self.handler_)
      return 0;
    // Exceptions must not unwind through espeak-ng.
    try {
      if ((*self.handler_)(std::span<const int16_t>(samples, static_cast<size_t>(count)), events))
        return 0;
    } catch (...) {
    }
    self.aborted_ = true;
    return 1;
  }

  // Loads espeak-ng's data and publishes the catalogue, once.
  void load() {
    if (loading_)
      return;
    loading_ = true;
    Catalogue catalogue;
    espeak_ng_InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT context = nullptr;
    if (espeak_ng_Initialize(&context) == ENS_OK) {
      catalogue.rate = espeak_ng_GetSampleRate();
      catalogue.voices = listVoices();
    }
    espeak_ng_ClearErrorContext(&context);
    {
      std::lock_guard lock(mutex_);
      catalogue_ = std::move(catalogue);
      loaded_ = true;
    }
    loadedChanged_.notify_all();
  }

  static std::vector<EspeakVoice> listVoices() {
    std::vector<EspeakVoice> voices;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (; list && *list; ++list) {
      const espeak_VOICE& voice = **list;
      if (!voice.identifier || !voice.languages)
        continue;
      std::string name = trimmed(voice.name);
      bool first = true;
      // [priority byte][language NUL] pairs, up to a priority of 0.
      for (const char* entry = voice.languages; *entry; entry += std::strlen(entry + 1) + 2) {
        EspeakVoice item;
        item.file = voice.identifier;
        item.language = entry + 1;
        item.priority = static_cast<unsigned char>(entry[0]);
        item.info.identifier = identifierPrefix + item.file + ":" + item.language;
        item.info.language = tagFor(item.language);
        // Further languages of the same voice say which they are, to tell them apart.
        item.info.name = first ? name : name + " (" + item.info.language + ")";
        item.info.gender = voice.gender == 1 || voice.gender == 2 ? voice.gender : 0;
        first = false;
        bool seen = std::any_of(voices.begin(), voices.end(), [&](const EspeakVoice& v) {
          return v.info.identifier == item.info.identifier;
        });
        if (!seen)
          voices.push_back(std::move(item));
      }
    }
    return voices;
  }

  void selectVoice(const std::optional<VoiceInfo>& wanted) {
    if (wanted) {
      for (const auto& voice : catalogue_.voices)
        if (voice.info.identifier == wanted->identifier &&
            espeak_SetVoiceByName(voice.file.c_str()) == EE_OK)
          return;
      // A voice from elsewhere: the closest espeak-ng has for its language.
      if (!wanted->language.empty()) {
        std::string language = wanted->language;
        std::transform(language.begin(), language.end(), language.begin(), [](char c) {
          return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        espeak_VOICE properties{};
        properties.languages = language.c_str();
        if (espeak_SetVoiceByProperties(&properties) == EE_OK)
          return;
      }
    }
    espeak_SetVoiceByName(defaultVoiceName);
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool loadPosted_ = false;
  // Written once by the synthesis thread, under mutex_; read freely once loaded_.
  bool loaded_ = false;
  std::condition_variable loadedChanged_;
  Catalogue catalogue_;

  bool loading_ = false;
  bool outputStarted_ = false;
  bool synthesizing_ = false;
  const ChunkHandler* handler_ = nullptr;
  bool aborted_ = false;

  std::thread thread_; // last, so that it starts with the rest in place
};

// Audio being heard, or timed as if it were.
class Playback {
public:
  virtual ~Playback() = default;
  // Samples heard so far.
  virtual int64_t position() = 0;
  virtual bool finished() = 0;
  virtual void setPaused(bool paused) = 0;
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

// A playback stream of its own on the server's default sink, fed as it takes the audio.
class PulsePlayback : public Playback {
public:
  PulsePlayback(PulseConnection& pulse, std::span<const int16_t> samples, double rate)
      : pulse_(pulse), samples_(samples), rate_(rate) {
    PulseConnection::Lock lock(pulse_);
    pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, static_cast<uint32_t>(rate), 1};
    stream_ = pa_stream_new(pulse_.context(), "Speech", &sampleFormat, nullptr);
    if (!stream_)
      throw pulse_.error();
    pa_stream_set_state_callback(stream_, &onState, &pulse_);
    // A short target keeps pausing and stopping prompt; the whole text is ready anyway.
    uint32_t serverChooses = static_cast<uint32_t>(-1);
    pa_buffer_attr attributes{serverChooses,
                              static_cast<uint32_t>(pa_usec_to_bytes(250000, &sampleFormat)),
                              serverChooses, serverChooses, serverChooses};
    auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    pa_stream* stream = stream_;
    bool ready =
        pa_stream_connect_playback(stream, nullptr, &attributes, flags, nullptr, nullptr) == 0 &&
        pulse_.waitUntil([stream] {
          pa_stream_state_t state = pa_stream_get_state(stream);
          return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        }) &&
        pa_stream_get_state(stream) == PA_STREAM_READY;
    if (!ready) {
      PlatformError error = pulse_.error();
      release();
      throw error;
    }
    pump();
  }
  ~PulsePlayback() override {
    PulseConnection::Lock lock(pulse_);
    release();
  }
  PulsePlayback(const PulsePlayback&) = delete;
  PulsePlayback& operator=(const PulsePlayback&) = delete;

  int64_t position() override {
    PulseConnection::Lock lock(pulse_);
    pump();
    pa_usec_t time = 0;
    if (pa_stream_get_time(stream_, &time) == 0)
      heard_ = std::max(heard_, static_cast<int64_t>(static_cast<double>(time) * rate_ / 1e6));
    heard_ = std::min<int64_t>(heard_, static_cast<int64_t>(samples_.size()));
    return heard_;
  }

  bool finished() override {
    PulseConnection::Lock lock(pulse_);
    pump();
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
      return true;
    if (drain_ && pa_operation_get_state(drain_) != PA_OPERATION_RUNNING)
      return true;
    // A server that never confirms the drain must not hold the queue forever.
    if (heard_ < static_cast<int64_t>(samples_.size()))
      return false;
    if (!heardAll_)
      heardAll_ = Clock::now();
    return Clock::now() - *heardAll_ > std::chrono::seconds(2);
  }

  void setPaused(bool paused) override {
    PulseConnection::Lock lock(pulse_);
    if (pa_operation* operation = pa_stream_cork(stream_, paused ? 1 : 0, nullptr, nullptr))
      pa_operation_unref(operation);
  }

private:
  static void onState(pa_stream*, void* userdata) {
    static_cast<PulseConnection*>(userdata)->wake();
  }

  // Under the lock: hands the server what it has room for, then asks it to play out the rest.
  void pump() {
    if (pa_stream_get_state(stream_) != PA_STREAM_READY)
      return;
    size_t remaining = (samples_.size() - written_) * sizeof(int16_t);
    size_t room = pa_stream_writable_size(stream_);
    if (remaining > 0 && room != static_cast<size_t>(-1) && room > 0) {
      size_t bytes = std::min(remaining, room) / sizeof(int16_t) * sizeof(int16_t);
      if (bytes > 0 && pa_stream_write(stream_, samples_.data() + written_, bytes, nullptr, 0,
                                       PA_SEEK_RELATIVE) == 0)
        written_ += bytes / sizeof(int16_t);
    }
    if (written_ == samples_.size() && !drain_)
      drain_ = pa_stream_drain(stream_, nullptr, nullptr);
  }

  void release() {
    if (drain_) {
      pa_operation_cancel(drain_);
      pa_operation_unref(drain_);
      drain_ = nullptr;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
      pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  PulseConnection& pulse_;
  std::span<const int16_t> samples_;
  double rate_;
  pa_stream* stream_ = nullptr;
  size_t written_ = 0;
  pa_operation* drain_ = nullptr;
  int64_t heard_ = 0;
  std::optional<Clock::time_point> heardAll_;
};

// An utterance on its way to being spoken: synthesized on the synthesis thread, then played.
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

void synthesize(Spoken& spoken) {
  SynthesisThread& engine = SynthesisThread::shared();
  if (spoken.cancelled || !engine.start())
    return;
  spoken.rate = engine.rate();
  std::vector<int64_t> offsets = utf16Offsets(spoken.utterance->text);
  spoken.synthesized = engine.synthesize(
      *spoken.utterance, [&](std::span<const int16_t> samples, const espeak_EVENT* events) {
        for (; events && events->type != espeakEVENT_LIST_TERMINATED; ++events) {
          if (events->type != espeakEVENT_WORD)
            continue;
          auto sample = static_cast<int64_t>(int64_t{events->audio_position} * spoken.rate / 1000);
          spoken.words.push_back({sample, rangeOf(*events, offsets)});
        }
        spoken.samples.insert(spoken.samples.end(), samples.begin(), samples.end());
        return !spoken.cancelled;
      });
}

// Plays one utterance after another on its own thread and tells the delegate how it goes.
// Requests only set what the player should do; the player does it and reports, so each
// utterance's reports come from one thread in order.
class Speaker {
public:
  explicit Speaker(Log logOnce) : logOnce_(std::move(logOnce)) {}

  void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }

  void enqueue(const std::shared_ptr<Spoken>& spoken) {
    std::lock_guard lock(mutex_);
    queue_.push_back(spoken);
  }

  void synthesized(const std::shared_ptr<Spoken>& spoken) {
    std::lock_guard lock(mutex_);
    spoken->ready = true;
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
    changed_.notify_all();
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
      if (pulse_) {
        PulseConnection::Lock lock(*pulse_);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(pulse_->context())))
          reason = "the sound server went away";
      }
      if (!reason.empty() || !pulse_) {
        pulse_.reset();
        pulse_ = std::make_unique<PulseConnection>(std::string(identity::bundleName));
      }
      return std::make_unique<PulsePlayback>(*pulse_, spoken.samples, spoken.rate);
    } catch (const PlatformError& error) {
      reason = error.description();
    }
    logOnce_("audio playback unavailable (" + reason + "); speech is timed but silent");
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

  Log logOnce_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::weak_ptr<SynthesizerDelegate> delegate_;
  // Waiting to be played, in order; the front may still be synthesizing.
  std::deque<std::shared_ptr<Spoken>> queue_;
  // Dropped from the queue, to be reported.
  std::deque<std::shared_ptr<Spoken>> cancelled_;
  std::shared_ptr<Spoken> current_;
  std::optional<SpeechBoundary> stop_;
  bool paused_ = false;
  SpeechBoundary pauseAt_ = SpeechBoundary::immediate;
  bool shutdown_ = false;
  // Only the player thread uses it.
  std::unique_ptr<PulseConnection> pulse_;
};

void deliver(const std::function<void(const PcmBuffer*)>& onBuffer, const PcmBuffer& buffer) {
  if (onBuffer)
    onBuffer(&buffer);
}

void render(const SpeechUtterance& utterance,
            const std::function<void(const PcmBuffer*)>& onBuffer) {
  SynthesisThread& engine = SynthesisThread::shared();
  bool started = engine.start();
  AudioFormat format{static_cast<double>(started ? engine.rate() : fallbackRate), 1,
                     SampleFormat::int16, true};
  // espeak-ng hands over 50 ms at a time; each buffer delivered is a hop to another thread, so
  // they go out a second at a time.
  PcmBuffer buffer(format, static_cast<uint32_t>(format.sampleRate));
  if (started) {
    engine.synthesize(utterance, [&](std::span<const int16_t> samples, const espeak_EVENT*) {
      while (!samples.empty()) {
        uint32_t filled = buffer.frameLength();
        size_t frames = std::min<size_t>(samples.size(), buffer.frameCapacity() - filled);
        std::copy_n(samples.begin(), frames, buffer.int16Plane(0).begin() + filled);
        buffer.setFrameLength(filled + static_cast<uint32_t>(frames));
        samples = samples.subspan(frames);
        if (buffer.frameLength() == buffer.frameCapacity()) {
          deliver(onBuffer, buffer);
          buffer.setFrameLength(0);
        }
      }
      return true;
    });
  }
  try {
    if (buffer.frameLength() > 0)
      deliver(onBuffer, buffer);
    buffer.setFrameLength(0);
    deliver(onBuffer, buffer);
  } catch (...) {
  }
}

class EspeakSpeechSynthesizer : public SpeechSynthesizer {
public:
  explicit EspeakSpeechSynthesizer(Log logOnce)
      : speaker_(std::make_shared<Speaker>(std::move(logOnce))) {}

  ~EspeakSpeechSynthesizer() override {
    speaker_->shutdown();
    std::lock_guard lock(threadMutex_);
    if (!player_.joinable())
      return;
    // A delegate may let go of its synthesizer from the player's own reports.
    if (player_.get_id() == std::this_thread::get_id())
      player_.detach();
    else
      player_.join();
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
      // The player starts with the first utterance: renders need none.
      std::lock_guard lock(threadMutex_);
      if (!player_.joinable())
        player_ = std::thread([speaker = speaker_] { speaker->run(); });
    }
    auto spoken = std::make_shared<Spoken>(std::move(utterance));
    speaker_->enqueue(spoken);
    std::weak_ptr<Speaker> speaker = speaker_;
    SynthesisThread::shared().post([spoken, speaker] {
      synthesize(*spoken);
      if (auto alive = speaker.lock())
        alive->synthesized(spoken);
    });
  }

  bool stopSpeaking(SpeechBoundary boundary) override { return speaker_->stop(boundary); }
  bool pauseSpeaking(SpeechBoundary boundary) override { return speaker_->pause(boundary); }
  bool continueSpeaking() override { return speaker_->resume(); }

  void write(std::shared_ptr<SpeechUtterance> utterance,
             std::function<void(const PcmBuffer* buffer)> onBuffer) override {
    SynthesisThread::shared().post(
        [utterance = std::move(utterance), onBuffer = std::move(onBuffer)] {
          render(utterance ? *utterance : SpeechUtterance{}, onBuffer);
        });
  }

private:
  std::shared_ptr<Speaker> speaker_;
  std::mutex threadMutex_;
  std::thread player_;
};

} // namespace

EspeakSynthesizerService::EspeakSynthesizerService(Log log) {
  auto logged = std::make_shared<std::atomic<bool>>(false);
  logOnce_ = [log = std::move(log), logged](const std::string& message) {
    if (log && !logged->exchange(true))
      log(message);
  };
}

std::vector<VoiceInfo> EspeakSynthesizerService::voices() {
  std::vector<VoiceInfo> voices;
  for (const auto& voice : SynthesisThread::shared().catalogue().voices)
    voices.push_back(voice.info);
  return voices;
}

std::optional<VoiceInfo>
EspeakSynthesizerService::voiceWithIdentifier(const std::string& identifier) {
  for (auto& voice : voices())
    if (voice.identifier == identifier)
      return voice;
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
  const EspeakVoice* best = nullptr;
  int bestRank = 3;
  for (const auto& voice : SynthesisThread::shared().catalogue().voices) {
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
  return std::make_shared<EspeakSpeechSynthesizer>(logOnce_);
}

int EspeakSynthesizerService::sampleRate() { return SynthesisThread::shared().catalogue().rate; }

} // namespace quelt
