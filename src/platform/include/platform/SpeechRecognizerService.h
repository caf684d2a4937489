#pragma once

#include "platform/PcmBuffer.h"
#include "platform/PlatformError.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// How one recognition request is to be run.
struct RecognitionSettings {
  bool reportPartialResults = true;
  bool requiresOnDeviceRecognition = false;
  std::vector<std::string> contextualStrings;
  bool addsPunctuation = false;
  // The audio comes from a source that can be held back (a file read faster than real time):
  // append() may then wait for the recognition to catch up instead of queueing without bound.
  // Audio from a live source is never waited for.
  bool audioMayWait = false;
};

// One hypothesis: the best transcription's text and the confidence of each of its segments
// (words), in order.
struct RecognitionResult {
  std::string formattedString;
  std::vector<float> segmentConfidences;
  bool isFinal = false;
};

// The result handler gets a result, an error, or neither; on a platform thread, any number of
// times. Neither means the recognition is still at work on audio it was given, which keeps a
// segment waiting for its final from giving up on it.
using RecognitionHandler =
    std::function<void(std::optional<RecognitionResult>, std::optional<PlatformError>)>;

// A running recognition fed with audio buffers in any format.
class RecognitionTask {
public:
  virtual ~RecognitionTask() = default;
  // On the audio delivery thread; safe against endAudio and cancel on other threads.
  virtual void append(const PcmBuffer& buffer) = 0;
  // No more audio: the final result (or an error) follows.
  virtual void endAudio() = 0;
  // Stop recognising; the handler may still see what was already under way.
  virtual void cancel() = 0;
};

// One classic recognizer for one locale.
class SpeechRecognizer {
public:
  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() const = 0;
  // Whether it can recognise right now (its model loads, its service answers).
  virtual bool isAvailable() = 0;
  virtual std::shared_ptr<RecognitionTask> startTask(const RecognitionSettings& settings,
                                                     RecognitionHandler handler) = 0;
};

// The classic speech recognizer.
class SpeechRecognizerService {
public:
  virtual ~SpeechRecognizerService() = default;
  // Locale identifiers of every locale a recognizer can be made for.
  virtual std::vector<std::string> supportedLocales() = 0;
  // Null when no recognizer can be made for the locale.
  virtual std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) = 0;
};

} // namespace quelt
