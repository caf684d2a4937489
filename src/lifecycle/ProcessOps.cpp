#include "lifecycle/ProcessOps.h"

#include "protocol/Identity.h"
#include "protocol/Server.h"

namespace quelt {

std::string osVersionString(const OsVersion& version) {
  return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
         std::to_string(version.patch);
}

void registerProcessOps(Server& server) {
  server.registerOp("hello", [&server](const Params&, Completion done) {
    const ProcessInfo& process = *server.platform().process;
    OsVersion os = process.osVersion();
    done(Json{{"protocol", protocolVersion},
              {"version", helperVersion},
              {"pid", process.pid()},
              {"os_version", osVersionString(os)},
              {"speech_analyzer", speechAnalyzerAvailable(os)},
              {"bundle_id", process.bundleIdentifier()}});
  });
  server.registerOp("shutdown", [&server](const Params&, Completion done) {
    done(Json::object());
    // Queued behind the reply, so the reply is handed to the writer before the sequence drains it.
    server.post([weak = server.weak_from_this()] {
      if (auto alive = weak.lock())
        alive->shutdown(0);
    });
  });
}

} // namespace quelt
