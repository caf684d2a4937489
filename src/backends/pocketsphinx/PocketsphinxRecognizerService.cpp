#include "pocketsphinx/PocketsphinxRecognizerService.h"

#include "LoadedModel.h"
#include "PocketsphinxModels.h"
#include "PocketsphinxTask.h"

#include <utility>

namespace quelt {
namespace {

class PocketsphinxRecognizer : public SpeechRecognizer {
public:
  PocketsphinxRecognizer(PocketsphinxModelFiles files, std::shared_ptr<AudioServices> audio,
                         std::string checker, std::string checkedModels,
                         std::function<void(const std::string&)> log,
                         std::shared_ptr<Pronouncer> pronouncer)
      : files_(std::move(files)), audio_(std::move(audio)), checker_(std::move(checker)),
        checkedModels_(std::move(checkedModels)), log_(std::move(log)),
        pronouncer_(std::move(pronouncer)) {}

  bool supportsOnDeviceRecognition() const override { return true; }
  bool isAvailable() override { return loadModel(files_, checker_, checkedModels_) != nullptr; }

  std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings& settings,
                                             RecognitionHandler handler) override {
    PocketsphinxTask::Request request{files_.locale, settings.contextualStrings,
                                      settings.addsPunctuation, settings.audioMayWait};
    auto task =
        std::make_shared<PocketsphinxTask>(loadModel(files_, checker_, checkedModels_), audio_,
                                           pronouncer_, request, log_, std::move(handler));
    task->start();
    return task;
  }

private:
  PocketsphinxModelFiles files_;
  std::shared_ptr<AudioServices> audio_;
  std::string checker_;
  std::string checkedModels_;
  std::function<void(const std::string&)> log_;
  std::shared_ptr<Pronouncer> pronouncer_;
};

} // namespace

PocketsphinxRecognizerService::PocketsphinxRecognizerService(
    std::shared_ptr<AudioServices> audio, std::string modelRoot, std::string checker,
    std::string checkedModels, std::function<void(const std::string&)> log,
    std::shared_ptr<Pronouncer> pronouncer)
    : audio_(std::move(audio)), modelRoot_(std::move(modelRoot)), checker_(std::move(checker)),
      checkedModels_(std::move(checkedModels)), log_(std::move(log)),
      pronouncer_(std::move(pronouncer)) {}

std::vector<std::string> PocketsphinxRecognizerService::supportedLocales() {
  std::vector<std::string> locales;
  for (const auto& model : findPocketsphinxModels(modelRoot_))
    locales.push_back(model.locale);
  return locales;
}

std::shared_ptr<SpeechRecognizer>
PocketsphinxRecognizerService::makeRecognizer(const std::string& locale) {
  auto model = findPocketsphinxModel(modelRoot_, locale);
  if (!model)
    return nullptr;
  return std::make_shared<PocketsphinxRecognizer>(std::move(*model), audio_, checker_,
                                                  checkedModels_, log_, pronouncer_);
}

} // namespace quelt
