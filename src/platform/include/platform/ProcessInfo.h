#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quelt {

struct OsVersion {
  std::string system; // "macOS", "Linux", ...
  int major = 0;
  int minor = 0;
  int patch = 0;
};

// The speech analyzer engine exists only on macOS 26.0.0 and later.
inline bool speechAnalyzerAvailable(const OsVersion& version) {
  return version.system == "macOS" && version.major >= 26;
}

// A running watch; destroying it stops the watch and waits until its callback can no longer run.
class ProcessWatch {
public:
  virtual ~ProcessWatch() = default;
};

// Facts about this process and its parent.
class ProcessInfo {
public:
  virtual ~ProcessInfo() = default;

  virtual int64_t pid() const = 0;
  virtual int64_t parentPid() const = 0;
  // Calls `onExit` once, from any thread, when the parent `parentPid` has ended (at once when
  // it is already gone).
  virtual std::unique_ptr<ProcessWatch> watchParentExit(int64_t parentPid,
                                                        std::function<void()> onExit) = 0;
  virtual OsVersion osVersion() const = 0;
  // The compiled-in reverse-domain identifier; empty when the process has none.
  virtual std::string bundleIdentifier() const = 0;
  // The user's locale and preferred languages, as locale identifiers ("en-US", "fr").
  virtual std::string currentLocale() const = 0;
  virtual std::vector<std::string> preferredLanguages() const = 0;
};

} // namespace quelt
