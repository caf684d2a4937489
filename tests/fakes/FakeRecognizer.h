#pragma once

#include "platform/SpeechRecognizerService.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace quelt::fakes {

// A recognition the test drives: it records what the segment did and answers through
// emit(), from a thread of its own as the platform does.
class FakeRecognitionTask : public RecognitionTask {
public:
  FakeRecognitionTask(RecognitionSettings settings, RecognitionHandler handler)
      : settings(std::move(settings)), handler_(std::move(handler)) {}

  void append(const PcmBuffer& buffer) override { appendedFrames += buffer.frameLength(); }
  void endAudio() override { ++endAudioCalls; }
  void cancel() override { ++cancelCalls; }

  void emit(std::optional<RecognitionResult> result, std::optional<PlatformError> error = {}) {
    std::thread([this, result, error] { handler_(result, error); }).join();
  }
  void emitPartial(const std::string& text) { emit(RecognitionResult{text, {}, false}); }
  void emitFinal(const std::string& text, std::vector<float> confidences = {}) {
    emit(RecognitionResult{text, std::move(confidences), true});
  }
  void emitError(const std::string& domain, int64_t code, const std::string& description) {
    emit(std::nullopt, PlatformError(domain, code, description));
  }

  const RecognitionSettings settings;
  std::atomic<uint64_t> appendedFrames = 0;
  std::atomic<int> endAudioCalls = 0;
  std::atomic<int> cancelCalls = 0;

private:
  RecognitionHandler handler_;
};

// The classic recognizer: `supported` is its locale list; `recognizers` the locales a
// recognizer can be made for, with what each reports.
class FakeRecognizerService : public SpeechRecognizerService {
public:
  struct Traits {
    bool onDevice = true;
    bool available = true;
  };
  std::vector<std::string> supported;
  std::map<std::string, Traits> recognizers;
  std::atomic<int> made = 0;
  // Recognitions fail to start, as when a decoder cannot be had.
  std::atomic<bool> startFails = false;

  std::vector<std::string> supportedLocales() override { return supported; }
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;

  // Every task started so far, in order.
  std::shared_ptr<FakeRecognitionTask> task(size_t index);
  size_t taskCount();
  void recordTask(std::shared_ptr<FakeRecognitionTask> task);

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeRecognitionTask>> tasks_;
};

} // namespace quelt::fakes
