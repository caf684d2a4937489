// say and render.

#include "Conversation.h"
#include "Languages.h"

#include <filesystem>
#include <iostream>

namespace quelt::client {

Json Conversation::speechParams(const std::string& text) {
  Json params = {{"text", text}};
  if (auto voice = args_.text("voice"))
    params["voice"] = *voice;
  else if (auto language = args_.text("language"))
    params.update(voiceChoiceFor(*language, quietList(ops::voicesList, "voices")));
  for (const char* key : {"rate", "pitch", "volume"})
    if (auto value = args_.number(key))
      params[key] = *value;
  return params;
}

int Conversation::say() {
  const std::string text = args_.joinedWords(0);
  Json params = speechParams(text);
  params["utterance"] = 1;
  int64_t request = helper_.send(ops::speechSpeak, params);
  std::string voice;
  bool stopAsked = false;
  for (;;) {
    Incoming in = helper_.next();
    if (in.kind == Kind::interrupted) {
      // The first Ctrl-C stops the speech at once; the helper then reports it cancelled.
      if (stopAsked)
        return exitInterrupted;
      stopAsked = true;
      helper_.send(ops::speechStop, {{"utterance", 1}});
      continue;
    }
    if (auto status = sessionEnded(in, request))
      return *status;
    const Json& message = in.message;
    if (isReplyTo(message, request))
      voice = message["result"].value("voice", "");
    if (!message.contains("event"))
      continue;
    std::string event = message.value("event", "");
    if (message.value("utterance", int64_t{-1}) != 1)
      continue;
    if (event == events::speechRange) {
      std::string word =
          utf16Slice(text, message.value("location", 0L), message.value("length", 0L));
      if (!args_.json)
        live_.show("speaking: " + word);
    } else if (event == events::speechFinished || event == events::speechCancelled) {
      live_.clear();
      bool finished = event == events::speechFinished;
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

int Conversation::render() {
  std::string path = absolutePath(args_.words[0]);
  std::string format = args_.text("format").value_or(
      lower(std::filesystem::path(path).extension().string()) == ".caf" ? "caf" : "wav");
  Json params = speechParams(args_.joinedWords(1));
  params["path"] = path;
  params["format"] = format;
  int status = exitOk;
  auto result = call(ops::speechSynthesizeFile, params, status);
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

} // namespace quelt::client
