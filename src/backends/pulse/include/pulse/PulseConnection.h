#pragma once

#include "platform/PlatformError.h"

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quelt {

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

// The process's standing connection to the sound server, shared by the device list and every
// microphone input, so that the server sees one client however many captures run.
//
// A watch thread of its own connects, lists the sources as soon as the connection is up, and
// lists them again whenever the server reports a source or its default changed; callers read
// the latest list and never wait on the server for it. A server that stops answering leaves the
// last list in place; one that goes away leaves an empty list, and the next reader has the watch
// connect again.
class PulseLink {
public:
  struct Devices {
    std::string defaultSourceName;
    std::vector<PulseConnection::SourceInfo> sources; // in the server's order
  };
  using DevicesPtr = std::shared_ptr<const Devices>;

  // The one every service of this process shares. Never destroyed: its watch may be waiting on
  // a server when the process ends.
  static std::shared_ptr<PulseLink> shared();
  // Where a link says, once per outage, that no server could be reached and why.
  static void setLog(std::function<void(const std::string&)> log);

  // `timeout` bounds each step the watch takes on the server and each wait for a connection;
  // `firstListingWait` how long a reader waits for the first list of a new connection.
  explicit PulseLink(std::chrono::milliseconds timeout = std::chrono::seconds(3),
                     std::chrono::milliseconds firstListingWait = std::chrono::seconds(1));
  ~PulseLink();
  PulseLink(const PulseLink&) = delete;
  PulseLink& operator=(const PulseLink&) = delete;

  // The latest list, at once while connected. Otherwise has the watch connect and waits for its
  // first list, at most `firstListingWait` and once per attempt; an empty list without a server.
  DevicesPtr devices();

  // The ready connection, having the watch connect when there is none; waits up to about the
  // timeout, so it is for callers off the main queue. Throws PlatformError.
  std::shared_ptr<PulseConnection> connection();

private:
  using Clock = std::chrono::steady_clock;

  // Under mutex_.
  bool live() const;
  void requestConnection();
  bool attemptUnderWay() const { return connectWanted_ || connecting_; }

  // On the watch thread.
  void run();
  void connect();
  void list();
  // Takes back what the connection's callbacks know of this link. Without mutex_ held.
  void detach(PulseConnection& connection);

  // Says once per outage that the server cannot be reached. Under mutex_.
  void noteOutage(const PlatformError& error);

  // On a mainloop thread, under its lock.
  void lost(uint64_t generation, PlatformError error);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t event,
                             uint32_t index, void* userdata);

  const std::chrono::milliseconds timeout_;
  const std::chrono::milliseconds firstListingWait_;

  // Lock order: a connection's mainloop lock before mutex_, never the other way round.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<PulseConnection> connection_; // set once connected
  uint64_t generation_ = 0;                     // of the latest attempt
  uint64_t lostGeneration_ = 0;                 // the latest one whose connection failed
  bool connectWanted_ = false;
  bool connecting_ = false;
  bool listingWanted_ = false;
  bool listed_ = true;         // the latest attempt has its first list, or has failed
  bool gaveUpWaiting_ = false; // a reader stopped waiting for that first list
  bool listingFailed_ = false; // the latest list is older than the server's word
  std::optional<PlatformError> failure_;
  Clock::time_point nextAttempt_{};
  DevicesPtr devices_;
  bool stopping_ = false;
  bool outageLogged_ = false; // since the last connection that came up

  std::thread watch_; // last, so that it starts with the rest in place
};

} // namespace quelt
