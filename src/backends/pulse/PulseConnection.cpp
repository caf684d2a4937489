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

PlatformError pulseError(int code) { return PlatformError("PulseAudio", code, pa_strerror(code)); }

// libpulse's own text for a timeout ("Timeout") does not say who kept whom waiting.
PlatformError unresponsiveError(std::chrono::milliseconds timeout) {
  auto ms = timeout.count();
  std::string span = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return PlatformError("PulseAudio", PA_ERR_TIMEOUT,
                       "the sound server (PulseAudio) did not respond within " + span);
}

namespace {

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

} // namespace quelt
