#pragma once

// The helper as a parent drives it: requests out, replies and events back with their arrival
// times.

#include "ProcessFigures.h"
#include "platform/ChildProcess.h"
#include "protocol/Json.h"
#include "protocol/LineFraming.h"

#include <functional>
#include <optional>

namespace quelt::bench {

struct Message {
  Json json;
  Clock::time_point at; // when it was read
};

class HelperSession {
public:
  // `environment` entries ("NAME=value") are added to this process's environment.
  explicit HelperSession(const std::string& helperPath,
                         const std::vector<std::string>& environment = {});

  ChildProcess& process() { return process_; }
  Clock::time_point startedAt() const { return startedAt_; }

  void sendLine(const std::string& line); // the line feed is added
  std::optional<std::string> nextLine(Clock::duration timeout);

  // Sends one request and returns its id, with the moment it was written in `sentAt`.
  int64_t send(const std::string& op, const Json& params = Json::object(),
               Clock::time_point* sentAt = nullptr);
  Message next(Clock::duration timeout);
  // Reads until a message satisfies `wanted`, keeping the ones before it in `passed`.
  Message waitFor(const std::function<bool(const Json&)>& wanted, Clock::duration timeout,
                  std::vector<Message>* passed = nullptr);
  // Waits for the reply to `id`; throws when it is a failure.
  Message reply(int64_t id, Clock::duration timeout, std::vector<Message>* passed = nullptr);
  // "shutdown", then the exit.
  void shutdown();
  // Closes its input and waits for the exit, killing it after `timeout`.
  void waitExit(Clock::duration timeout);

private:
  Clock::time_point startedAt_;
  ChildProcess process_;
  LineReader lines_;
  int64_t nextId_ = 1;
};

// One dictation: "capture.start" with `params` to "capture.stopped", everything in between.
struct Capture {
  double seconds = 0; // request written to "capture.stopped" read
  std::string text;   // the final texts, in order
  std::vector<Message> messages;
  Clock::time_point sentAt;
  Clock::time_point stoppedAt;
};
Capture runCapture(HelperSession& helper, Json params, Clock::duration timeout);

} // namespace quelt::bench
