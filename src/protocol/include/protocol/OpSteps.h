#pragma once

#include "protocol/OpHost.h"

#include <coroutine>
#include <functional>
#include <memory>
#include <utility>

namespace quelt {

// An op whose steps run on different threads (a wait on the task pool, then the main queue, then
// the pool again), written as one coroutine:
//
//   OpSteps start(std::shared_ptr<OpHost> host, ...) {
//     co_await onTask(*host);   // from here on the task pool
//     co_await onMain(*host);   // and from here on the main queue
//   }
//
// Nobody awaits it: it runs from its call to its end. Take parameters by value, since a
// reference would outlive its object at the first step. The body answers its own failures: what
// escapes it has nobody left to tell.
struct OpSteps {
  struct promise_type {
    OpSteps get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept {}
  };
};

// Continues the coroutine through one of the host's queues. A queue that is destroyed with the
// step still in it (the helper ending) destroys the coroutine with it, as it would a callback and
// what the callback held.
class OpStep {
public:
  using Schedule = void (OpHost::*)(std::function<void()>);

  OpStep(OpHost& host, Schedule schedule) : host_(host), schedule_(schedule) {}

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> coroutine) {
    auto pending = std::make_shared<Pending>(coroutine);
    try {
      (host_.*schedule_)([pending] { pending->resume(); });
    } catch (...) {
      // Not scheduled: the exception goes on in the coroutine, which must stay alive for it.
      pending->coroutine = nullptr;
      throw;
    }
  }
  void await_resume() const noexcept {}

private:
  struct Pending {
    explicit Pending(std::coroutine_handle<> c) : coroutine(c) {}
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() {
      if (coroutine)
        coroutine.destroy();
    }
    void resume() { std::exchange(coroutine, nullptr).resume(); }
    std::coroutine_handle<> coroutine;
  };

  OpHost& host_;
  Schedule schedule_;
};

inline OpStep onMain(OpHost& host) { return {host, &OpHost::post}; }
inline OpStep onTask(OpHost& host) { return {host, &OpHost::runTask}; }
// For a step that may block without end: on a thread of its own.
inline OpStep onBlockingTask(OpHost& host) { return {host, &OpHost::runBlockingTask}; }

} // namespace quelt
