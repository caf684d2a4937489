#include "pulse/PulseLink.h"

#include "platform/ProcessIdentity.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>

#include <utility>

namespace quelt {
namespace {

// After a failed attempt, readers get the empty list at once for this long rather than each
// trying again.
constexpr auto retryPause = std::chrono::milliseconds(500);

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
