#pragma once

#include "protocol/Clock.h"
#include "protocol/HelperError.h"
#include "protocol/Json.h"
#include "protocol/MainQueue.h"
#include "protocol/Params.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace quelt {

// What a handler hands to its completion: a result object, or the error of a failed op.
using OpResult = std::variant<Json, HelperError>;
// Callable from any thread, any number of times: every call queues one reply on the main queue.
using Completion = std::function<void(OpResult)>;
using Handler = std::function<void(const Params& params, Completion done)>;

// All an op module gets from the helper around it: its ops and shutdown hooks to register, the
// main queue, tasks, outgoing events and log lines, and the clock. Platform services come to
// each module on their own, only those it uses.
class OpHost : public std::enable_shared_from_this<OpHost> {
public:
  virtual ~OpHost() = default;

  // A later registration under the same name replaces the earlier one. Before the helper runs.
  virtual void registerOp(std::string op, Handler handler) = 0;
  // Appends a hook for the shutdown sequence; hooks run in the order they were added.
  virtual void onShutdown(std::function<void()> hook) = 0;

  // Callable from any thread.
  virtual void event(std::string_view name, Json payload) = 0;
  void event(std::string_view name) { event(name, Json::object()); }
  virtual void log(std::string_view text) = 0;
  virtual void post(std::function<void()> block) = 0;
  // A poster that stays usable for as long as the main queue exists.
  virtual PostToMain poster() = 0;
  // Runs `work` on the task executor, a small pool for steps that wait on the platform.
  virtual void runTask(std::function<void()> work) = 0;
  // Runs `work` that may block without end (opening a named pipe waits for its writer) on a
  // thread of its own, so it never holds one of the pool's.
  virtual void runBlockingTask(std::function<void()> work) = 0;
  // Hands `result` to `done` from the main queue.
  virtual void completeOnMain(Completion done, OpResult result) = 0;

  // On the main queue.
  virtual void shutdown(int exitCode) = 0;
  virtual bool shuttingDown() const = 0;
  virtual Clock& clock() = 0;
};

} // namespace quelt
