#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quelt {

// A pending download of a transcriber's on-device assets.
class AssetInstallationRequest {
public:
  virtual ~AssetInstallationRequest() = default;
  // Blocks until the assets are installed; throws PlatformError when that fails.
  virtual void downloadAndInstall() = 0;
};

// The speech analyzer's transcriber, present only on systems that have the analyzer. Its calls
// may block while the platform answers, so they run on the task executor.
class TranscriberService {
public:
  virtual ~TranscriberService() = default;
  virtual std::vector<std::string> supportedLocales() = 0;
  virtual std::vector<std::string> installedLocales() = 0;
  // For a progressive transcriber module of the locale: null when its assets are already
  // present. Throws PlatformError when the inventory refuses.
  virtual std::unique_ptr<AssetInstallationRequest>
  assetInstallationRequest(const std::string& locale) = 0;
};

} // namespace quelt
