#pragma once

// The helper as this client runs it: a child on pipes, spoken to in JSON lines.

#include "platform/ChildProcess.h"
#include "protocol/LineFraming.h"
#include "protocol/Vocabulary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace quelt::client {

using Json = nlohmann::json;

// What waiting for the helper's next line brought.
struct Incoming {
  enum class Kind { message, input, interrupted, timedOut, ended };
  Kind kind;
  Json message;     // for `message`
  std::string line; // the line as the helper wrote it, for pass-through output
};

class HelperChild {
public:
  // Starts the helper in a process group of its own, so that a Ctrl-C on the terminal reaches
  // only this client, which then ends the helper's work in order. Throws on failure.
  explicit HelperChild(const std::string& path);
  // Ends a helper that is still running: closes its input (it shuts down at the end of input)
  // and, should it not exit soon, kills it. No helper outlives the client.
  ~HelperChild();

  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;

  // Sends one request and returns its id.
  int64_t send(OpName op, const Json& params = Json::object());
  // Sends a line exactly as given (raw mode). False when the helper no longer reads.
  bool sendLine(const std::string& line);

  // The next message from the helper, waiting at most `timeout` (forever when absent). An
  // interrupting signal (SIGINT, SIGTERM, SIGHUP) ends the wait early.
  Incoming next(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  // Reads until the reply to `id` arrives, handing every other message to `onOther`.
  template <typename OnOther> Incoming reply(int64_t id, OnOther&& onOther) {
    for (;;) {
      Incoming in = next();
      if (in.kind != Incoming::Kind::message)
        return in;
      if (in.message.contains("id") && in.message["id"] == id && !in.message.contains("event"))
        return in;
      onOther(in);
    }
  }

  // Sends "shutdown", waits for the helper to exit and returns true when it exited with 0.
  bool shutdown();

  // Where the helper's stderr lines go (its log: what it could not load or reach). They are
  // printed to this client's stderr until a handler is set.
  void onLog(std::function<void(const std::string&)> handler) { onLog_ = std::move(handler); }
  // Hands on the log lines the helper has written so far, without waiting. The helper writes its
  // log and its replies in one order, so after a reply this has every line written before it.
  void drainLog();

  pid_t pid() const { return child_.pid(); }
  // Makes `next` also report when `fd` is readable (raw mode's standard input); -1 stops it.
  void watchInput(int fd) { inputFd_ = fd; }
  // Keeps the client's own request ids clear of ids someone else chose (raw mode).
  void noteForeignId(int64_t id) { nextId_ = std::max(nextId_, id); }

  // Installs the handlers that turn SIGINT, SIGTERM and SIGHUP into interruptions of `next`.
  static void catchInterrupts();

private:
  // The helper's wait status once it has exited; nothing after `timeout`.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Logs the lines of what is there of the helper's stderr; `toEnd`: and an unfinished last one.
  void readLog(bool toEnd = false);
  void log(const std::string& line);

  ChildProcess child_;
  LineReader lines_;
  LineReader logLines_;
  std::function<void(const std::string&)> onLog_;
  int inputFd_ = -1;
  bool ended_ = false;
  int64_t nextId_ = 0;
};

} // namespace quelt::client
