#pragma once

// The helper as a child process of this program, spoken to in JSON lines: requests numbered
// here, replies matched to them by id, events handed out in the order they came. One thread
// owns a Helper.

#include "quelt/client/Error.h"
#include "quelt/wire/Vocabulary.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace quelt::client {

using Json = nlohmann::json;

// The protocol this library speaks; a helper must report the same in "hello".
inline constexpr int64_t protocolVersion = quelt::protocolVersion;

// The helper to run: `path` when given, else $QUELT_VOICE_HELPER, else the quelt-voice-helper
// next to the running program (where an install puts both), else the one on PATH.
std::string locateHelper(const std::optional<std::string>& path = std::nullopt);

// Whether `message` is the reply to request `id`; an event never is, whatever ids it carries.
bool isReplyTo(const Json& message, int64_t id);

// What waiting for the helper brought.
struct Incoming {
  enum class Kind { message, input, interrupted, timedOut, ended };
  Kind kind;
  Json message;     // for `message`: a reply or an event
  std::string line; // the line as the helper wrote it, for pass-through output
};

class Helper {
public:
  // Starts the helper (see locateHelper) in a process group of its own, so that a Ctrl-C on a
  // terminal reaches only this program, which then ends the helper's work in order. Then greets
  // it: "hello" goes out as request 0, and its reply must report protocolVersion. Throws
  // Failure when the helper cannot be started, VersionMismatch when it speaks another protocol,
  // HelperEnded when it exits before it answers; a helper that failed so is not left running.
  explicit Helper(const std::optional<std::string>& path = std::nullopt);
  // Ends a helper that is still running: closes its input (it shuts down at the end of input)
  // and kills it should it not exit within 5 s. No helper outlives its Helper.
  ~Helper();

  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The result of the greeting's "hello": "protocol", "version", "pid", "os_version", ...
  const Json& greeting() const;

  // Sends a request and waits for its reply: its result, or RequestFailed with the helper's
  // error. Every other message that comes meanwhile is kept for `next`. Throws HelperEnded, and
  // Interrupted (see catchInterrupts).
  Json call(OpName op, const Json& params = Json::object());

  // Sends one request and returns its id; ids rise from 1.
  int64_t send(OpName op, const Json& params = Json::object());
  // Sends a line exactly as given. False when the helper no longer reads.
  bool sendLine(const std::string& line);

  // The next message from the helper, waiting at most `timeout` (forever when absent).
  Incoming next(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  // Reads until the reply to `id` arrives, handing every other message to `onOther`.
  template <typename OnOther> Incoming reply(int64_t id, OnOther&& onOther) {
    for (;;) {
      Incoming in = next();
      if (in.kind != Incoming::Kind::message || isReplyTo(in.message, id))
        return in;
      onOther(in);
    }
  }

  // Sends "shutdown", waits for the reply and for the helper to exit, killing it when it has
  // not within 10 s. True when it exited with status 0.
  bool shutdown();
  // Closes the helper's input: it shuts down at the end of its input.
  void closeInput();
  // The helper's wait status once it has exited; nothing after `timeout`.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);

  // Where the helper's stderr lines go (its log: what it could not load or reach). They are
  // printed to this program's stderr until a handler is set; what the helper logs while it is
  // greeted waits for that handler.
  void onLog(std::function<void(const std::string&)> handler);
  // Hands on the log lines the helper has written so far, without waiting. The helper writes its
  // log and its replies in one order, so after a reply this has every line written before it.
  void drainLog();

  pid_t pid() const;
  // Makes `next` also report when `fd` is readable (a program's standard input); -1 stops it.
  void watchInput(int fd);
  // Keeps this client's request ids clear of ids someone else chose (lines sent as they are).
  void noteForeignId(int64_t id);

  // Installs handlers that turn SIGINT, SIGTERM and SIGHUP into interruptions of `next`, and
  // ignores SIGPIPE: for programs on a terminal. They are process-wide; without them a Helper
  // changes no signal's handling.
  static void catchInterrupts();

private:
  struct State;

  void greet();
  // Closes the input, waits for the exit (killing after `grace`), and hands on the rest of the
  // log.
  void finish(std::chrono::milliseconds grace);
  // Logs the lines of what is there of the helper's stderr; `toEnd`: and an unfinished last one.
  void readLog(bool toEnd = false);

  std::unique_ptr<State> state_;
};

} // namespace quelt::client
