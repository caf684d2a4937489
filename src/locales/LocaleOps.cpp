#include "locales/LocaleOps.h"

#include "common/NativeError.h"
#include "locales/LocaleSupport.h"
#include "platform/PlatformError.h"
#include "protocol/OpHost.h"

namespace quelt {
namespace {

// An installation the platform refused or broke off, reported against the locale as sent.
HelperError installFailure(std::exception_ptr raised, const std::optional<std::string>& requested) {
  try {
    std::rethrow_exception(raised);
  } catch (const HelperError& error) {
    return error;
  } catch (const PlatformError& error) {
    return HelperError(errors::assetInstallFailed, error.description(),
                       {.domain = error.domain(), .nativeCode = error.code(), .locale = requested});
  } catch (const std::exception& error) {
    return HelperError(errors::assetInstallFailed, error.what(), {.locale = requested});
  }
}

} // namespace

void installAnalyzerAssets(const RecognitionServices& services, const Locale& locale) {
  if (!speechAnalyzerAvailable(services.process->osVersion()) || !services.transcriber)
    throw HelperError(errors::assetInstallFailed,
                      "SpeechAnalyzer needs macOS 26; SFSpeechRecognizer on-device models are "
                      "installed from System Settings > Keyboard > Dictation",
                      {.locale = bcp47(locale)});
  auto request = services.transcriber->assetInstallationRequest(bcp47(locale));
  if (!request)
    return; // already present
  request->downloadAndInstall();
}

void registerLocaleOps(OpHost& host, RecognitionServices recognition) {
  auto shared = std::make_shared<const RecognitionServices>(std::move(recognition));
  host.registerOp(ops::localesList, [&host, shared](const Params&, Reply done) {
    host.runTask([&host, shared, done] {
      const RecognitionServices& services = *shared;
      auto analyzer = analyzerLocales(services);
      Json locales = Json::array();
      for (const auto& locale : recognitionLocales(services, analyzer))
        locales.push_back(localeSupport(services, locale, analyzer).json());
      host.completeOnMain(done, Json{{"locales", std::move(locales)}});
    });
  });

  host.registerOp(ops::localesGet, [&host, shared](const Params& params, Reply done) {
    host.runTask([&host, shared, done, requested = params.string("locale")] {
      const RecognitionServices& services = *shared;
      try {
        auto analyzer = analyzerLocales(services);
        Locale locale = resolveLocale(services, requested, analyzer);
        host.completeOnMain(done, localeSupport(services, locale, analyzer).json());
      } catch (...) {
        host.completeOnMain(done, boundaryError(std::current_exception(), "resolve locale"));
      }
    });
  });

  host.registerOp(ops::localesInstall, [&host, shared](const Params& params, Reply done) {
    host.runTask([&host, shared, done, requested = params.string("locale")] {
      const RecognitionServices& services = *shared;
      try {
        Locale locale = resolveLocale(services, requested, analyzerLocales(services));
        installAnalyzerAssets(services, locale);
        // Read again, so a locale just installed shows as installed.
        auto analyzer = analyzerLocales(services);
        host.completeOnMain(done, localeSupport(services, locale, analyzer).json());
      } catch (...) {
        host.completeOnMain(done, installFailure(std::current_exception(), requested));
      }
    });
  });
}

} // namespace quelt
