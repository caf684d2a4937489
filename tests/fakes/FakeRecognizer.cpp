#include "fakes/FakeRecognizer.h"

namespace quelt::fakes {
namespace {

class FakeRecognizer : public SpeechRecognizer {
public:
  FakeRecognizer(FakeRecognizerService& service, FakeRecognizerService::Traits traits)
      : service_(service), traits_(traits) {}
  bool supportsOnDeviceRecognition() const override { return traits_.onDevice; }
  bool isAvailable() override { return traits_.available; }
  std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings& settings,
                                             RecognitionHandler handler) override {
    if (service_.startFails)
      throw PlatformError("Speech", 4, "the recognition could not start");
    auto task = std::make_shared<FakeRecognitionTask>(settings, std::move(handler));
    service_.recordTask(task);
    return task;
  }

private:
  FakeRecognizerService& service_;
  FakeRecognizerService::Traits traits_;
};

} // namespace

std::shared_ptr<SpeechRecognizer> FakeRecognizerService::makeRecognizer(const std::string& locale) {
  auto found = recognizers.find(locale);
  if (found == recognizers.end())
    return nullptr;
  ++made;
  return std::make_shared<FakeRecognizer>(*this, found->second);
}

std::shared_ptr<FakeRecognitionTask> FakeRecognizerService::task(size_t index) {
  std::lock_guard lock(mutex_);
  return index < tasks_.size() ? tasks_[index] : nullptr;
}

size_t FakeRecognizerService::taskCount() {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void FakeRecognizerService::recordTask(std::shared_ptr<FakeRecognitionTask> task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

} // namespace quelt::fakes
