// raw: request lines from stdin to the helper, everything it says to stdout.

#include "Conversation.h"
#include "protocol/LineFraming.h"

#include <iostream>
#include <unistd.h>

namespace quelt::client {

// Lines from stdin go to the helper as they are; everything the helper says is printed as
// it is. At the end of input the client waits for the replies still owed and for the
// captures and utterances it saw started to end, then shuts the helper down.
int Conversation::raw() {
  helper_.watchInput(STDIN_FILENO);
  std::map<int64_t, Owed> owed; // by request id
  std::set<int64_t> captures, utterances;
  LineReader input;
  bool inputOpen = true;
  int interrupts = 0;
  for (;;) {
    if (!inputOpen && owed.empty() && captures.empty() && utterances.empty())
      return exitOk;
    Incoming in = helper_.next();
    if (in.kind == Kind::interrupted) {
      if (++interrupts > 1 || (captures.empty() && utterances.empty()))
        return exitInterrupted;
      for (int64_t capture : captures)
        helper_.send(ops::captureCancel, {{"capture", capture}});
      if (!utterances.empty())
        helper_.send(ops::speechStop, Json::object());
      continue;
    }
    if (in.kind == Kind::ended)
      return shutdownSent_ ? exitOk : helperEnded();
    if (in.kind == Kind::input) {
      if (input.read(STDIN_FILENO) <= 0) {
        inputOpen = false;
        helper_.watchInput(-1);
        input.finish();
      }
      while (auto line = input.take())
        forward(*line, owed, captures, utterances);
      continue;
    }
    if (in.kind != Kind::message)
      continue;
    std::cout << in.line << '\n' << std::flush;
    const Json& message = in.message;
    std::string event = message.value("event", "");
    if (event.empty() && message.contains("id") && message["id"].is_number_integer()) {
      int64_t id = message["id"];
      auto found = owed.find(id);
      if (found != owed.end() && found->second.session && !message.value("ok", false)) {
        // A start that failed leaves nothing running to wait for.
        (found->second.op == ops::captureStart ? captures : utterances)
            .erase(*found->second.session);
      }
      if (found != owed.end())
        owed.erase(found);
    } else if (event == events::captureStopped || event == events::captureCancelled ||
               event == events::captureFailed) {
      captures.erase(message.value("capture", int64_t{-1}));
    } else if (event == events::speechFinished || event == events::speechCancelled) {
      utterances.erase(message.value("utterance", int64_t{-1}));
    }
  }
}

void Conversation::forward(const std::string& line, std::map<int64_t, Owed>& owed,
                           std::set<int64_t>& captures, std::set<int64_t>& utterances) {
  if (line.find_first_not_of(" \t\r") == std::string::npos)
    return;
  Json request = Json::parse(line, nullptr, false);
  if (request.is_object() && request.contains("id") && request["id"].is_number_integer()) {
    int64_t id = request["id"];
    helper_.noteForeignId(id);
    Owed entry{request["op"].is_string() ? request["op"].get<std::string>() : "", {}};
    const Json& params = request.contains("params") ? request["params"] : Json::object();
    auto session = [&](const char* name) -> std::optional<int64_t> {
      if (params.is_object() && params.contains(name) && params[name].is_number())
        return params[name].get<int64_t>();
      return std::nullopt;
    };
    if (entry.op == ops::captureStart && (entry.session = session("capture")))
      captures.insert(*entry.session);
    if (entry.op == ops::speechSpeak && (entry.session = session("utterance")))
      utterances.insert(*entry.session);
    shutdownSent_ = shutdownSent_ || entry.op == ops::shutdown;
    owed[id] = std::move(entry);
  }
  helper_.sendLine(line);
}

} // namespace quelt::client
