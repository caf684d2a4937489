#include "process/LinuxProcessInfo.h"

#include "platform/LanguageTag.h"
#include "platform/ProcessIdentity.h"

#include <unicode/locid.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

// A thread that waits for the parent process to end and can be stopped through a self-pipe.
class ParentExitWatch : public ProcessWatch {
public:
  ParentExitWatch(pid_t pid, std::function<void()> onExit) : onExit_(std::move(onExit)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0)
      wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this, pid] {
      if (waitForExit(pid))
        onExit_();
    });
  }

  ~ParentExitWatch() override {
    char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
    thread_.join();
    for (int fd : wake_)
      if (fd >= 0)
        ::close(fd);
  }

private:
  // True when the process ended, false when the watch was stopped first.
  bool waitForExit(pid_t pid) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
      if (errno == ESRCH)
        return true;
      return pollParentId(pid);
    }
    // The pid may have been reused between reading it and opening the pidfd.
    if (::getppid() != pid) {
      ::close(pidfd);
      return true;
    }
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(fds, 2, -1);
    } while (ready < 0 && errno == EINTR);
    ::close(pidfd);
    return fds[1].revents == 0;
  }

  // Without pidfds: a process whose parent has ended is handed to another one.
  bool pollParentId(pid_t parent) {
    pollfd wake = {wake_[0], POLLIN, 0};
    while (::getppid() == parent) {
      if (::poll(&wake, 1, 200) > 0)
        return false;
    }
    return true;
  }

  std::function<void()> onExit_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

} // namespace

namespace {

OsVersion kernelVersion() {
  utsname names{};
  if (::uname(&names) != 0)
    return OsVersion{"Linux"};
  return parseKernelRelease(names.release);
}

} // namespace

LinuxProcessInfo::LinuxProcessInfo() : pid_(::getpid()), osVersion_(kernelVersion()) {}

int64_t LinuxProcessInfo::pid() const { return pid_; }

int64_t LinuxProcessInfo::parentPid() const { return ::getppid(); }

std::unique_ptr<ProcessWatch> LinuxProcessInfo::watchParentExit(int64_t parentPid,
                                                                std::function<void()> onExit) {
  return std::make_unique<ParentExitWatch>(static_cast<pid_t>(parentPid), std::move(onExit));
}

OsVersion parseKernelRelease(const std::string& release) {
  OsVersion version{"Linux"};
  std::sscanf(release.c_str(), "%d.%d.%d", &version.major, &version.minor, &version.patch);
  return version;
}

OsVersion LinuxProcessInfo::osVersion() const { return osVersion_; }

std::string LinuxProcessInfo::bundleIdentifier() const {
  return std::string(identity::bundleIdentifier);
}

namespace {

// The locale the C library takes for messages: the first of LC_ALL, LC_MESSAGES and LANG that
// is set to something, an empty one counting as unset (ICU's own default would read it as
// "und"); "C" when none is.
std::string messagesLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value)
      return value;
  }
  return "C";
}

} // namespace

std::string LinuxProcessInfo::currentLocale() const {
  std::string name = messagesLocaleName();
  std::string base = name.substr(0, name.find_first_of(".@"));
  // ICU would take "C" for a language code; like its own default, it is the POSIX locale.
  if (base == "C" || base == "POSIX")
    return languageTag(icu::Locale("en_US_POSIX"));
  // Canonicalising drops the codeset and makes a "@modifier" the variant, as ICU's default does.
  return languageTag(icu::Locale::createCanonical(name.c_str()));
}

std::vector<std::string> LinuxProcessInfo::preferredLanguages() const {
  std::vector<std::string> languages;
  // gettext honours LANGUAGE only when a locale other than C is set; so do we.
  const char* list = std::getenv("LANGUAGE");
  std::string current = currentLocale();
  if (list && current.rfind("en-US-u-va-posix", 0) != 0) {
    std::string entries = list;
    for (size_t start = 0; start <= entries.size();) {
      size_t end = entries.find(':', start);
      if (end == std::string::npos)
        end = entries.size();
      std::string entry = entries.substr(start, end - start);
      if (!entry.empty())
        languages.push_back(languageTag(icu::Locale(entry.c_str())));
      start = end + 1;
    }
  }
  languages.push_back(current);
  return languages;
}

} // namespace quelt
