#include "platform/linux/PocketsphinxRecognizerService.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <unicode/locid.h>

#include <cerrno>
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
  return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
                     files.languageModel.c_str(), "-dict", files.dictionary.c_str(), "-logfn",
                     "/dev/null", nullptr);
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

// A loaded model: its configuration and a decoder that proved the files load.
class LoadedModel {
public:
  explicit LoadedModel(const PocketsphinxModelFiles& files) {
    if (!loadsInChild(files))
      return;
    config_ = makeConfig(files);
    if (config_)
      decoder_ = ps_init(config_);
  }
  ~LoadedModel() {
    if (decoder_)
      ps_free(decoder_);
    if (config_)
      cmd_ln_free_r(config_);
  }
  LoadedModel(const LoadedModel&) = delete;
  LoadedModel& operator=(const LoadedModel&) = delete;

  bool loaded() const { return decoder_ != nullptr; }

private:
  cmd_ln_t* config_ = nullptr;
  ps_decoder_t* decoder_ = nullptr;
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

class PocketsphinxRecognizer : public SpeechRecognizer {
public:
  explicit PocketsphinxRecognizer(PocketsphinxModelFiles files) : files_(std::move(files)) {}

  bool supportsOnDeviceRecognition() const override { return true; }
  bool isAvailable() override { return loadModel(files_) != nullptr; }

private:
  PocketsphinxModelFiles files_;
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

PocketsphinxRecognizerService::PocketsphinxRecognizerService(std::string modelRoot)
    : modelRoot_(std::move(modelRoot)) {}

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
      return std::make_shared<PocketsphinxRecognizer>(std::move(model));
  return nullptr;
}

} // namespace quelt
