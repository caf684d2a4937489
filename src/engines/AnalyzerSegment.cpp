#include "engines/AnalyzerSegment.h"

#include "common/NativeError.h"
#include "platform/PlatformError.h"

#include <cmath>
#include <limits>
#include <thread>

namespace quelt {

AnalyzerSegment::AnalyzerSegment(int64_t index, Locale locale, AudioFormat inputFormat,
                                 std::shared_ptr<SpeechAnalyzer> analyzer,
                                 SegmentCallbacks callbacks, Context context)
    : index_(index), locale_(std::move(locale)), inputFormat_(inputFormat),
      callbacks_(std::move(callbacks)), analyzer_(std::move(analyzer)),
      context_(std::move(context)) {}

std::shared_ptr<AnalyzerSegment> AnalyzerSegment::create(int64_t index, Locale locale,
                                                         AudioFormat inputFormat,
                                                         TranscriberService& transcriber,
                                                         SegmentCallbacks callbacks,
                                                         Context context) {
  auto analyzer = transcriber.makeAnalyzer(bcp47(locale));
  return std::shared_ptr<AnalyzerSegment>(
      new AnalyzerSegment(index, std::move(locale), inputFormat, std::move(analyzer),
                          std::move(callbacks), std::move(context)));
}

void AnalyzerSegment::start() {
  auto target = analyzer_->bestAvailableAudioFormat();
  if (!target)
    throw HelperError(errors::onDeviceUnavailable,
                      "SpeechAnalyzer offers no audio format for " + bcp47(locale_),
                      {.locale = bcp47(locale_)});
  std::shared_ptr<AudioConverter> converter;
  bool sameShape = target->sampleRate == inputFormat_.sampleRate &&
                   target->channels == inputFormat_.channels &&
                   target->sampleFormat == inputFormat_.sampleFormat;
  if (!sameShape) {
    converter = context_.audio.makeConverter(inputFormat_, *target);
    if (!converter)
      throw HelperError(errors::native,
                        "cannot convert " + inputFormat_.description() + " to " +
                            target->description(),
                        {.domain = "AVFAudio"});
  }
  auto stream = std::make_shared<AnalyzerInputStream>();
  try {
    analyzer_->start(stream);
  } catch (const PlatformError& error) {
    throw nativeError(error, "start SpeechAnalyzer");
  }
  {
    std::lock_guard lock(lock_);
    continuation_ = stream;
    converter_ = converter;
    targetFormat_ = target;
  }
  // The results loop holds the analyzer, not the segment: a segment let go stops reporting.
  std::thread([weak = weak_from_this(), analyzer = analyzer_, post = context_.post] {
    for (;;) {
      std::optional<TranscriptionResult> result;
      try {
        result = analyzer->nextResult();
      } catch (const PlatformError& error) {
        post([weak, failure = nativeError(error, "SpeechAnalyzer results")] {
          if (auto segment = weak.lock())
            segment->onFailure(failure);
        });
        return;
      }
      auto segment = weak.lock();
      if (!segment || segment->resultsStopped())
        return;
      if (!result) {
        post([weak] {
          if (auto alive = weak.lock())
            alive->onCompletion();
        });
        return;
      }
      post([weak, text = result->text, isFinal = result->isFinal] {
        if (auto alive = weak.lock())
          alive->onResult(text, isFinal);
      });
    }
  }).detach();
}

bool AnalyzerSegment::resultsStopped() {
  std::lock_guard lock(lock_);
  return resultsStopped_;
}

void AnalyzerSegment::onResult(const std::string& text, bool isFinal) {
  if (closed())
    return;
  if (isFinal) {
    finalizedText_ += text;
    lastVolatile_.clear();
  } else {
    lastVolatile_ = text;
  }
  callbacks_.partial(index_, finalizedText_ + lastVolatile_);
}

void AnalyzerSegment::onCompletion() {
  if (closed())
    return;
  completed_ = true;
  if (finalizeTimer_)
    finalizeTimer_->cancel();
  callbacks_.final(index_, finalizedText_ + lastVolatile_, std::nullopt);
}

void AnalyzerSegment::onFailure(const HelperError& error) {
  if (closed())
    return;
  completed_ = true;
  if (finalizeTimer_)
    finalizeTimer_->cancel();
  callbacks_.failure(index_, error);
}

void AnalyzerSegment::append(const PcmBuffer& buffer) {
  std::shared_ptr<AnalyzerInputStream> stream;
  std::shared_ptr<AudioConverter> converter;
  std::optional<AudioFormat> target;
  {
    std::lock_guard lock(lock_);
    stream = continuation_;
    converter = converter_;
    target = targetFormat_;
  }
  if (!stream || !target)
    return;
  if (!converter) {
    stream->yield(buffer);
    return;
  }
  double rate = buffer.format().sampleRate;
  double frames = rate > 0 ? target->sampleRate / rate * buffer.frameLength() : -1;
  // A buffer whose size cannot be worked out cannot be converted either.
  if (!std::isfinite(frames) || frames < 0 || frames > std::numeric_limits<uint32_t>::max() - 64.0)
    return;
  PcmBuffer output(*target, static_cast<uint32_t>(frames) + 64);
  if (!converter->convert(buffer, output) || output.frameLength() == 0)
    return;
  stream->yield(std::move(output));
}

void AnalyzerSegment::finishStream() {
  std::shared_ptr<AnalyzerInputStream> stream;
  {
    std::lock_guard lock(lock_);
    stream = std::move(continuation_);
    continuation_.reset();
  }
  if (stream)
    stream->finish();
}

void AnalyzerSegment::cancelAnalyzer() {
  context_.runTask([analyzer = analyzer_] { analyzer->cancelAndFinishNow(); });
}

void AnalyzerSegment::endAudio() {
  if (ended_)
    return;
  ended_ = true;
  finishStream();
  std::weak_ptr<AnalyzerSegment> weak = weak_from_this();
  finalizeTimer_ = context_.clock.schedule(finalizeTimeout, [weak] {
    auto segment = weak.lock();
    if (!segment || segment->completed_)
      return;
    if (!segment->cancelled_) {
      segment->completed_ = true;
      segment->finalizeTimer_->cancel();
      segment->callbacks_.final(segment->index_, segment->finalizedText_ + segment->lastVolatile_,
                                std::nullopt);
    }
    segment->cancelAnalyzer();
  });
  context_.runTask([weak, analyzer = analyzer_, post = context_.post] {
    try {
      analyzer->finalizeAndFinishThroughEndOfInput();
    } catch (const std::exception&) {
      // The segment still ends, with the text it has.
      post([weak] {
        if (auto segment = weak.lock())
          segment->onCompletion();
      });
    }
  });
}

void AnalyzerSegment::cancel() {
  cancelled_ = true;
  if (finalizeTimer_)
    finalizeTimer_->cancel();
  finishStream();
  {
    std::lock_guard lock(lock_);
    resultsStopped_ = true;
  }
  cancelAnalyzer();
}

} // namespace quelt
