#pragma once

#include "platform/PlatformError.h"
#include "platform/TranscriberService.h"

#include <atomic>

namespace quelt::fakes {

// An analyzer the test scripts: the format it offers, whether it starts, and the results it
// hands out one by one (nextResult blocks until the test pushes one or ends them).
class FakeSpeechAnalyzer : public SpeechAnalyzer {
public:
  std::optional<AudioFormat> offered = AudioFormat{16000, 1, SampleFormat::int16, true};
  std::optional<PlatformError> startError;
  std::optional<PlatformError> finalizeError;
  std::atomic<int> cancelCalls = 0;

  std::optional<AudioFormat> bestAvailableAudioFormat() override { return offered; }
  void start(std::shared_ptr<AnalyzerInputStream> input) override;
  std::optional<TranscriptionResult> nextResult() override;
  void finalizeAndFinishThroughEndOfInput() override;
  void cancelAndFinishNow() override;

  void push(const std::string& text, bool isFinal);
  void endResults();
  void failResults(PlatformError error);
  std::shared_ptr<AnalyzerInputStream> input();

private:
  // Changes what nextResult waits on, and wakes it.
  template <typename Change> void change(Change change);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TranscriptionResult> results_;
  bool ended_ = false;
  std::optional<PlatformError> failure_;
  std::shared_ptr<AnalyzerInputStream> input_;
};

// The analyzer's transcriber and its asset inventory.
class FakeTranscriber : public TranscriberService {
public:
  std::vector<std::string> supported;
  std::vector<std::string> installed;
  std::optional<PlatformError> inventoryError;
  std::optional<PlatformError> downloadError;
  std::atomic<int> downloads = 0;

  std::vector<std::string> supportedLocales() override;
  std::vector<std::string> installedLocales() override;
  std::unique_ptr<AssetInstallationRequest> assetInstallationRequest(const std::string&) override;
  // Hands out `analyzer` (made up front so the test can script it) and notes the locale.
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const std::string& locale) override;

  std::shared_ptr<FakeSpeechAnalyzer> analyzer = std::make_shared<FakeSpeechAnalyzer>();
  std::string analyzerLocale;

private:
  std::mutex mutex_;
};

} // namespace quelt::fakes
