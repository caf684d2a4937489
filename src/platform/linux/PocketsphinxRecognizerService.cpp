#include "platform/linux/PocketsphinxRecognizerService.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <unicode/locid.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <thread>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

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

// pocketsphinx ends the whole process when a model file is malformed, so a model is first
// loaded in a short-lived child; only one that loads there is loaded here.
bool loadsInChild(const PocketsphinxModelFiles& files) {
  pid_t child = ::fork();
  if (child < 0)
    return false;
  if (child == 0) {
    cmd_ln_t* config = makeConfig(files);
    ::_exit(config && ps_init(config) ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A loaded model: its configuration and a pool of decoders on it. Decoders are not
// thread-safe, so each running recognition borrows one and gives it back when done.
class LoadedModel {
public:
  explicit LoadedModel(const PocketsphinxModelFiles& files) {
    if (!loadsInChild(files))
      return;
    config_ = makeConfig(files);
    if (!config_)
      return;
    if (ps_decoder_t* first = ps_init(config_))
      idle_.push_back(first);
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

  // Null when a further decoder cannot be made.
  ps_decoder_t* acquire() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        ps_decoder_t* decoder = idle_.back();
        idle_.pop_back();
        return decoder;
      }
    }
    return ps_init(config_);
  }
  void release(ps_decoder_t* decoder) {
    std::lock_guard lock(mutex_);
    idle_.push_back(decoder);
  }

private:
  cmd_ln_t* config_ = nullptr;
  std::mutex mutex_;
  std::vector<ps_decoder_t*> idle_;
};

// Loading takes a noticeable moment and a good deal of memory, so each model loads once.
std::shared_ptr<LoadedModel> loadModel(const PocketsphinxModelFiles& files) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<LoadedModel>> loaded;
  std::lock_guard lock(mutex);
  auto& slot = loaded[files.acousticModel];
  if (!slot) {
    auto model = std::make_shared<LoadedModel>(files);
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
// waits for the decoder.
class PocketsphinxTask : public RecognitionTask,
                         public std::enable_shared_from_this<PocketsphinxTask> {
public:
  PocketsphinxTask(std::shared_ptr<LoadedModel> model, std::shared_ptr<AudioServices> audio,
                   RecognitionHandler handler)
      : model_(std::move(model)), audio_(std::move(audio)), handler_(std::move(handler)) {}

  void start() {
    if (!model_) {
      fail("the model could not be loaded");
      return;
    }
    ps_decoder_t* decoder = model_->acquire();
    if (!decoder) {
      fail("no decoder could be made for the model");
      return;
    }
    if (ps_start_utt(decoder) < 0) {
      model_->release(decoder);
      fail("the decoder would not start");
      return;
    }
    std::thread([self = shared_from_this(), decoder] { self->decode(decoder); }).detach();
  }

  void append(const PcmBuffer& buffer) override {
    std::lock_guard conversion(conversionMutex_);
    if (!convertible(buffer))
      return;
    if (!converter_->convert(buffer, *converted_) || converted_->frameLength() == 0)
      return;
    auto samples = converted_->int16Plane(0).first(converted_->frameLength());
    {
      std::lock_guard lock(mutex_);
      if (ended_ || cancelled_)
        return;
      pending_.insert(pending_.end(), samples.begin(), samples.end());
    }
    wake_.notify_one();
  }

  void endAudio() override {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    wake_.notify_one();
  }

  void cancel() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    wake_.notify_one();
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

  void decode(ps_decoder_t* decoder) {
    std::vector<int16_t> working;
    std::string lastHypothesis;
    bool ended = false;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return cancelled_ || ended_ || !pending_.empty(); });
        if (cancelled_)
          break;
        working.swap(pending_);
        ended = ended_ && working.empty();
      }
      if (ended)
        break;
      ps_process_raw(decoder, working.data(), working.size(), FALSE, FALSE);
      working.clear();
      const char* hypothesis = ps_get_hyp(decoder, nullptr);
      if (hypothesis && *hypothesis && lastHypothesis != hypothesis) {
        lastHypothesis = hypothesis;
        handler_(RecognitionResult{lastHypothesis, {}, false}, std::nullopt);
      }
    }
    ps_end_utt(decoder);
    if (ended)
      handler_(finalResult(decoder), std::nullopt);
    model_->release(decoder);
  }

  static RecognitionResult finalResult(ps_decoder_t* decoder) {
    RecognitionResult result;
    result.isFinal = true;
    const char* hypothesis = ps_get_hyp(decoder, nullptr);
    result.formattedString = hypothesis ? hypothesis : "";
    logmath_t* logmath = ps_get_logmath(decoder);
    for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
      if (!isWord(ps_seg_word(segment)))
        continue;
      int32 acoustic, language, backoff;
      int32 posterior = ps_seg_prob(segment, &acoustic, &language, &backoff);
      result.segmentConfidences.push_back(static_cast<float>(logmath_exp(logmath, posterior)));
    }
    return result;
  }

  void fail(const std::string& description) {
    std::thread([handler = handler_, description] {
      handler(std::nullopt, PlatformError("pocketsphinx", -1, description));
    }).detach();
  }

  std::shared_ptr<LoadedModel> model_;
  std::shared_ptr<AudioServices> audio_;
  RecognitionHandler handler_;

  std::mutex conversionMutex_; // the delivery thread's, against a stray second caller
  AudioFormat sourceFormat_;
  std::unique_ptr<AudioConverter> converter_;
  std::optional<PcmBuffer> converted_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<int16_t> pending_;
  bool ended_ = false;
  bool cancelled_ = false;
};

class PocketsphinxRecognizer : public SpeechRecognizer {
public:
  PocketsphinxRecognizer(PocketsphinxModelFiles files, std::shared_ptr<AudioServices> audio)
      : files_(std::move(files)), audio_(std::move(audio)) {}

  bool supportsOnDeviceRecognition() const override { return true; }
  bool isAvailable() override { return loadModel(files_) != nullptr; }

  std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings&,
                                             RecognitionHandler handler) override {
    auto task = std::make_shared<PocketsphinxTask>(loadModel(files_), audio_, std::move(handler));
    task->start();
    return task;
  }

private:
  PocketsphinxModelFiles files_;
  std::shared_ptr<AudioServices> audio_;
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

PocketsphinxRecognizerService::PocketsphinxRecognizerService(std::shared_ptr<AudioServices> audio,
                                                             std::string modelRoot)
    : audio_(std::move(audio)), modelRoot_(std::move(modelRoot)) {}

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
      return std::make_shared<PocketsphinxRecognizer>(std::move(model), audio_);
  return nullptr;
}

} // namespace quelt
