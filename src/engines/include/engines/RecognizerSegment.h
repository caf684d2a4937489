#pragma once

#include "engines/SegmentEngine.h"
#include "platform/SpeechRecognizerService.h"
#include "protocol/Clock.h"
#include "protocol/MainQueue.h"

#include <memory>
#include <string>
#include <vector>

namespace quelt {

// A segment recognised by the classic recognizer: partial results while audio flows, the
// final result with the mean of its word confidences, end-of-speech errors after the end of
// audio taken as a normal end, and the finalisation timer as the last resort. The timer counts
// from the recognizer's last sign of work, so a segment whose audio is still being decoded is
// never cut short, while one whose recognizer went silent still ends.
class RecognizerSegment : public SegmentEngine,
                          public std::enable_shared_from_this<RecognizerSegment> {
public:
  struct Context {
    Clock& clock;
    PostToMain post;
  };

  // Starts recognising at once, always with partial results.
  static std::shared_ptr<RecognizerSegment> create(int64_t index, SpeechRecognizer& recognizer,
                                                   RecognitionSettings settings,
                                                   SegmentCallbacks callbacks, Context context);

  // A segment let go before it finished (its session never started, say) stops its
  // recognition, which would otherwise wait for audio for good.
  ~RecognizerSegment() override;

  int64_t index() const override { return index_; }
  void append(const PcmBuffer& buffer) override;
  void endAudio() override;
  void cancel() override;

private:
  RecognizerSegment(int64_t index, bool onDevice, SegmentCallbacks callbacks, Context context);

  void handle(const std::optional<RecognitionResult>& result,
              const std::optional<PlatformError>& error);
  void finish(const std::string& text, std::optional<double> confidence);
  void fail(const HelperError& error);
  void armTimer();
  void disarmTimer();

  const int64_t index_;
  std::shared_ptr<RecognitionTask> task_;
  const SegmentCallbacks callbacks_;
  const bool onDevice_;
  Context context_;
  // Main queue only.
  bool finished_ = false;
  std::string lastPartial_;
  bool cancelled_ = false;
  bool ended_ = false;
  std::shared_ptr<Timer> finalizeTimer_;
};

} // namespace quelt
