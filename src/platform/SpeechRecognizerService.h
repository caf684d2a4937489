#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quelt {

// One classic recognizer for one locale.
class SpeechRecognizer {
public:
  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() const = 0;
  // Whether it can recognise right now (its model loads, its service answers).
  virtual bool isAvailable() = 0;
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
