#pragma once

#include "capture/CaptureSessionState.h"
#include "locales/LocaleSupport.h"
#include "platform/AudioInput.h"
#include "platform/Authorization.h"
#include "platform/HardwareProperties.h"

#include <cstdint>
#include <map>
#include <memory>

namespace quelt {

class OpHost;

// What a dictation uses.
struct CaptureServices {
  RecognitionServices recognition;
  std::shared_ptr<Authorization> authorization;
  std::shared_ptr<HardwareProperties> hardware;
  std::shared_ptr<AudioServices> audio;
  std::shared_ptr<AudioInputService> audioInput;
};

// The running capture sessions by the id the parent chose. Main queue only.
class CaptureRegistry {
public:
  std::map<int64_t, std::shared_ptr<CaptureSessionState>> sessions;

  void remove(int64_t id) { sessions.erase(id); }
};

// "capture.start", "capture.commit", "capture.stop", "capture.cancel", and the shutdown hook
// that cancels every session.
void registerCaptureOps(OpHost& host, CaptureServices services);

} // namespace quelt
