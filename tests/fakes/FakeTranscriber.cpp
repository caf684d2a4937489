#include "fakes/FakeTranscriber.h"

#include "fakes/Locked.h"

#include <algorithm>
#include <functional>

namespace quelt::fakes {

void FakeSpeechAnalyzer::start(std::shared_ptr<AnalyzerInputStream> input) {
  if (startError)
    throw *startError;
  std::lock_guard lock(mutex_);
  input_ = std::move(input);
}

std::optional<TranscriptionResult> FakeSpeechAnalyzer::nextResult() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return ended_ || failure_ || !results_.empty(); });
  if (!results_.empty()) {
    auto result = results_.front();
    results_.pop_front();
    return result;
  }
  if (failure_)
    throw *failure_;
  return std::nullopt;
}

void FakeSpeechAnalyzer::finalizeAndFinishThroughEndOfInput() {
  if (finalizeError)
    throw *finalizeError;
}

void FakeSpeechAnalyzer::cancelAndFinishNow() {
  ++cancelCalls;
  endResults();
}

template <typename Change> void FakeSpeechAnalyzer::change(Change change) {
  {
    std::lock_guard lock(mutex_);
    change();
  }
  changed_.notify_all();
}

void FakeSpeechAnalyzer::push(const std::string& text, bool isFinal) {
  change([&] { results_.push_back({text, isFinal}); });
}

void FakeSpeechAnalyzer::endResults() {
  change([&] { ended_ = true; });
}

void FakeSpeechAnalyzer::failResults(PlatformError error) {
  change([&] { failure_ = std::move(error); });
}

std::shared_ptr<AnalyzerInputStream> FakeSpeechAnalyzer::input() {
  return lockedCopy(mutex_, input_);
}

namespace {

class FakeInstallation : public AssetInstallationRequest {
public:
  FakeInstallation(FakeTranscriber& owner, std::function<void()> install)
      : owner_(owner), install_(std::move(install)) {}
  void downloadAndInstall() override {
    ++owner_.downloads;
    if (owner_.downloadError)
      throw *owner_.downloadError;
    install_();
  }

private:
  FakeTranscriber& owner_;
  std::function<void()> install_;
};

} // namespace

std::shared_ptr<SpeechAnalyzer> FakeTranscriber::makeAnalyzer(const std::string& locale) {
  std::lock_guard lock(mutex_);
  analyzerLocale = locale;
  return analyzer;
}

std::vector<std::string> FakeTranscriber::supportedLocales() {
  return lockedCopy(mutex_, supported);
}

std::vector<std::string> FakeTranscriber::installedLocales() {
  return lockedCopy(mutex_, installed);
}

std::unique_ptr<AssetInstallationRequest>
FakeTranscriber::assetInstallationRequest(const std::string& locale) {
  if (inventoryError)
    throw *inventoryError;
  std::lock_guard lock(mutex_);
  if (std::find(installed.begin(), installed.end(), locale) != installed.end())
    return nullptr;
  return std::make_unique<FakeInstallation>(*this, [this, locale] {
    std::lock_guard lock(mutex_);
    installed.push_back(locale);
  });
}

} // namespace quelt::fakes
