#include "pulse/PulseConnection.h"

#include "platform/ProcessIdentity.h"

#include <cstdlib>
#include <utility>

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>

namespace quelt {
namespace {

// After a failed attempt, readers get the empty list at once for this long rather than each
// trying again.
constexpr auto retryPause = std::chrono::milliseconds(500);

PlatformError pulseError(int code) { return PlatformError("PulseAudio", code, pa_strerror(code)); }

// libpulse's own text for a timeout ("Timeout") does not say who kept whom waiting.
PlatformError unresponsiveError(std::chrono::milliseconds timeout) {
  auto ms = timeout.count();
  std::string span = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return PlatformError("PulseAudio", PA_ERR_TIMEOUT,
                       "the sound server (PulseAudio) did not respond within " + span);
}

struct Deadline {
  const PulseConnection* connection;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto* deadline = static_cast<Deadline*>(userdata);
  deadline->passed = true;
  deadline->connection->wake();
}

void onOperationState(pa_operation*, void* userdata) {
  static_cast<const PulseConnection*>(userdata)->wake();
}

std::string text(const char* value) { return value ? value : ""; }

struct ServerInfoReply {
  PulseConnection::ServerInfo info;
  bool received = false;
};

void onServerInfo(pa_context*, const pa_server_info* server, void* userdata) {
  auto* reply = static_cast<ServerInfoReply*>(userdata);
  // Exceptions must not unwind through libpulse; an unfinished reply reads as a failure.
  try {
    if (!server)
      return;
    reply->info.defaultSourceName = text(server->default_source_name);
    reply->info.defaultSinkName = text(server->default_sink_name);
    reply->received = true;
  } catch (...) {
  }
}

struct SourceListReply {
  std::vector<PulseConnection::SourceInfo> sources;
  bool complete = false;
  bool failed = false;
};

PulseConnection::SourceInfo describe(const pa_source_info& source) {
  PulseConnection::SourceInfo info;
  info.index = source.index;
  info.name = text(source.name);
  info.description = text(source.description);
  info.monitorOfSink = source.monitor_of_sink;
  info.sampleRate = source.sample_spec.rate;
  info.channels = source.sample_spec.channels;
  if (source.proplist) {
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(source.proplist, &state)) {
      if (const char* value = pa_proplist_gets(source.proplist, key))
        info.properties.emplace(key, value);
    }
  }
  return info;
}

void onSource(pa_context*, const pa_source_info* source, int eol, void* userdata) {
  auto* reply = static_cast<SourceListReply*>(userdata);
  if (eol < 0)
    reply->failed = true;
  else if (eol > 0)
    reply->complete = true;
  else if (source) {
    try {
      reply->sources.push_back(describe(*source));
    } catch (...) {
      reply->failed = true;
    }
  }
}

} // namespace

PulseConnection::Lock::Lock(const PulseConnection& connection) : mainloop_(connection.mainloop_) {
  pa_threaded_mainloop_lock(mainloop_);
}

PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(mainloop_); }

PulseConnection::PulseConnection(const std::string& clientName, std::chrono::milliseconds timeout,
                                 StateHandler onStateChange)
    : timeout_(timeout), onStateChange_(std::move(onStateChange)) {
  mainloop_ = pa_threaded_mainloop_new();
  if (!mainloop_)
    throw pulseError(PA_ERR_INTERNAL);
  context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName.c_str());
  if (!context_) {
    release();
    throw pulseError(PA_ERR_INTERNAL);
  }
  pa_context_set_state_callback(context_, &onContextState, this);
  if (pa_threaded_mainloop_start(mainloop_) < 0) {
    release();
    throw pulseError(PA_ERR_INTERNAL);
  }
  try {
    Lock lock(*this);
    // Without a server, autospawning would start one as a side effect of merely looking.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      throw error();
    if (!waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; }))
      throw error();
  } catch (...) {
    release();
    throw;
  }
}

PulseConnection::~PulseConnection() { release(); }

void PulseConnection::release() {
  if (context_) {
    Lock lock(*this);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  if (mainloop_) {
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
  }
}

void PulseConnection::onContextState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseConnection*>(userdata);
  self->wake();
  if (!self->onStateChange_)
    return;
  // Exceptions must not unwind through libpulse.
  try {
    self->onStateChange_(context);
  } catch (...) {
  }
}

void PulseConnection::setStateHandler(StateHandler onStateChange) {
  onStateChange_ = std::move(onStateChange);
}

void PulseConnection::wake() const { pa_threaded_mainloop_signal(mainloop_, 0); }

bool PulseConnection::waitUntil(const std::function<bool()>& done) {
  Deadline deadline{this};
  auto span = std::chrono::duration_cast<std::chrono::microseconds>(timeout_).count();
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + span, &onDeadline, &deadline);
  while (!done() && !deadline.passed && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
    pa_threaded_mainloop_wait(mainloop_);
  if (timer)
    pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return done();
}

PlatformError PulseConnection::error() const {
  int code = pa_context_errno(context_);
  return code == PA_OK || code == PA_ERR_TIMEOUT ? unresponsive() : pulseError(code);
}

PlatformError PulseConnection::unresponsive() const { return unresponsiveError(timeout_); }

void PulseConnection::awaitOperation(pa_operation* operation) {
  if (!operation)
    throw error();
  pa_operation_set_state_callback(operation, &onOperationState, this);
  bool finished =
      waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  // A cancelled operation never calls back into the reply it was given, which is about to go.
  if (!finished)
    pa_operation_cancel(operation);
  pa_operation_set_state_callback(operation, nullptr, nullptr);
  pa_operation_unref(operation);
  // The context's error may be left over from an earlier failure while it is still good.
  if (!finished)
    throw PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ? unresponsive() : error();
}

PulseConnection::ServerInfo PulseConnection::serverInfo() {
  Lock lock(*this);
  ServerInfoReply reply;
  awaitOperation(pa_context_get_server_info(context_, &onServerInfo, &reply));
  if (!reply.received)
    throw error();
  return reply.info;
}

std::vector<PulseConnection::SourceInfo> PulseConnection::sources() {
  Lock lock(*this);
  SourceListReply reply;
  awaitOperation(pa_context_get_source_info_list(context_, &onSource, &reply));
  if (!reply.complete || reply.failed)
    throw error();
  return std::move(reply.sources);
}

namespace {
std::mutex logMutex;
std::function<void(const std::string&)> linkLog;
} // namespace

void PulseLink::noteOutage(const PlatformError& error) {
  if (std::exchange(outageLogged_, true))
    return;
  const char* server = std::getenv("PULSE_SERVER");
  std::string line = "no sound server reachable: " + error.description() +
                     (server && *server ? " (PULSE_SERVER=" + std::string(server) + ")" : "");
  std::lock_guard logLock(logMutex);
  if (linkLog)
    linkLog(line);
}

void PulseLink::setLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(logMutex);
  linkLog = std::move(log);
}

std::shared_ptr<PulseLink> PulseLink::shared() {
  static auto* link = new std::shared_ptr<PulseLink>(std::make_shared<PulseLink>());
  return *link;
}

PulseLink::PulseLink(std::chrono::milliseconds timeout, std::chrono::milliseconds firstListingWait)
    : timeout_(timeout), firstListingWait_(firstListingWait),
      devices_(std::make_shared<const Devices>()), watch_([this] { run(); }) {}

PulseLink::~PulseLink() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  watch_.join();
  if (connection_)
    detach(*connection_);
}

bool PulseLink::live() const { return connection_ && lostGeneration_ != generation_; }

void PulseLink::requestConnection() {
  if (live() || attemptUnderWay() || Clock::now() < nextAttempt_)
    return;
  connectWanted_ = true;
  listed_ = false;
  gaveUpWaiting_ = false;
  changed_.notify_all();
}

PulseLink::DevicesPtr PulseLink::devices() {
  std::unique_lock lock(mutex_);
  requestConnection();
  if (listingFailed_ && live()) {
    // This reader gets the list as it was; the next one what the server says now.
    listingFailed_ = false;
    listingWanted_ = true;
    changed_.notify_all();
  }
  // A healthy server lists within milliseconds of connecting. One that does not gets a single
  // bounded wait per attempt, so a frozen server does not hold up every reader.
  if (!listed_ && !gaveUpWaiting_ &&
      !changed_.wait_for(lock, firstListingWait_, [this] { return listed_ || stopping_; }))
    gaveUpWaiting_ = true;
  return devices_;
}

std::shared_ptr<PulseConnection> PulseLink::connection() {
  std::unique_lock lock(mutex_);
  requestConnection();
  // The watch gives up on an attempt after the timeout; the margin covers its scheduling.
  changed_.wait_for(lock, timeout_ + std::chrono::seconds(1),
                    [this] { return live() || !attemptUnderWay() || stopping_; });
  if (live())
    return connection_;
  if (failure_)
    throw *failure_;
  throw unresponsiveError(timeout_);
}

void PulseLink::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stopping_ || connectWanted_ || (connection_ && !live()) || (listingWanted_ && live());
    });
    if (stopping_)
      return;
    if (connection_ && !live()) {
      // The server went away. Streams on the old connection may keep it a while longer.
      auto dead = std::move(connection_);
      lock.unlock();
      detach(*dead);
      dead.reset();
      lock.lock();
    } else if (connectWanted_) {
      connectWanted_ = false;
      connecting_ = true;
      lock.unlock();
      connect();
      lock.lock();
    } else {
      listingWanted_ = false;
      lock.unlock();
      list();
      lock.lock();
    }
  }
}

void PulseLink::connect() {
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = ++generation_;
  }
  std::shared_ptr<PulseConnection> connection;
  std::optional<PlatformError> failure;
  try {
    connection = std::make_shared<PulseConnection>(
        std::string(identity::bundleName), timeout_, [this, generation](pa_context* context) {
          if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            int code = pa_context_errno(context);
            lost(generation, pulseError(code == PA_OK ? PA_ERR_CONNECTIONTERMINATED : code));
          }
        });
    // Subscribed before the first list, so that no change falls between the two.
    PulseConnection::Lock guard(*connection);
    pa_context_set_subscribe_callback(connection->context(), &PulseLink::onSubscription, this);
    auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                    PA_SUBSCRIPTION_MASK_SERVER);
    if (pa_operation* operation =
            pa_context_subscribe(connection->context(), mask, nullptr, nullptr))
      pa_operation_unref(operation);
  } catch (const PlatformError& error) {
    failure = error;
  } catch (const std::exception& error) {
    failure = PlatformError("PulseAudio", PA_ERR_INTERNAL, error.what());
  }

  std::unique_lock lock(mutex_);
  connecting_ = false;
  if (failure) {
    noteOutage(*failure);
    failure_ = std::move(failure);
    devices_ = std::make_shared<const Devices>();
    listed_ = true;
    nextAttempt_ = Clock::now() + retryPause;
  } else {
    outageLogged_ = false;
    connection_ = std::move(connection);
    listingWanted_ = true;
    listingFailed_ = false;
  }
  changed_.notify_all();
}

void PulseLink::list() {
  std::shared_ptr<PulseConnection> connection;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    connection = connection_;
    generation = generation_;
  }
  std::optional<Devices> fresh;
  try {
    Devices devices;
    devices.defaultSourceName = connection->serverInfo().defaultSourceName;
    devices.sources = connection->sources();
    fresh = std::move(devices);
  } catch (...) {
    // Not answered in time, or the server went away; what follows depends on which.
  }
  std::lock_guard lock(mutex_);
  if (generation != generation_)
    return;
  if (fresh)
    devices_ = std::make_shared<const Devices>(std::move(*fresh));
  else if (live())
    listingFailed_ = true;
  listed_ = true;
  changed_.notify_all();
}

void PulseLink::detach(PulseConnection& connection) {
  PulseConnection::Lock lock(connection);
  connection.setStateHandler({});
  pa_context_set_subscribe_callback(connection.context(), nullptr, nullptr);
}

void PulseLink::lost(uint64_t generation, PlatformError error) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_)
      return;
    lostGeneration_ = generation;
    // Before the list empties: whoever reads the empty list can already read why.
    noteOutage(error);
    failure_ = std::move(error);
    // A server that went away has nothing to record from.
    devices_ = std::make_shared<const Devices>();
    listed_ = true;
  }
  changed_.notify_all();
}

void PulseLink::onSubscription(pa_context*, pa_subscription_event_type_t event, uint32_t,
                               void* userdata) {
  auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility != PA_SUBSCRIPTION_EVENT_SOURCE && facility != PA_SUBSCRIPTION_EVENT_SERVER)
    return;
  auto* link = static_cast<PulseLink*>(userdata);
  {
    std::lock_guard lock(link->mutex_);
    link->listingWanted_ = true;
  }
  link->changed_.notify_all();
}

} // namespace quelt
