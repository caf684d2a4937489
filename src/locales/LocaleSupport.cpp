#include "locales/LocaleSupport.h"

#include "platform/ProcessInfo.h"
#include "protocol/HelperError.h"

#include <algorithm>

namespace quelt {
namespace {

bool containsSame(const std::vector<Locale>& locales, const Locale& locale) {
  return std::any_of(locales.begin(), locales.end(),
                     [&](const Locale& other) { return sameLocale(other, locale); });
}

std::vector<Locale> toLocales(const std::vector<std::string>& identifiers) {
  return {identifiers.begin(), identifiers.end()};
}

} // namespace

std::optional<std::string> AnalyzerLocales::support(const Locale& locale) const {
  if (containsSame(installed, locale))
    return "installed";
  if (containsSame(supported, locale))
    return "downloadable";
  return std::nullopt;
}

std::string LocaleSupport::onDevice() const {
  if (analyzer == "installed" || recognizerOnDevice)
    return "installed";
  if (analyzer == "downloadable")
    return "downloadable";
  return "unsupported";
}

Json LocaleSupport::json() const {
  Json out = {{"identifier", identifier},
              {"on_device", onDevice()},
              {"recognizer_on_device", recognizerOnDevice},
              {"recognizer_available", recognizerAvailable},
              {"recognizer_supported", recognizerSupported}};
  if (analyzer)
    out["analyzer"] = *analyzer;
  return out;
}

std::optional<AnalyzerLocales> analyzerLocales(const RecognitionServices& services) {
  if (!speechAnalyzerAvailable(services.process->osVersion()) || !services.transcriber)
    return std::nullopt;
  AnalyzerLocales locales;
  locales.supported = toLocales(services.transcriber->supportedLocales());
  locales.installed = toLocales(services.transcriber->installedLocales());
  return locales;
}

std::vector<Locale> recognitionLocales(const RecognitionServices& services,
                                       const std::optional<AnalyzerLocales>& analyzer) {
  std::vector<Locale> locales;
  for (const auto& identifier : services.recognizer->supportedLocales()) {
    Locale locale(identifier);
    // The recognizer's list is a set: the same locale twice is one locale.
    bool listed = std::any_of(locales.begin(), locales.end(),
                              [&](const Locale& other) { return other.bcp47() == locale.bcp47(); });
    if (!listed)
      locales.push_back(std::move(locale));
  }
  if (analyzer)
    for (const auto& locale : analyzer->supported)
      if (!containsSame(locales, locale))
        locales.push_back(locale);
  sortByIdentifier(locales);
  return locales;
}

LocaleSupport localeSupport(const RecognitionServices& services, const Locale& locale,
                            const std::optional<AnalyzerLocales>& analyzer) {
  LocaleSupport support;
  support.identifier = bcp47(locale);
  if (analyzer)
    support.analyzer = analyzer->support(locale);
  if (auto recognizer = services.recognizer->makeRecognizer(bcp47(locale))) {
    support.recognizerOnDevice = recognizer->supportsOnDeviceRecognition();
    support.recognizerAvailable = recognizer->isAvailable();
    support.recognizerSupported = true;
  }
  return support;
}

Locale resolveLocale(const RecognitionServices& services,
                     const std::optional<std::string>& requested,
                     const std::optional<AnalyzerLocales>& analyzer) {
  Locale system(services.process->currentLocale());
  auto selected = selectRecognitionLocale(
      requested, system, services.process->preferredLanguages(),
      recognitionLocales(services, analyzer), [&](const Locale& locale) {
        return localeSupport(services, locale, analyzer).onDevice() == "installed";
      });
  if (selected)
    return *selected;
  std::string named =
      requested && !requested->empty() ? *requested : bcp47(baseLanguageLocale(system));
  throw HelperError(errors::localeUnsupported, named, {.locale = named});
}

} // namespace quelt
