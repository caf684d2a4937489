#pragma once

namespace quelt {

class Locale;
class OpHost;
struct RecognitionServices;

// Downloads and installs the analyzer's on-device assets for the locale. Blocks; throws a
// HelperError where the system has no analyzer, a PlatformError when the platform fails.
void installAnalyzerAssets(const RecognitionServices& services, const Locale& locale);

// "locales.list", "locales.get", "locales.install"
void registerLocaleOps(OpHost& host, RecognitionServices services);

} // namespace quelt
