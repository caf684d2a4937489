#pragma once

#include "engines/SegmentEngine.h"
#include "locales/Locale.h"
#include "platform/AudioServices.h"
#include "platform/TranscriberService.h"
#include "protocol/Clock.h"
#include "protocol/MainQueue.h"

#include <memory>
#include <mutex>
#include <string>

namespace quelt {

// A segment recognised by the speech analyzer: the audio converted to the format the analyzer
// asks for and streamed to it, volatile and final result pieces folded into whole texts.
class AnalyzerSegment : public SegmentEngine, public std::enable_shared_from_this<AnalyzerSegment> {
public:
  struct Context {
    Clock& clock;
    PostToMain post;
    // Runs blocking platform work off the main queue.
    std::function<void(std::function<void()>)> runTask;
    AudioServices& audio;
  };

  static std::shared_ptr<AnalyzerSegment> create(int64_t index, Locale locale,
                                                 AudioFormat inputFormat,
                                                 TranscriberService& transcriber,
                                                 SegmentCallbacks callbacks, Context context);

  // Negotiates the format and starts the analyzer; blocks, so call it off the main queue.
  // Throws HelperError. Audio appended before it returns is dropped.
  void start();

  int64_t index() const override { return index_; }
  void append(const PcmBuffer& buffer) override;
  void endAudio() override;
  void cancel() override;

private:
  AnalyzerSegment(int64_t index, Locale locale, AudioFormat inputFormat,
                  std::shared_ptr<SpeechAnalyzer> analyzer, SegmentCallbacks callbacks,
                  Context context);

  void onResult(const std::string& text, bool isFinal);
  void onCompletion();
  void onFailure(const HelperError& error);
  void finishStream();
  void cancelAnalyzer();
  bool resultsStopped();
  bool closed() const { return completed_ || cancelled_; }

  const int64_t index_;
  const Locale locale_;
  const AudioFormat inputFormat_;
  const SegmentCallbacks callbacks_;
  const std::shared_ptr<SpeechAnalyzer> analyzer_;
  Context context_;

  // Under lock_: touched by start, append, endAudio and cancel from their own threads.
  std::mutex lock_;
  std::shared_ptr<AnalyzerInputStream> continuation_;
  std::shared_ptr<AudioConverter> converter_;
  std::optional<AudioFormat> targetFormat_;
  bool resultsStopped_ = false;

  // Main queue only.
  std::string finalizedText_;
  std::string lastVolatile_;
  bool completed_ = false;
  bool cancelled_ = false;
  bool ended_ = false;
  std::shared_ptr<Timer> finalizeTimer_;
};

} // namespace quelt
