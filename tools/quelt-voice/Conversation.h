#pragma once

// One command's conversation with the helper: what every command shares (sending, waiting,
// failing with a hint) here, each command in a file of its own.

#include "Arguments.h"
#include "Commands.h"
#include "Terminal.h"
#include "quelt/client/Helper.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelt::client {

// How the helper's log begins the lines the hints build on.
extern const char* const enginesUnavailable;
extern const char* const noSoundServer;
extern const char* const soundServerHint;

std::string lower(std::string text);
std::string number(double value, int decimals);
// Paths go to the helper absolute, as it requires; relative ones are taken from here.
std::string absolutePath(const std::string& path);

class Conversation {
public:
  Conversation(Helper& helper, const Arguments& arguments);
  // The log's handler points here; the helper outlives this conversation.
  ~Conversation();

  int run();

private:
  using Kind = Incoming::Kind;
  struct Owed {
    std::string op;
    std::optional<int64_t> session; // the capture or utterance a start names
  };

  // Shows one message from the helper the way --json asks for: exactly as it was written.
  void echo(const Incoming& in);

  int failure(const Json& error);

  int enginesMissing();

  // A list the helper keeps under `key` in the reply to `op`, asked for on the side: nothing is
  // echoed, and a failure reads as an empty list.
  Json quietList(OpName op, const std::string& key);

  std::string installedLocales();

  static std::string localeNames(const Json& locales);

  int helperEnded();

  // What a session's loop does first with what came in: echoes a message, and gives the exit
  // status when the helper ended or refused the request that started the session.
  std::optional<int> sessionEnded(const Incoming& in, int64_t request);

  // Sends a request and waits for its reply; other messages are echoed. Nothing on interrupt.
  std::optional<Json> call(OpName op, const Json& params, int& status, bool echoReply = true);

  Json speechParams(const std::string& text);

  int say();

  int render();

  // One capture until it ends: live partial texts (and a level bar from the microphone) on a
  // terminal, final texts printed in segment order.
  int dictate(Json source, std::optional<double> stopAfter);

  int devices();

  int voices();

  // Columns as wide as their widest cell (in code points, enough for names like "Māori").
  static void printTable(const std::vector<std::vector<std::string>>& rows);

  int locales();

  // What the helper can do here, and what stands in the way of anything it cannot.
  int status();

  // Lines from stdin go to the helper as they are; everything the helper says is printed as
  // it is. At the end of input the client waits for the replies still owed and for the
  // captures and utterances it saw started to end, then shuts the helper down.
  int raw();

  void forward(const std::string& line, std::map<int64_t, Owed>& owed, std::set<int64_t>& captures,
               std::set<int64_t>& utterances);

  Helper& helper_;
  const Arguments& args_;
  LiveLine live_;
  std::string enginesFailure_;     // why the helper has no engines, from its log
  std::string soundServerFailure_; // the helper's word that no sound server answered
  bool shutdownSent_ = false;      // raw: the person sent "shutdown" themselves
};

} // namespace quelt::client
