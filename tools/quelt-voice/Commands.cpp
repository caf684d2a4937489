#include "Commands.h"

#include "Languages.h"
#include "Terminal.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace quelt::client {

namespace {

using Kind = Incoming::Kind;

// How the helper's log begins the lines the hints build on.
constexpr const char* enginesUnavailable = "audio and speech engines unavailable: ";
constexpr const char* noSoundServer = "no sound server reachable";
constexpr const char* soundServerHint =
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

bool isReplyTo(const Json& message, int64_t request) {
  return !message.contains("event") && message.value("id", int64_t{-1}) == request;
}

// Paths go to the helper absolute, as it requires; relative ones are taken from here.
std::string absolutePath(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

class Conversation {
public:
  Conversation(HelperChild& helper, const Arguments& arguments)
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
  ~Conversation() { helper_.onLog({}); }

  int run() {
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

private:
  // Shows one message from the helper the way --json asks for: exactly as it was written.
  void echo(const Incoming& in) {
    if (args_.json)
      std::cout << in.line << '\n' << std::flush;
  }

  int failure(const Json& error) {
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

  int enginesMissing() {
    std::cerr << "quelt-voice: the helper could not load its audio and speech engines (see "
                 "above for where it looked); reinstall quelt-voice-helper, or set "
                 "QUELT_VOICE_ENGINES to the path of quelt-voice-helper-engines.so\n";
    return exitFailed;
  }

  // A list the helper keeps under `key` in the reply to `op`, asked for on the side: nothing is
  // echoed, and a failure reads as an empty list.
  Json quietList(const std::string& op, const std::string& key) {
    int64_t id = helper_.send(op);
    Incoming in = helper_.reply(id, [](const Incoming&) {});
    if (in.kind == Kind::message && in.message.value("ok", false))
      return in.message["result"].value(key, Json::array());
    return Json::array();
  }

  std::string installedLocales() { return localeNames(quietList("locales.list", "locales")); }

  static std::string localeNames(const Json& locales) {
    std::string list;
    for (const Json& locale : locales)
      list += (list.empty() ? "" : ", ") + locale.value("identifier", "");
    return list.empty() ? "none" : list;
  }

  int helperEnded() {
    live_.clear();
    std::cerr << "quelt-voice: the helper ended unexpectedly\n";
    return exitFailed;
  }

  // Sends a request and waits for its reply; other messages are echoed. Nothing on interrupt.
  std::optional<Json> call(const std::string& op, const Json& params, int& status,
                           bool echoReply = true) {
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

  Json speechParams(const std::string& text) {
    Json params = {{"text", text}};
    if (auto voice = args_.text("voice"))
      params["voice"] = *voice;
    else if (auto language = args_.text("language"))
      params.update(voiceChoiceFor(*language, quietList("voices.list", "voices")));
    for (const char* key : {"rate", "pitch", "volume"})
      if (auto value = args_.number(key))
        params[key] = *value;
    return params;
  }

  int say() {
    const std::string text = args_.joinedWords(0);
    Json params = speechParams(text);
    params["utterance"] = 1;
    int64_t request = helper_.send("speech.speak", params);
    std::string voice;
    bool stopAsked = false;
    for (;;) {
      Incoming in = helper_.next();
      if (in.kind == Kind::interrupted) {
        // The first Ctrl-C stops the speech at once; the helper then reports it cancelled.
        if (stopAsked)
          return exitInterrupted;
        stopAsked = true;
        helper_.send("speech.stop", {{"utterance", 1}});
        continue;
      }
      if (in.kind != Kind::message)
        return helperEnded();
      echo(in);
      const Json& message = in.message;
      if (isReplyTo(message, request) && !message.value("ok", false))
        return failure(message.value("error", Json::object()));
      if (isReplyTo(message, request))
        voice = message["result"].value("voice", "");
      if (!message.contains("event"))
        continue;
      std::string event = message.value("event", "");
      if (message.value("utterance", int64_t{-1}) != 1)
        continue;
      if (event == "speech.range") {
        std::string word =
            utf16Slice(text, message.value("location", 0L), message.value("length", 0L));
        if (!args_.json)
          live_.show("speaking: " + word);
      } else if (event == "speech.finished" || event == "speech.cancelled") {
        live_.clear();
        bool finished = event == "speech.finished";
        if (!finished && !stopAsked) {
          // Nobody here asked for the stop: the helper could not speak it.
          helper_.drainLog();
          if (!enginesFailure_.empty())
            return enginesMissing();
          std::cerr << "quelt-voice: the helper cancelled the speech\n";
          return exitFailed;
        }
        if (!args_.json)
          std::cout << (finished ? "spoke" : "stopped") << " with voice "
                    << (voice.empty() ? "(system default)" : voice) << '\n';
        return finished && !stopAsked ? exitOk : exitInterrupted;
      }
    }
  }

  int render() {
    std::string path = absolutePath(args_.words[0]);
    std::string format = args_.text("format").value_or(
        lower(std::filesystem::path(path).extension().string()) == ".caf" ? "caf" : "wav");
    Json params = speechParams(args_.joinedWords(1));
    params["path"] = path;
    params["format"] = format;
    int status = exitOk;
    auto result = call("speech.synthesize_file", params, status);
    if (!result || args_.json)
      return status;
    int channels = result->value("channels", 0);
    std::cout << result->value("path", path) << ": "
              << number(result->value("duration_seconds", 0.0), 2) << " s, "
              << result->value("frames", 0) << " frames at "
              << number(result->value("sample_rate", 0.0), 0) << " Hz, " << channels
              << (channels == 1 ? " channel, " : " channels, ") << result->value("bytes", 0)
              << " bytes, voice " << result->value("voice", "") << '\n';
    return exitOk;
  }

  // One capture until it ends: live partial texts (and a level bar from the microphone) on a
  // terminal, final texts printed in segment order.
  int dictate(Json source, std::optional<double> stopAfter) {
    const bool microphone = source["kind"] == "microphone";
    auto commitEvery = args_.number("commit-every");
    if (commitEvery && *commitEvery <= 0)
      throw UsageError("--commit-every must be greater than 0");
    Json params = {{"capture", 1}, {"source", source}, {"level_interval_ms", 50}};
    if (auto locale = args_.text("locale"))
      params["locale"] = *locale;
    int64_t request = helper_.send("capture.start", params);

    std::map<int64_t, std::string> finals;
    int64_t nextToPrint = 0;
    int64_t currentSegment = 0;
    std::string partial;
    std::string bar;
    double nextCommitMs = commitEvery ? *commitEvery * 1000.0 : 0.0;
    int interrupts = 0;
    bool stopSent = false;
    int64_t commitRequest = -1; // one commit at a time; the next waits for its reply
    std::optional<std::chrono::steady_clock::time_point> stopAt;

    auto redraw = [&] {
      if (args_.json)
        return;
      std::string line = microphone ? bar + " " + partial : partial;
      if (line.empty() || line == " ")
        live_.clear();
      else
        live_.show(line);
    };
    auto printFinals = [&](bool all) {
      for (auto it = finals.begin(); it != finals.end();) {
        if (!all && it->first != nextToPrint)
          break;
        live_.clear();
        if (!args_.json && !it->second.empty())
          std::cout << it->second << '\n' << std::flush;
        nextToPrint = it->first + 1;
        it = finals.erase(it);
      }
      redraw();
    };
    auto stop = [&](const char* op) {
      helper_.send(op, {{"capture", 1}});
      stopSent = true;
    };

    for (;;) {
      std::optional<std::chrono::milliseconds> wait;
      if (stopAt && !stopSent)
        wait = std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            *stopAt - std::chrono::steady_clock::now()));
      Incoming in = helper_.next(wait);
      if (in.kind == Kind::timedOut) {
        stop("capture.stop");
        continue;
      }
      if (in.kind == Kind::interrupted) {
        // First Ctrl-C: stop, keeping what was said; the second cancels; the third gives up.
        ++interrupts;
        if (interrupts == 1)
          stop("capture.stop");
        else if (interrupts == 2)
          stop("capture.cancel");
        else
          return exitInterrupted;
        continue;
      }
      if (in.kind != Kind::message)
        return helperEnded();
      echo(in);
      const Json& message = in.message;
      if (isReplyTo(message, request) && !message.value("ok", false))
        return failure(message.value("error", Json::object()));
      if (!message.contains("event")) {
        if (isReplyTo(message, request) && stopAfter)
          stopAt = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int64_t>(*stopAfter * 1000));
        // A commit that lost the race against the end of the audio is of no consequence.
        if (commitRequest >= 0 && message.value("id", int64_t{-1}) == commitRequest)
          commitRequest = -1;
        continue;
      }
      if (message.value("capture", int64_t{-1}) != 1)
        continue;
      std::string event = message.value("event", "");
      if (event == "capture.level") {
        bar = levelBar(message.value("rms", 0.0));
        double elapsed = message.value("elapsed_ms", 0.0);
        // Commits follow the audio's own clock, so a file read faster than real time is cut
        // at the same places as when it is played.
        if (commitEvery && !stopSent && commitRequest < 0 && elapsed >= nextCommitMs) {
          commitRequest = helper_.send("capture.commit", {{"capture", 1}});
          while (nextCommitMs <= elapsed)
            nextCommitMs += *commitEvery * 1000.0;
        }
        if (microphone)
          redraw();
      } else if (event == "capture.partial") {
        if (message.value("segment", int64_t{0}) == currentSegment) {
          partial = message.value("text", "");
          redraw();
        }
      } else if (event == "capture.segment") {
        currentSegment = message.value("segment", int64_t{0});
        partial.clear();
        redraw();
      } else if (event == "capture.final") {
        int64_t segment = message.value("segment", int64_t{0});
        finals[segment] = message.value("text", "");
        if (segment == currentSegment)
          partial.clear();
        printFinals(false);
      } else if (event == "capture.stopped" || event == "capture.cancelled") {
        printFinals(true);
        live_.clear();
        return event == "capture.cancelled" || (interrupts > 0 && !microphone) ? exitInterrupted
                                                                               : exitOk;
      } else if (event == "capture.failed") {
        printFinals(true);
        return failure(message.value("error", Json::object()));
      }
    }
  }

  int devices() {
    int status = exitOk;
    auto result = call("devices.list", Json::object(), status);
    if (!result || args_.json)
      return status;
    const Json& list = (*result)["devices"];
    helper_.drainLog();
    if (list.empty() && !soundServerFailure_.empty()) {
      std::cerr << soundServerHint;
      return exitFailed;
    }
    if (list.empty())
      std::cout << "no recording devices\n";
    for (const Json& device : list) {
      std::cout << (device.value("is_default", false) ? "* " : "  ") << device.value("uid", "")
                << "  " << device.value("name", "") << "  (" << device.value("input_channels", 0)
                << " ch, " << number(device.value("sample_rate", 0.0), 0) << " Hz";
      if (device.contains("transport"))
        std::cout << ", " << device.value("transport", "");
      if (device.contains("manufacturer"))
        std::cout << ", " << device.value("manufacturer", "");
      std::cout << ")\n";
    }
    return exitOk;
  }

  int voices() {
    int status = exitOk;
    auto wanted = args_.text("language");
    auto result = call("voices.list", Json::object(), status, !wanted);
    if (!result)
      return status;
    std::vector<Json> shown;
    for (const Json& voice : (*result)["voices"])
      if (!wanted || languageCovers(*wanted, voice.value("language", "")))
        shown.push_back(voice);
    // Filtered, the reply is printed as the helper would have given it for these voices.
    if (args_.json) {
      if (wanted)
        std::cout << Json{{"id", 1}, {"ok", true}, {"result", {{"voices", shown}}}}.dump() << '\n';
      return exitOk;
    }
    std::vector<std::vector<std::string>> rows = {{"ID", "LANGUAGE", "NAME", "GENDER", "QUALITY"}};
    for (const Json& voice : shown) {
      std::string quality = voice.value("quality", "");
      if (voice.value("is_novelty", false))
        quality += ", novelty";
      if (voice.value("is_personal", false))
        quality += ", personal";
      rows.push_back({voice.value("id", ""), voice.value("language", ""), voice.value("name", ""),
                      voice.value("gender", ""), quality});
    }
    if (!shown.empty())
      printTable(rows);
    if (shown.empty())
      std::cout << "no voices" << (wanted ? " for " + *wanted : std::string()) << '\n';
    return exitOk;
  }

  // Columns as wide as their widest cell (in code points, enough for names like "Māori").
  static void printTable(const std::vector<std::vector<std::string>>& rows) {
    auto width = [](const std::string& text) {
      return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      }));
    };
    std::vector<size_t> widths;
    for (const auto& row : rows)
      for (size_t i = 0; i < row.size(); ++i) {
        widths.resize(std::max(widths.size(), row.size()));
        widths[i] = std::max(widths[i], width(row[i]));
      }
    for (const auto& row : rows) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i)
        line +=
            row[i] + (i + 1 < row.size() ? std::string(widths[i] - width(row[i]) + 2, ' ') : "");
      std::cout << line << '\n';
    }
  }

  int locales() {
    int status = exitOk;
    auto result = call("locales.list", Json::object(), status);
    if (!result || args_.json)
      return status;
    for (const Json& locale : (*result)["locales"]) {
      std::cout << locale.value("identifier", "");
      for (const auto& [key, value] : locale.items())
        if (key != "identifier")
          std::cout << "  " << key << "="
                    << (value.is_string() ? value.get<std::string>() : value.dump());
      std::cout << '\n';
    }
    return exitOk;
  }

  // What the helper can do here, and what stands in the way of anything it cannot.
  int status() {
    int status = exitOk;
    auto hello = call("hello", Json::object(), status);
    if (!hello)
      return status;
    auto permissions = call("authorization.status", Json::object(), status);
    if (!permissions)
      return status;
    auto voices = call("voices.list", Json::object(), status);
    if (!voices)
      return status;
    auto locales = call("locales.list", Json::object(), status);
    if (!locales)
      return status;
    auto devices = call("devices.list", Json::object(), status);
    if (!devices)
      return status;
    helper_.drainLog();
    bool engines = enginesFailure_.empty();
    if (args_.json)
      return engines ? exitOk : exitFailed;
    std::string defaultDevice;
    for (const Json& device : (*devices)["devices"])
      if (device.value("is_default", false))
        defaultDevice = device.value("uid", "");
    size_t deviceCount = (*devices)["devices"].size();
    std::cout << "quelt-voice-helper " << hello->value("version", "") << " (protocol "
              << hello->value("protocol", 0) << "), pid " << hello->value("pid", 0) << ", OS "
              << hello->value("os_version", "") << '\n'
              << "engines: " << (engines ? "loaded" : "unavailable: " + enginesFailure_) << '\n'
              << "voices: " << (*voices)["voices"].size() << '\n'
              << "recognition locales: " << localeNames((*locales)["locales"]) << '\n'
              << "recording devices: " << deviceCount
              << (defaultDevice.empty() ? "" : ", default " + defaultDevice)
              << (soundServerFailure_.empty() ? "" : " (" + soundServerFailure_ + ")") << '\n'
              << "speech analyzer: " << (hello->value("speech_analyzer", false) ? "yes" : "no")
              << '\n'
              << "microphone permission: " << permissions->value("microphone", "") << '\n'
              << "speech permission: " << permissions->value("speech", "") << '\n';
    if (!engines)
      return enginesMissing();
    return exitOk;
  }

  // Lines from stdin go to the helper as they are; everything the helper says is printed as
  // it is. At the end of input the client waits for the replies still owed and for the
  // captures and utterances it saw started to end, then shuts the helper down.
  int raw() {
    helper_.watchInput(STDIN_FILENO);
    std::map<int64_t, Owed> owed; // by request id
    std::set<int64_t> captures, utterances;
    std::string pending;
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
          helper_.send("capture.cancel", {{"capture", capture}});
        if (!utterances.empty())
          helper_.send("speech.stop", Json::object());
        continue;
      }
      if (in.kind == Kind::ended)
        return shutdownSent_ ? exitOk : helperEnded();
      if (in.kind == Kind::input) {
        char chunk[65536];
        ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
          inputOpen = false;
          helper_.watchInput(-1);
          if (!pending.empty())
            forward(pending, owed, captures, utterances);
          continue;
        }
        pending.append(chunk, static_cast<size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
          std::string line = pending.substr(0, end);
          pending.erase(0, end + 1);
          forward(line, owed, captures, utterances);
        }
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
          (found->second.op == "capture.start" ? captures : utterances)
              .erase(*found->second.session);
        }
        if (found != owed.end())
          owed.erase(found);
      } else if (event == "capture.stopped" || event == "capture.cancelled" ||
                 event == "capture.failed") {
        captures.erase(message.value("capture", int64_t{-1}));
      } else if (event == "speech.finished" || event == "speech.cancelled") {
        utterances.erase(message.value("utterance", int64_t{-1}));
      }
    }
  }

  struct Owed {
    std::string op;
    std::optional<int64_t> session; // the capture or utterance a start names
  };

  void forward(const std::string& line, std::map<int64_t, Owed>& owed, std::set<int64_t>& captures,
               std::set<int64_t>& utterances) {
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
      if (entry.op == "capture.start" && (entry.session = session("capture")))
        captures.insert(*entry.session);
      if (entry.op == "speech.speak" && (entry.session = session("utterance")))
        utterances.insert(*entry.session);
      shutdownSent_ = shutdownSent_ || entry.op == "shutdown";
      owed[id] = std::move(entry);
    }
    helper_.sendLine(line);
  }

  HelperChild& helper_;
  const Arguments& args_;
  LiveLine live_;
  std::string enginesFailure_;     // why the helper has no engines, from its log
  std::string soundServerFailure_; // the helper's word that no sound server answered
  bool shutdownSent_ = false;      // raw: the person sent "shutdown" themselves
};

} // namespace

int runCommand(HelperChild& helper, const Arguments& arguments) {
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
