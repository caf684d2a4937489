// What every command shares: the conversation with the helper, its failures and their hints.

#include "Conversation.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace quelt::client {

const char* const enginesUnavailable = "audio and speech engines unavailable: ";
const char* const noSoundServer = "no sound server reachable";
const char* const soundServerHint =
    "quelt-voice: recording needs a PulseAudio server (PipeWire's pulse server will do): start "
    "one (pulseaudio --start), or set PULSE_SERVER to where one listens\n";

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string number(double value, int decimals) {
  char out[64];
  std::snprintf(out, sizeof out, "%.*f", decimals, value);
  return out;
}

std::string absolutePath(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

Conversation::Conversation(Helper& helper, const Arguments& arguments)
    : helper_(helper), args_(arguments) {
  // The helper's log says what it could not load or reach; the hints below build on it.
  helper_.onLog([this](const std::string& line) {
    live_.clear();
    std::cerr << line << '\n' << std::flush;
    if (line.rfind(enginesUnavailable, 0) == 0)
      enginesFailure_ = line.substr(std::string(enginesUnavailable).size());
    else if (line.rfind(noSoundServer, 0) == 0)
      soundServerFailure_ = line;
  });
}

// The log's handler points here; the helper outlives this conversation.
Conversation::~Conversation() { helper_.onLog({}); }

int Conversation::run() {
  const std::string& command = args_.command;
  if (command == "say")
    return say();
  if (command == "render")
    return render();
  if (command == "transcribe") {
    // A commit cuts the audio wherever delivery has got to when it arrives, so cutting a
    // file at its own times needs the file delivered at its natural speed.
    Json source = {{"kind", "file"},
                   {"path", absolutePath(args_.words[0])},
                   {"realtime", args_.has("realtime") || args_.has("commit-every")}};
    return dictate(source, std::nullopt);
  }
  if (command == "listen") {
    Json source = {{"kind", "microphone"}};
    if (auto device = args_.text("device"))
      source["device_uid"] = *device;
    auto seconds = args_.number("seconds");
    if (seconds && *seconds <= 0)
      throw UsageError("--seconds must be greater than 0");
    return dictate(source, seconds);
  }
  if (command == "devices")
    return devices();
  if (command == "voices")
    return voices();
  if (command == "locales")
    return locales();
  if (command == "status")
    return status();
  return raw();
}

// Shows one message from the helper the way --json asks for: exactly as it was written.
void Conversation::echo(const Incoming& in) {
  if (args_.json)
    std::cout << in.line << '\n' << std::flush;
}

int Conversation::failure(const Json& error) {
  live_.clear();
  std::string code = error.value("code", "error");
  std::cerr << "quelt-voice: " << code << ": " << error.value("message", "") << '\n';
  helper_.drainLog();
  if (!enginesFailure_.empty())
    return enginesMissing();
  if (code == "no_input_device" || code == "device_not_found")
    std::cerr << (soundServerFailure_.empty()
                      ? "quelt-voice: `quelt-voice devices` lists the recording devices\n"
                      : soundServerHint);
  if (code == "locale_unsupported")
    std::cerr << "quelt-voice: installed recognition locales: " << installedLocales() << '\n';
  return exitFailed;
}

int Conversation::enginesMissing() {
  std::cerr << "quelt-voice: the helper could not load its audio and speech engines (see "
               "above for where it looked); reinstall quelt-voice-helper, or set "
               "QUELT_VOICE_ENGINES to the path of quelt-voice-helper-engines.so\n";
  return exitFailed;
}

// A list the helper keeps under `key` in the reply to `op`, asked for on the side: nothing is
// echoed, and a failure reads as an empty list.
Json Conversation::quietList(OpName op, const std::string& key) {
  int64_t id = helper_.send(op);
  Incoming in = helper_.reply(id, [](const Incoming&) {});
  if (in.kind == Kind::message && in.message.value("ok", false))
    return in.message["result"].value(key, Json::array());
  return Json::array();
}

std::string Conversation::installedLocales() {
  return localeNames(quietList(ops::localesList, "locales"));
}

std::string Conversation::localeNames(const Json& locales) {
  std::string list;
  for (const Json& locale : locales)
    list += (list.empty() ? "" : ", ") + locale.value("identifier", "");
  return list.empty() ? "none" : list;
}

int Conversation::helperEnded() {
  live_.clear();
  std::cerr << "quelt-voice: the helper ended unexpectedly\n";
  return exitFailed;
}

std::optional<int> Conversation::sessionEnded(const Incoming& in, int64_t request) {
  if (in.kind != Kind::message)
    return helperEnded();
  echo(in);
  if (isReplyTo(in.message, request) && !in.message.value("ok", false))
    return failure(in.message.value("error", Json::object()));
  return std::nullopt;
}

// Sends a request and waits for its reply; other messages are echoed. Nothing on interrupt.
std::optional<Json> Conversation::call(OpName op, const Json& params, int& status, bool echoReply) {
  int64_t id = helper_.send(op, params);
  Incoming in = helper_.reply(id, [&](const Incoming& other) { echo(other); });
  if (in.kind == Kind::interrupted) {
    status = exitInterrupted;
    return std::nullopt;
  }
  if (in.kind != Kind::message) {
    status = helperEnded();
    return std::nullopt;
  }
  if (echoReply || !in.message.value("ok", false))
    echo(in);
  if (!in.message.value("ok", false)) {
    status = failure(in.message.value("error", Json::object()));
    return std::nullopt;
  }
  status = exitOk;
  return in.message.value("result", Json::object());
}

int runCommand(Helper& helper, const Arguments& arguments) {
  int status = exitOk;
  try {
    status = Conversation(helper, arguments).run();
  } catch (const UsageError& error) {
    std::cerr << "quelt-voice: " << error.what() << '\n';
    status = exitUsage;
  }
  helper.shutdown();
  return status;
}

} // namespace quelt::client
