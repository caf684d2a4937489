#pragma once

#include "protocol/Clock.h"
#include "protocol/HelperError.h"
#include "protocol/Json.h"
#include "protocol/MainQueue.h"
#include "protocol/Params.h"
#include "quelt/wire/Vocabulary.h"

#include <concepts>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace quelt {

// What a handler hands to its completion: a result object, or the error of a failed op.
using OpResult = std::variant<Json, HelperError>;
// The answer to one request, callable from any thread. Copies share it: the first answer goes
// out, and answering again is a programming error, reported to `onSecondAnswer` (by default
// thrown as std::logic_error) and never sent.
class Reply {
public:
  using Send = std::function<void(OpResult)>;

  Reply() = default;
  Reply(Send send, std::function<void()> onSecondAnswer);
  // Any callable that takes the answer.
  template <typename F>
  requires(std::invocable<F&, OpResult> && !std::same_as<std::decay_t<F>, Reply>) Reply(F send)
      : Reply(Send(std::move(send)), nullptr) {}

  void operator()(OpResult result) const;
  // For a request that several outcomes race to end: answers unless one already has.
  bool answerIfFirst(OpResult result) const;
  bool answered() const;

private:
  struct State;
  std::shared_ptr<State> state_;
};

using Handler = std::function<void(const Params& params, Reply done)>;

// All an op module gets from the helper around it: its ops and shutdown hooks to register, the
// main queue, tasks, outgoing events and log lines, and the clock. Platform services come to
// each module on their own, only those it uses.
class OpHost : public std::enable_shared_from_this<OpHost> {
public:
  virtual ~OpHost() = default;

  // A later registration under the same name replaces the earlier one. Before the helper runs.
  virtual void registerOp(OpName op, Handler handler) = 0;
  // Appends a hook for the shutdown sequence; hooks run in the order they were added.
  virtual void onShutdown(std::function<void()> hook) = 0;

  // Callable from any thread.
  virtual void event(EventName name, Json payload) = 0;
  void event(EventName name) { event(name, Json::object()); }
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
  virtual void completeOnMain(Reply done, OpResult result) = 0;

  // On the main queue.
  virtual void shutdown(int exitCode) = 0;
  virtual bool shuttingDown() const = 0;
  // Shared, for threads that may outlive the ops that started them.
  virtual std::shared_ptr<Clock> clock() = 0;
};

} // namespace quelt
