#pragma once

#include "RequestLedger.h"
#include "fakes/FakePlatform.h"
#include "fakes/VirtualClock.h"
#include "protocol/Server.h"

#include <asio/io_context.hpp>

#include <deque>
#include <set>

namespace quelt::fuzz {

// The main queue, with a way to drop the blocks still waiting once the server has ended, as the
// end of the process would.
class MainQueue : public asio::io_context {
public:
  MainQueue() : asio::io_context(1) {}
  using asio::io_context::shutdown;
};

// Tasks wait here until the input lets one run.
class Tasks {
public:
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  std::function<void()> take() {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
      return nullptr;
    auto task = std::move(queue_.front());
    queue_.pop_front();
    return task;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }

private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

// A real Server with every op, on the fake platform services, driven by lines. Most reach the
// server as lines from standard input would; a line that starts with "!" is something else
// happening instead: a task getting to run, the platform answering, time passing, the parent
// going away (the table in `act`). Tasks run only when the input says so, one at a time, so an
// input replays the same interleaving on every run.
//
// finish() lets everything finish (tasks, renders, the finalisation timer), shuts the server
// down and checks what a parent relies on (RequestLedger), and that every recognition the
// helper started was given its end of audio or cancelled, so none is left holding an engine.
class RequestRig {
public:
  RequestRig();
  ~RequestRig();

  void line(std::string text);
  void finish();
  // The output lines written since the last call, once the writer has written all it was given.
  std::vector<std::string> takeOutput();

private:
  void discardPending();
  void serveMain();
  bool runTask();
  void settle();
  void act(std::string_view command);
  void recognize(char what, size_t index, const std::string& text);
  void speak(std::string_view command);
  void render(std::string_view command);
  void checkRecognitionsEnded();
  void note(char what);

  fakes::FakePlatform fakes_;
  std::set<size_t> concluded_;
  std::vector<fakes::FakeHardware::Device> spareDevices_;
  std::shared_ptr<MainQueue> main_ = std::make_shared<MainQueue>();
  std::shared_ptr<fakes::VirtualClock> clock_;
  Tasks tasks_;
  int output_ = -1;
  size_t taken_ = 0;
  // What "!?" said about the platform side, after the output lines written before it.
  std::vector<std::string> notes_;
  size_t requestsNoted_ = 0;
  size_t utterancesNoted_ = 0;
  int errors_ = -1;
  std::atomic<bool> exited_ = false;
  std::shared_ptr<Server> server_;
  RequestLedger ledger_;
};

} // namespace quelt::fuzz
