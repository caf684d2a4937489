#include "pocketsphinx/PocketsphinxRecognizerService.h"
#include "platform/EngineModule.h"

#include "pocketsphinx/CheckedModels.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <unicode/locid.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quelt {
namespace {

namespace fs = std::filesystem;

std::string canonicalTag(const std::string& name) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(name, status);
  if (U_FAILURE(status) || locale.isBogus())
    return name;
  std::string tag = locale.toLanguageTag<std::string>(status);
  return U_FAILURE(status) ? name : tag;
}

// Tags in their canonical spelling compare exactly ("en-us" and "EN-US" are "en-US").
bool sameTag(const std::string& a, const std::string& b) {
  return canonicalTag(a) == canonicalTag(b);
}

cmd_ln_t* makeConfig(const PocketsphinxModelFiles& files) {
  // The decoder's own log lines would interleave with the helper's stderr lines.
  err_set_logfp(nullptr);
  // Dither keeps pure digital silence (a file's silent tail) from upsetting the front end;
  // best-path search gives the word posteriors that confidences are made from.
  return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
                     files.languageModel.c_str(), "-dict", files.dictionary.c_str(), "-logfn",
                     "/dev/null", "-dither", "yes", "-bestpath", "yes", nullptr);
}

bool succeeded(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// pocketsphinx ends the whole process when a model file is malformed, so a model is first
// loaded by another process; only one that loads there is loaded here. That process is a
// program started afresh, not a fork of this one, which could inherit a lock that another of
// its threads held (the allocator's, under the sanitizers) and wait on it for good.
bool loadsElsewhere(const PocketsphinxModelFiles& files, const std::string& checker) {
  std::vector<std::string> words{checker,
                                 std::string(pocketsphinxModelCheck),
                                 std::to_string(::getpid()),
                                 files.acousticModel,
                                 files.languageModel,
                                 files.dictionary};
  std::vector<char*> argv;
  for (auto& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  // Nothing of the protocol's streams for the checker.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  int failed = ::posix_spawn(&child, checker.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 && succeeded(child);
}

// A loaded model: its configuration and a pool of decoders on it. Decoders are not
// thread-safe, so each running recognition borrows one and gives it back when done. Each one
// holds about 90 MB with the en-US model and takes half a second to make, so a burst of
// captures must not leave dozens behind: a few idle ones are kept for the next segments, and
// past a ceiling a recognition waits, its audio queued, until another gives one back.
class LoadedModel {
public:
  static constexpr size_t maxDecoders = 8;
  static constexpr size_t maxIdleDecoders = 2;

  LoadedModel(const PocketsphinxModelFiles& files, const std::string& checker,
              const std::string& checkedModels) {
    // The check costs a whole load of the model, so a model that passed is not checked again.
    bool checked = !checkedModels.empty() && modelCheckedBefore(checkedModels, files);
    if (!checked && !loadsElsewhere(files, checker))
      return;
    if (!checked && !checkedModels.empty())
      rememberModelChecked(checkedModels, files);
    config_ = makeConfig(files);
    if (!config_)
      return;
    if (ps_decoder_t* first = ps_init(config_)) {
      idle_.push_back(first);
      live_ = 1;
    }
  }
  ~LoadedModel() {
    for (ps_decoder_t* decoder : idle_)
      ps_free(decoder);
    if (config_)
      cmd_ln_free_r(config_);
  }
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;

  bool loaded() const { return config_ && !idle_.empty(); }

  // Waits for a decoder to borrow, calling `stillWaiting` every second meanwhile. Null when
  // `abandoned` turns true first (checked again on every wake()), or when a further decoder
  // cannot be made.
  ps_decoder_t* acquire(const std::atomic<bool>& abandoned,
                        const std::function<void()>& stillWaiting) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    auto ready = [&] { return abandoned || !idle_.empty() || live_ < maxDecoders; };
    while (!freed_.wait_for(lock, std::chrono::seconds(1), ready)) {
      lock.unlock();
      stillWaiting();
      lock.lock();
    }
    --waiting_;
    if (abandoned)
      return nullptr;
    if (!idle_.empty()) {
      ps_decoder_t* decoder = idle_.back();
      idle_.pop_back();
      return decoder;
    }
    ++live_;
    lock.unlock();
    ps_decoder_t* made = nullptr;
    {
      std::lock_guard making(configMutex_);
      made = ps_init(config_);
    }
    if (!made) {
      lock.lock();
      --live_;
      freed_.notify_one();
    }
    return made;
  }

  void release(ps_decoder_t* decoder) {
    {
      std::lock_guard lock(mutex_);
      if (waiting_ > 0 || idle_.size() < maxIdleDecoders) {
        idle_.push_back(decoder);
        decoder = nullptr;
      } else {
        --live_;
      }
    }
    freed_.notify_one();
    if (!decoder)
      return;
    {
      std::lock_guard freeing(configMutex_);
      ps_free(decoder);
    }
    // The allocator keeps what a decoder freed for later use in whichever arena its thread had,
    // so a burst of captures would leave the helper that much bigger for good.
    ::malloc_trim(0);
  }

  void wake() {
    std::lock_guard lock(mutex_);
    freed_.notify_all();
  }

private:
  cmd_ln_t* config_ = nullptr;
  // Every decoder shares the configuration: ps_init writes into it and ps_init and ps_free
  // count references to it without atomics, so one decoder is made or freed at a time.
  std::mutex configMutex_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<ps_decoder_t*> idle_;
  size_t live_ = 0;
  size_t waiting_ = 0;
};

// Loading takes a noticeable moment and a good deal of memory, so each model loads once.
std::shared_ptr<LoadedModel> loadModel(const PocketsphinxModelFiles& files,
                                       const std::string& checker,
                                       const std::string& checkedModels) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<LoadedModel>> loaded;
  std::lock_guard lock(mutex);
  auto& slot = loaded[files.acousticModel];
  if (!slot) {
    auto model = std::make_shared<LoadedModel>(files, checker, checkedModels);
    if (!model->loaded())
      return nullptr; // not kept: the files may be repaired or installed later
    slot = model;
  }
  return slot;
}

const AudioFormat decoderFormat{16000, 1, SampleFormat::int16, true};

// Fillers and sentence marks are in the segment list but are no words of the text.
bool isWord(const char* word) {
  return word && *word && *word != '<' && *word != '[' && std::strcmp(word, "(NULL)") != 0;
}

// One recognition on a borrowed decoder. Audio is converted on the delivery thread and
// decoded on a worker thread of the task's own, so neither the capture nor the main queue
// waits for the decoder. What waits between the two is bounded: a recording's delivery is held
// back while the decoder catches up, and a live input's audio is queued up to a generous limit
// (past it, audio is dropped and stderr says so once).
class PocketsphinxTask : public RecognitionTask,
                         public std::enable_shared_from_this<PocketsphinxTask> {
public:
  using Log = std::function<void(const std::string&)>;

  // Two seconds: enough for the decoder never to wait for a recording, small enough that a
  // cancel stops it soon.
  static constexpr size_t heldBackSamples = 2 * 16000;
  // Ten minutes of live audio the decoder has not reached yet.
  static constexpr size_t liveSamples = 10 * 60 * 16000;
  // The most decoded between two looks at whether the task was cancelled.
  static constexpr size_t sliceSamples = 16000;

  PocketsphinxTask(std::shared_ptr<LoadedModel> model, std::shared_ptr<AudioServices> audio,
                   bool audioMayWait, Log log, RecognitionHandler handler)
      : model_(std::move(model)), audio_(std::move(audio)), mayWait_(audioMayWait),
        log_(std::move(log)), handler_(std::move(handler)) {}

  void start() {
    if (!model_) {
      fail("the model could not be loaded");
      return;
    }
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }

  void append(const PcmBuffer& buffer) override {
    std::lock_guard conversion(conversionMutex_);
    if (!convertible(buffer))
      return;
    if (!converter_->convert(buffer, *converted_) || converted_->frameLength() == 0)
      return;
    auto samples = converted_->int16Plane(0).first(converted_->frameLength());
    bool overflow = false;
    {
      std::unique_lock lock(mutex_);
      // Audio handed over before the end of the segment's audio was announced (the delivery
      // thread may have been held back here meanwhile) still belongs to it.
      ++appending_;
      if (mayWait_)
        room_.wait(lock,
                   [this] { return done_ || cancelled_ || pending_.size() < heldBackSamples; });
      --appending_;
      if (done_ || cancelled_) {
        wake_.notify_one();
        return;
      }
      if (!mayWait_ && pending_.size() + samples.size() > liveSamples) {
        overflow = !std::exchange(overflowReported_, true);
      } else {
        pending_.insert(pending_.end(), samples.begin(), samples.end());
      }
    }
    wake_.notify_one();
    if (overflow && log_)
      log_("pocketsphinx: recognition fell " + std::to_string(liveSamples / 16000) +
           " s behind the live input; audio beyond that is dropped");
  }

  void endAudio() override {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    audioEnded_ = true;
    wake_.notify_one();
  }

  void cancel() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      std::vector<int16_t>().swap(pending_);
    }
    abandoned_ = true;
    wake_.notify_one();
    room_.notify_all();
    if (model_)
      model_->wake();
  }

private:
  // Converters are made for the first buffer of each format and kept while it lasts; the
  // output buffer grows only for an unusually long input.
  bool convertible(const PcmBuffer& buffer) {
    const AudioFormat& format = buffer.format();
    if (!converter_ || !(format == sourceFormat_)) {
      converter_ = audio_ ? audio_->makeConverter(format, decoderFormat) : nullptr;
      if (!converter_)
        return false;
      sourceFormat_ = format;
    }
    double frames = buffer.frameLength() * decoderFormat.sampleRate / format.sampleRate;
    auto needed = static_cast<uint32_t>(frames) + 256;
    if (!converted_ || converted_->frameCapacity() < needed)
      converted_.emplace(decoderFormat, needed);
    return true;
  }

  // Tells the segment, once its audio has ended, that its final is still being worked on.
  void stillWorking() {
    if (audioEnded_ && !abandoned_)
      handler_(std::nullopt, std::nullopt);
  }

  // On the task's own thread: borrows a decoder, decodes, gives the decoder back.
  void run() {
    ps_decoder_t* decoder = model_->acquire(abandoned_, [this] { stillWorking(); });
    if (!decoder) {
      finishDelivery();
      if (!abandoned_)
        handler_(std::nullopt,
                 PlatformError("pocketsphinx", -1, "no decoder could be made for the model"));
      return;
    }
    if (ps_start_utt(decoder) < 0) {
      model_->release(decoder);
      finishDelivery();
      handler_(std::nullopt, PlatformError("pocketsphinx", -1, "the decoder would not start"));
      return;
    }
    decode(decoder);
    model_->release(decoder);
  }

  // No more audio is taken; a delivery thread waiting for room goes on.
  void finishDelivery() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
      std::vector<int16_t>().swap(pending_);
    }
    room_.notify_all();
  }

  // What decoding has heard so far, across the utterances the pauses cut.
  struct Hearing {
    RecognitionResult heard;
    std::string lastText;
    bool inUtterance = false;
  };

  // The decoder's voice activity detector finds the pauses, and each stretch of speech
  // between two of them is decoded as an utterance of its own, as pocketsphinx's continuous
  // listener does: a long segment taken as one utterance costs more (the second search pass
  // grows with it) for nothing, since the language model's sentences end at pauses anyway.
  // The segment's text is its utterances' texts joined.
  void decode(ps_decoder_t* decoder) {
    std::vector<int16_t> working;
    Hearing hearing;
    bool ended = false;
    bool cancelled = false;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock,
                   [&] { return cancelled_ || !pending_.empty() || (ended_ && appending_ == 0); });
        cancelled = cancelled_;
        if (!cancelled) {
          working.swap(pending_);
          ended = ended_ && working.empty() && appending_ == 0;
        }
      }
      room_.notify_all();
      if (cancelled || ended)
        break;
      bool spoke = false;
      for (size_t at = 0; at < working.size(); at += sliceSamples) {
        if (abandoned_) {
          cancelled = true;
          break;
        }
        std::span<const int16_t> slice(working.data() + at,
                                       std::min(sliceSamples, working.size() - at));
        auto said = feed(decoder, slice, hearing);
        if (!said) {
          finishDelivery();
          handler_(std::nullopt, PlatformError("pocketsphinx", -1, "the decoder would not go on"));
          return;
        }
        spoke = spoke || *said;
      }
      working.clear();
      if (cancelled)
        break;
      if (!spoke)
        stillWorking();
    }
    finishDelivery();
    if (cancelled) {
      ps_end_utt(decoder);
      return;
    }
    endUtterance(decoder, hearing.heard);
    hearing.heard.isFinal = true;
    handler_(std::move(hearing.heard), std::nullopt);
  }

  // Decodes one slice of audio; true when it changed the text (a partial went out), nothing
  // when the decoder failed.
  std::optional<bool> feed(ps_decoder_t* decoder, std::span<const int16_t> samples,
                           Hearing& hearing) {
    // Digital silence (a file capture's closing half second, a muted input) holds no
    // speech: it ends the utterance at once rather than being searched through.
    size_t sound = soundLength(samples);
    bool silenced = samples.size() - sound >= digitalSilence;
    if (sound > 0 || !silenced)
      ps_process_raw(decoder, samples.data(), silenced ? sound : samples.size(), FALSE, FALSE);
    bool inSpeech = ps_get_in_speech(decoder);
    hearing.inUtterance = hearing.inUtterance || inSpeech;
    std::string text;
    if (!hearing.inUtterance || (inSpeech && !silenced)) {
      text = joined(hearing.heard.formattedString, ps_get_hyp(decoder, nullptr));
    } else {
      endUtterance(decoder, hearing.heard);
      hearing.inUtterance = false;
      text = hearing.heard.formattedString;
      if (ps_start_utt(decoder) < 0)
        return std::nullopt;
    }
    if (text.empty() || text == hearing.lastText)
      return false;
    hearing.lastText = text;
    handler_(RecognitionResult{text, {}, false}, std::nullopt);
    return true;
  }

  // At least this many zero samples in a row are digital silence: 100 ms.
  static constexpr size_t digitalSilence = 1600;

  // The samples up to the last one that is not zero.
  static size_t soundLength(std::span<const int16_t> samples) {
    auto last = std::find_if(samples.rbegin(), samples.rend(), [](int16_t x) { return x != 0; });
    return static_cast<size_t>(samples.rend() - last);
  }

  static std::string joined(const std::string& before, const char* next) {
    if (!next || !*next)
      return before;
    return before.empty() ? next : before + " " + next;
  }

  // Ends the decoder's utterance and adds its words to what was heard.
  static void endUtterance(ps_decoder_t* decoder, RecognitionResult& heard) {
    ps_end_utt(decoder);
    heard.formattedString = joined(heard.formattedString, ps_get_hyp(decoder, nullptr));
    logmath_t* logmath = ps_get_logmath(decoder);
    for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
      if (!isWord(ps_seg_word(segment)))
        continue;
      int32 acoustic, language, backoff;
      int32 posterior = ps_seg_prob(segment, &acoustic, &language, &backoff);
      heard.segmentConfidences.push_back(static_cast<float>(logmath_exp(logmath, posterior)));
    }
  }

  void fail(const std::string& description) {
    finishDelivery();
    std::thread([handler = handler_, description] {
      handler(std::nullopt, PlatformError("pocketsphinx", -1, description));
    }).detach();
  }

  std::shared_ptr<LoadedModel> model_;
  std::shared_ptr<AudioServices> audio_;
  const bool mayWait_;
  Log log_;
  RecognitionHandler handler_;

  std::mutex conversionMutex_; // the delivery thread's, against a stray second caller
  AudioFormat sourceFormat_;
  std::unique_ptr<AudioConverter> converter_;
  std::optional<PcmBuffer> converted_;

  std::mutex mutex_;
  std::condition_variable wake_; // the decoder: audio came, or the audio or the task ended
  std::condition_variable room_; // a held-back delivery: the decoder took what was waiting
  std::vector<int16_t> pending_;
  size_t appending_ = 0; // deliveries between taking their audio and queueing it
  bool ended_ = false;
  bool cancelled_ = false;
  bool done_ = false; // decoding is over: nothing more is taken
  bool overflowReported_ = false;
  // cancelled_ for the wait for a decoder, which is the model's, not under mutex_.
  std::atomic<bool> abandoned_ = false;
  std::atomic<bool> audioEnded_ = false;
};

class PocketsphinxRecognizer : public SpeechRecognizer {
public:
  PocketsphinxRecognizer(PocketsphinxModelFiles files, std::shared_ptr<AudioServices> audio,
                         std::string checker, std::string checkedModels,
                         std::function<void(const std::string&)> log)
      : files_(std::move(files)), audio_(std::move(audio)), checker_(std::move(checker)),
        checkedModels_(std::move(checkedModels)), log_(std::move(log)) {}

  bool supportsOnDeviceRecognition() const override { return true; }
  bool isAvailable() override { return loadModel(files_, checker_, checkedModels_) != nullptr; }

  std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings& settings,
                                             RecognitionHandler handler) override {
    auto task =
        std::make_shared<PocketsphinxTask>(loadModel(files_, checker_, checkedModels_), audio_,
                                           settings.audioMayWait, log_, std::move(handler));
    task->start();
    return task;
  }

private:
  PocketsphinxModelFiles files_;
  std::shared_ptr<AudioServices> audio_;
  std::string checker_;
  std::string checkedModels_;
  std::function<void(const std::string&)> log_;
};

} // namespace

std::vector<PocketsphinxModelFiles> findPocketsphinxModels(const std::string& root) {
  std::vector<PocketsphinxModelFiles> models;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error)) {
    if (!entry.is_directory(error))
      continue;
    std::string tag = entry.path().filename().string();
    PocketsphinxModelFiles files;
    files.locale = canonicalTag(tag);
    files.acousticModel = (entry.path() / tag).string();
    files.languageModel = (entry.path() / (tag + ".lm.bin")).string();
    for (const auto& file : fs::directory_iterator(entry.path(), error))
      if (file.path().extension() == ".dict")
        files.dictionary = file.path().string();
    if (fs::exists(fs::path(files.acousticModel) / "mdef", error) &&
        fs::exists(files.languageModel, error) && !files.dictionary.empty())
      models.push_back(std::move(files));
  }
  return models;
}

void checkPocketsphinxModelIfAsked(int argc, char** argv) {
  if (argc != 6 || argv[1] != pocketsphinxModelCheck)
    return;
  // A checker whose helper has gone has nobody to answer.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::to_string(::getppid()) != argv[2])
    ::_exit(1);
  PocketsphinxModelFiles files{"", argv[3], argv[4], argv[5]};
  cmd_ln_t* config = makeConfig(files);
  // _exit: the verdict is the status alone, with no leak check or other exit work of a
  // sanitizer build changing it.
  ::_exit(config && ps_init(config) ? 0 : 1);
}

PocketsphinxRecognizerService::PocketsphinxRecognizerService(
    std::shared_ptr<AudioServices> audio, std::string modelRoot, std::string checker,
    std::string checkedModels, std::function<void(const std::string&)> log)
    : audio_(std::move(audio)), modelRoot_(std::move(modelRoot)), checker_(std::move(checker)),
      checkedModels_(std::move(checkedModels)), log_(std::move(log)) {}

std::vector<std::string> PocketsphinxRecognizerService::supportedLocales() {
  std::vector<std::string> locales;
  for (const auto& model : findPocketsphinxModels(modelRoot_))
    locales.push_back(model.locale);
  return locales;
}

std::shared_ptr<SpeechRecognizer>
PocketsphinxRecognizerService::makeRecognizer(const std::string& locale) {
  for (auto& model : findPocketsphinxModels(modelRoot_))
    if (sameTag(model.locale, locale))
      return std::make_shared<PocketsphinxRecognizer>(std::move(model), audio_, checker_,
                                                      checkedModels_, log_);
  return nullptr;
}

} // namespace quelt
