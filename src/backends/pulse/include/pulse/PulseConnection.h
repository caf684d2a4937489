#pragma once

#include "platform/PlatformError.h"

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quelt {

// A libpulse error code as a PlatformError.
PlatformError pulseError(int code);
// The server did not answer within `timeout`.
PlatformError unresponsiveError(std::chrono::milliseconds timeout);

// One client connection to the PulseAudio server, driven by a mainloop thread of its own.
// Connecting never autospawns a server, so a machine without one fails at once. Any thread may
// use it; pa_* calls on its context and on streams created from it happen under a Lock.
// Failures throw PlatformError in the "PulseAudio" domain.
class PulseConnection {
public:
  struct ServerInfo {
    std::string defaultSourceName; // empty when the server has none
    std::string defaultSinkName;
  };

  struct SourceInfo {
    uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    uint32_t monitorOfSink = PA_INVALID_INDEX; // PA_INVALID_INDEX for a source of its own
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    std::map<std::string, std::string> properties; // the string entries of its proplist
  };

  // Hears every state change of the context, under the lock, on whichever thread made it.
  using StateHandler = std::function<void(pa_context* context)>;

  // Holds the mainloop lock for its lifetime. Not recursive; the mainloop's own callbacks
  // already run under it.
  class Lock {
  public:
    explicit Lock(const PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    pa_threaded_mainloop* mainloop_;
  };

  // Connects to the server libpulse would pick (PULSE_SERVER, client.conf, the user's runtime
  // directory), waiting until it is ready. The timeout bounds the connection and every later
  // wait, so a server that stops answering costs each caller at most that long.
  explicit PulseConnection(const std::string& clientName,
                           std::chrono::milliseconds timeout = std::chrono::seconds(3),
                           StateHandler onStateChange = {});
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  ServerInfo serverInfo();
  // In the server's order.
  std::vector<SourceInfo> sources();

  // Under a Lock.
  pa_context* context() const { return context_; }
  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  void setStateHandler(StateHandler onStateChange);

  // Under a Lock: sleeps until done() holds, the context fails or the timeout passes, and
  // returns done(). Callbacks that change what done() looks at call wake().
  bool waitUntil(const std::function<bool()>& done);
  void wake() const;

  // Under a Lock: the context's last error, or, when it has none, that the server did not
  // answer in time.
  PlatformError error() const;
  PlatformError unresponsive() const;

private:
  static void onContextState(pa_context* context, void* userdata);
  void awaitOperation(pa_operation* operation);
  void release();

  std::chrono::milliseconds timeout_;
  StateHandler onStateChange_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
};

} // namespace quelt
