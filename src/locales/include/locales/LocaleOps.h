#pragma once

namespace quelt {

class Locale;
class Server;
struct Platform;

// Downloads and installs the analyzer's on-device assets for the locale. Blocks; throws a
// HelperError where the system has no analyzer, a PlatformError when the platform fails.
void installAnalyzerAssets(const Platform& platform, const Locale& locale);

// "locales.list", "locales.get", "locales.install"
void registerLocaleOps(Server& server);

} // namespace quelt
