#include "engines/RecognizerSegment.h"

#include "common/NativeError.h"
#include "platform/PlatformError.h"

namespace quelt {
namespace {

constexpr const char* assistantDomain = "kAFAssistantErrorDomain";
constexpr const char* speechDomain = "kLSRErrorDomain";
constexpr const char* urlLoadingDomain = "NSURLErrorDomain";

bool endOfSpeech(const PlatformError& error) {
  if (error.domain() == speechDomain)
    return true;
  return error.domain() == assistantDomain &&
         (error.code() == 1110 || error.code() == 1101 || error.code() == 216);
}

std::optional<double> meanConfidence(const std::vector<float>& confidences) {
  if (confidences.empty())
    return std::nullopt;
  double sum = 0.0;
  for (float confidence : confidences)
    sum += static_cast<double>(confidence);
  return sum / static_cast<double>(confidences.size());
}

} // namespace

RecognizerSegment::RecognizerSegment(int64_t index, bool onDevice, SegmentCallbacks callbacks,
                                     Context context)
    : index_(index), callbacks_(std::move(callbacks)), onDevice_(onDevice),
      context_(std::move(context)) {}

RecognizerSegment::~RecognizerSegment() {
  if (task_ && !finished_ && !cancelled_)
    task_->cancel();
}

std::shared_ptr<RecognizerSegment>
RecognizerSegment::create(int64_t index, SpeechRecognizer& recognizer, RecognitionSettings settings,
                          SegmentCallbacks callbacks, Context context) {
  std::shared_ptr<RecognizerSegment> segment(new RecognizerSegment(
      index, settings.requiresOnDeviceRecognition, std::move(callbacks), std::move(context)));
  settings.reportPartialResults = true;
  std::weak_ptr<RecognizerSegment> weak = segment;
  PostToMain post = segment->context_.post;
  segment->task_ =
      recognizer.startTask(settings, [weak, post](std::optional<RecognitionResult> result,
                                                  std::optional<PlatformError> error) {
        post([weak, result = std::move(result), error = std::move(error)] {
          if (auto alive = weak.lock())
            alive->handle(result, error);
        });
      });
  return segment;
}

void RecognizerSegment::handle(const std::optional<RecognitionResult>& result,
                               const std::optional<PlatformError>& error) {
  if (finished_ || cancelled_)
    return;
  if (result) {
    const std::string& text = result->formattedString;
    if (!result->isFinal) {
      if (ended_)
        armTimer();
      lastPartial_ = text;
      callbacks_.partial(index_, text);
      return;
    }
    finish(text, meanConfidence(result->segmentConfidences));
    return;
  }
  if (!error) {
    // Still decoding what it was given: the wait for its final starts again.
    if (ended_)
      armTimer();
    return;
  }
  if (ended_ && endOfSpeech(*error)) {
    finish(lastPartial_, std::nullopt);
    return;
  }
  bool networkFailure = error->domain() == urlLoadingDomain ||
                        (!onDevice_ && error->domain() == assistantDomain && error->code() == 1107);
  if (networkFailure) {
    fail(HelperError(errors::networkUnavailable, error->description(),
                     {.domain = error->domain(), .nativeCode = error->code()}));
    return;
  }
  fail(nativeError(*error, "recognition"));
}

void RecognizerSegment::finish(const std::string& text, std::optional<double> confidence) {
  if (finished_)
    return;
  finished_ = true;
  disarmTimer();
  callbacks_.final(index_, text, confidence);
}

void RecognizerSegment::fail(const HelperError& error) {
  if (finished_)
    return;
  finished_ = true;
  disarmTimer();
  if (task_)
    task_->cancel();
  callbacks_.failure(index_, error);
}

void RecognizerSegment::disarmTimer() {
  if (finalizeTimer_)
    finalizeTimer_->cancel();
}

void RecognizerSegment::append(const PcmBuffer& buffer) {
  // The task is set before the segment is handed out and never changes.
  task_->append(buffer);
}

void RecognizerSegment::endAudio() {
  if (ended_)
    return;
  ended_ = true;
  task_->endAudio();
  armTimer();
}

void RecognizerSegment::armTimer() {
  disarmTimer();
  std::weak_ptr<RecognizerSegment> weak = weak_from_this();
  finalizeTimer_ = context_.clock.schedule(finalizeTimeout, [weak] {
    auto segment = weak.lock();
    if (!segment || segment->finished_)
      return;
    segment->task_->cancel();
    segment->finish(segment->lastPartial_, std::nullopt);
  });
}

void RecognizerSegment::cancel() {
  cancelled_ = true;
  disarmTimer();
  if (task_)
    task_->cancel();
}

} // namespace quelt
