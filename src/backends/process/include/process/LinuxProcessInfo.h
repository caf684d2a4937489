#pragma once

#include "platform/ProcessInfo.h"

namespace quelt {

// Process facts from the kernel: uname for the version, pidfd (or, where that is refused,
// polling getppid) for the parent's exit.
class LinuxProcessInfo : public ProcessInfo {
public:
  LinuxProcessInfo();

  int64_t pid() const override;
  int64_t parentPid() const override;
  std::unique_ptr<ProcessWatch> watchParentExit(int64_t parentPid,
                                                std::function<void()> onExit) override;
  OsVersion osVersion() const override;
  std::string bundleIdentifier() const override;
  // From the first of LC_ALL, LC_MESSAGES and LANG set to something, as the C library reads them.
  std::string currentLocale() const override;
  // LANGUAGE's list (as gettext reads it), then the current locale.
  std::vector<std::string> preferredLanguages() const override;

private:
  // Fixed for the process's life and asked for by every "hello": read once, not per request.
  int64_t pid_;
  OsVersion osVersion_;
};

// "6.1.0-18-amd64" -> 6, 1, 0; missing parts are 0.
OsVersion parseKernelRelease(const std::string& release);

} // namespace quelt
