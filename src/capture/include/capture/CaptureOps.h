#pragma once

#include "capture/CaptureSessionState.h"

#include <cstdint>
#include <map>
#include <memory>

namespace quelt {

class Server;

// The running capture sessions by the id the parent chose. Main queue only.
class CaptureRegistry {
public:
  std::map<int64_t, std::shared_ptr<CaptureSessionState>> sessions;

  void remove(int64_t id) { sessions.erase(id); }
};

// "capture.start", "capture.commit", "capture.stop", "capture.cancel", and the shutdown hook
// that cancels every session.
void registerCaptureOps(Server& server);

} // namespace quelt
