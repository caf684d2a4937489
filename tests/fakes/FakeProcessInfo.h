#pragma once

#include "fakes/Locked.h"
#include "platform/ProcessInfo.h"

#include <mutex>

namespace quelt::fakes {

// A process with a chosen pid, parent and system; the test ends the parent with killParent().
class FakeProcessInfo : public ProcessInfo {
public:
  int64_t pidValue = 4242;
  int64_t parentPidValue = 100;
  OsVersion os{"Linux", 6, 1, 0};
  std::string bundleId = "app.quelt.voice-helper";
  std::string locale = "en-US";
  std::vector<std::string> languages = {"en-US"};

  int64_t pid() const override { return pidValue; }
  int64_t parentPid() const override { return parentPidValue; }
  OsVersion osVersion() const override { return os; }
  std::string bundleIdentifier() const override { return bundleId; }
  std::string currentLocale() const override { return locale; }
  std::vector<std::string> preferredLanguages() const override { return languages; }

  std::unique_ptr<ProcessWatch> watchParentExit(int64_t, std::function<void()> onExit) override {
    std::lock_guard lock(mutex_);
    onParentExit_ = std::move(onExit);
    return std::make_unique<Watch>(this);
  }

  // Calls the watch's callback from the calling thread, as the real watch does from its own.
  void killParent() {
    if (auto onExit = lockedCopy(mutex_, onParentExit_))
      onExit();
  }

private:
  struct Watch : ProcessWatch {
    explicit Watch(FakeProcessInfo* owner) : owner(owner) {}
    ~Watch() override {
      std::lock_guard lock(owner->mutex_);
      owner->onParentExit_ = nullptr;
    }
    FakeProcessInfo* owner;
  };

  std::mutex mutex_;
  std::function<void()> onParentExit_;
};

} // namespace quelt::fakes
