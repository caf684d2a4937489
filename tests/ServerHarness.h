#pragma once

#include "Pipe.h"
#include "fakes/FakePlatform.h"
#include "fakes/VirtualClock.h"
#include "protocol/LineFraming.h"
#include "protocol/Server.h"

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace quelt::testing {

using namespace std::chrono_literals;

// A real Server driven through pipes, on fake platform services, with its main queue on a
// thread of its own. Lines go in with send(); replies, events and log lines come back out.
class ServerHarness {
public:
  // Registers the helper's ops unless told to leave the registry to the test.
  enum class Ops { helper, none };

  explicit ServerHarness(Ops ops = Ops::helper);
  ~ServerHarness();

  Server& server() { return *server_; }
  fakes::FakePlatform& fakes() { return fakes_; }
  fakes::FakeProcessInfo& process() { return *fakes_.process; }
  fakes::VirtualClock& clock() { return *clock_; }

  // Starts the main queue. Register test ops and hooks before this.
  void start();
  void send(std::string_view line) { write(std::string(line) + "\n"); }
  void write(std::string_view bytes);
  void closeInput();

  // The next standard-output line, parsed; nothing if none came in time.
  std::optional<Json> next(std::chrono::milliseconds timeout = 10s);
  std::optional<std::string> nextRaw(std::chrono::milliseconds timeout = 10s);
  std::optional<std::string> nextLogLine(std::chrono::milliseconds timeout = 10s);
  // Sends a request and returns the next output line.
  Json request(std::string_view line);
  // Reads lines until the reply to `id`, passing over events.
  Json replyTo(int64_t id);

  // Runs `block` on the main queue and waits for it.
  void onMain(std::function<void()> block);
  // The exit code, once the shutdown sequence has ended the (simulated) process.
  std::optional<int> exitCode(std::chrono::milliseconds timeout = 10s);

private:
  fakes::FakePlatform fakes_;
  std::shared_ptr<fakes::VirtualClock> clock_;
  std::shared_ptr<Server> server_;
  Pipe input_;
  Pipe output_;
  Pipe error_;
  LineReader outputLines_;
  LineReader errorLines_;
  std::promise<int> exited_;
  std::shared_future<int> exitCode_;
  std::thread mainThread_;
};

} // namespace quelt::testing
