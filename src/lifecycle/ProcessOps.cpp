#include "lifecycle/ProcessOps.h"

#include "protocol/Identity.h"
#include "protocol/OpHost.h"

namespace quelt {

std::string osVersionString(const OsVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.patch);
}

void registerProcessOps(OpHost& host, std::shared_ptr<ProcessInfo> process) {
  host.registerOp(ops::hello, [process](const Params&, Reply done) {
    OsVersion os = process->osVersion();
    done(Json{{"protocol", protocolVersion},
              {"version", helperVersion},
              {"pid", process->pid()},
              {"os_version", osVersionString(os)},
              {"speech_analyzer", speechAnalyzerAvailable(os)},
              {"bundle_id", process->bundleIdentifier()}});
  });
  host.registerOp(ops::shutdown, [&host](const Params&, Reply done) {
    done(Json::object());
    // Queued behind the reply, so the reply is handed to the writer before the sequence drains it.
    host.post([weak = host.weak_from_this()] {
      if (auto alive = weak.lock())
        alive->shutdown(0);
    });
  });
}

std::shared_ptr<void> watchParent(ProcessInfo& process, std::function<void()> gone) {
  int64_t parent = process.parentPid();
  if (parent < 2) {
    gone();
    return nullptr;
  }
  return process.watchParentExit(parent, std::move(gone));
}

} // namespace quelt
