#pragma once

#include "locales/Locale.h"
#include "platform/ProcessInfo.h"
#include "platform/SpeechRecognizerService.h"
#include "platform/TranscriberService.h"
#include "protocol/Json.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// The services that know which locales can be recognised.
struct RecognitionServices {
  std::shared_ptr<ProcessInfo> process;
  std::shared_ptr<SpeechRecognizerService> recognizer;
  // Null where the system has no speech analyzer.
  std::shared_ptr<TranscriberService> transcriber;
};

// The analyzer's transcriber locales, as the platform listed them.
struct AnalyzerLocales {
  std::vector<Locale> supported;
  std::vector<Locale> installed;

  // "installed", "downloadable", or nothing.
  std::optional<std::string> support(const Locale& locale) const;
};

// What each engine can do for one locale.
struct LocaleSupport {
  std::string identifier;
  std::optional<std::string> analyzer;
  bool recognizerOnDevice = false;
  bool recognizerAvailable = false;
  bool recognizerSupported = false;

  // "installed", "downloadable" or "unsupported".
  std::string onDevice() const;
  Json json() const;
};

// Nothing where the system has no speech analyzer. Blocks while the platform answers: call it
// from the task executor.
std::optional<AnalyzerLocales> analyzerLocales(const RecognitionServices& services);
// Every recognisable locale: the classic recognizer's, then the analyzer's that are new (up to
// case), sorted by identifier.
std::vector<Locale> recognitionLocales(const RecognitionServices& services,
                                       const std::optional<AnalyzerLocales>& analyzer);
LocaleSupport localeSupport(const RecognitionServices& services, const Locale& locale,
                            const std::optional<AnalyzerLocales>& analyzer);
// The locale to recognise in for a requested identifier, or "locale_unsupported".
Locale resolveLocale(const RecognitionServices& services,
                     const std::optional<std::string>& requested,
                     const std::optional<AnalyzerLocales>& analyzer);

} // namespace quelt
