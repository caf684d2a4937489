#include "locales/LocaleOps.h"

#include "locales/LocaleSupport.h"
#include "protocol/Server.h"

namespace quelt {
namespace {

// An installation the platform refused or broke off, reported against the locale as sent.
HelperError installFailure(std::exception_ptr raised, const std::optional<std::string>& requested) {
  try {
    std::rethrow_exception(raised);
  } catch (const HelperError& error) {
    return error;
  } catch (const PlatformError& error) {
    return HelperError("asset_install_failed", error.description(), error.domain(), error.code(),
                       requested);
  } catch (const std::exception& error) {
    return HelperError("asset_install_failed", error.what(), std::nullopt, std::nullopt, requested);
  }
}

} // namespace

void installAnalyzerAssets(const Platform& platform, const Locale& locale) {
  if (!speechAnalyzerAvailable(platform.process->osVersion()) || !platform.transcriber)
    throw HelperError("asset_install_failed",
                      "SpeechAnalyzer needs macOS 26; SFSpeechRecognizer on-device models are "
                      "installed from System Settings > Keyboard > Dictation",
                      std::nullopt, std::nullopt, bcp47(locale));
  auto request = platform.transcriber->assetInstallationRequest(bcp47(locale));
  if (!request)
    return; // already present
  request->downloadAndInstall();
}

void registerLocaleOps(Server& server) {
  server.registerOp("locales.list", [&server](const Params&, Completion done) {
    server.runTask([&server, done] {
      const Platform& platform = server.platform();
      auto analyzer = analyzerLocales(platform);
      Json locales = Json::array();
      for (const auto& locale : recognitionLocales(platform, analyzer))
        locales.push_back(localeSupport(platform, locale, analyzer).json());
      server.completeOnMain(done, Json{{"locales", std::move(locales)}});
    });
  });

  server.registerOp("locales.get", [&server](const Params& params, Completion done) {
    server.runTask([&server, done, requested = params.string("locale")] {
      const Platform& platform = server.platform();
      try {
        auto analyzer = analyzerLocales(platform);
        Locale locale = resolveLocale(platform, requested, analyzer);
        server.completeOnMain(done, localeSupport(platform, locale, analyzer).json());
      } catch (...) {
        server.completeOnMain(done, boundaryError(std::current_exception(), "resolve locale"));
      }
    });
  });

  server.registerOp("locales.install", [&server](const Params& params, Completion done) {
    server.runTask([&server, done, requested = params.string("locale")] {
      const Platform& platform = server.platform();
      try {
        Locale locale = resolveLocale(platform, requested, analyzerLocales(platform));
        installAnalyzerAssets(platform, locale);
        // Read again, so a locale just installed shows as installed.
        auto analyzer = analyzerLocales(platform);
        server.completeOnMain(done, localeSupport(platform, locale, analyzer).json());
      } catch (...) {
        server.completeOnMain(done, installFailure(std::current_exception(), requested));
      }
    });
  });
}

} // namespace quelt
