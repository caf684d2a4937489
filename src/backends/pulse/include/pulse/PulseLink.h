#pragma once

#include "pulse/PulseConnection.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quelt {

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
