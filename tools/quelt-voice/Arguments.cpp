#include "Arguments.h"

#include <cmath>
#include <cstdlib>

namespace quelt::client {

const char* const usageText = R"(usage: quelt-voice [--json] [--helper PATH] COMMAND [ARGUMENTS]

  say TEXT                speak TEXT and wait until it has been spoken
      [--voice ID] [--language TAG] [--rate 0..1] [--pitch 0.5..2] [--volume 0..1]
  render PATH TEXT        write TEXT as speech to a WAV or CAF file
      [--format wav|caf] and the voice options of say
  transcribe FILE         dictation from an audio file: live partial texts, then the final text
      [--realtime] [--commit-every SECONDS (implies --realtime)] [--locale TAG]
  listen                  dictation from the microphone until Ctrl-C
      [--seconds N] [--device UID] [--commit-every SECONDS] [--locale TAG]
  devices                 recording devices, the default marked with *
  voices [--language TAG] installed voices
  locales                 recognition locales
  status                  helper version and permissions
  raw                     pass JSON request lines from stdin to the helper, print what it says

  --json          print the helper's messages as JSON lines instead of text
  --helper PATH   the helper to run (default: $QUELT_VOICE_HELPER, then quelt-voice-helper
                  next to this program, then on PATH)

Ctrl-C stops a capture or the speech and ends the helper; a second Ctrl-C cancels.
)";

namespace {

struct CommandShape {
  size_t words;
  std::map<std::string, bool> options; // name -> takes a value
};

const std::map<std::string, bool> voiceOptions = {
    {"voice", true}, {"language", true}, {"rate", true}, {"pitch", true}, {"volume", true}};

std::map<std::string, bool> with(std::map<std::string, bool> base,
                                 const std::map<std::string, bool>& more) {
  base.insert(more.begin(), more.end());
  return base;
}

const std::map<std::string, CommandShape>& commands() {
  static const std::map<std::string, CommandShape> shapes = {
      {"say", {1, voiceOptions}},
      {"render", {2, with(voiceOptions, {{"format", true}})}},
      {"transcribe", {1, {{"realtime", false}, {"commit-every", true}, {"locale", true}}}},
      {"listen",
       {0, {{"seconds", true}, {"device", true}, {"commit-every", true}, {"locale", true}}}},
      {"devices", {0, {}}},
      {"voices", {0, {{"language", true}}}},
      {"locales", {0, {}}},
      {"status", {0, {}}},
      {"raw", {0, {}}},
  };
  return shapes;
}

} // namespace

std::optional<std::string> Arguments::text(const std::string& name) const {
  auto found = options.find(name);
  return found == options.end() ? std::nullopt : std::optional(found->second);
}

std::optional<double> Arguments::number(const std::string& name) const {
  auto value = text(name);
  if (!value)
    return std::nullopt;
  char* end = nullptr;
  double parsed = std::strtod(value->c_str(), &end);
  if (value->empty() || *end != '\0' || !std::isfinite(parsed))
    throw UsageError("--" + name + " takes a number, not '" + *value + "'");
  return parsed;
}

Arguments parseArguments(const std::vector<std::string>& argv) {
  Arguments parsed;
  const CommandShape* shape = nullptr;
  bool onlyWords = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (onlyWords || word.size() < 2 || word[0] != '-') {
      if (!shape) {
        auto found = commands().find(word);
        if (found == commands().end())
          throw UsageError("unknown command '" + word + "'");
        parsed.command = word;
        shape = &found->second;
      } else {
        parsed.words.push_back(word);
      }
      continue;
    }
    if (word == "--") {
      onlyWords = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      parsed.help = true;
      continue;
    }
    std::string name = word.rfind("--", 0) == 0 ? word.substr(2) : word.substr(1);
    std::optional<std::string> inlineValue;
    if (auto equals = name.find('='); equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    auto takeValue = [&]() -> std::string {
      if (inlineValue)
        return *inlineValue;
      if (i + 1 >= argv.size())
        throw UsageError("--" + name + " needs a value");
      return argv[++i];
    };
    if (name == "json" && !inlineValue) {
      parsed.json = true;
      continue;
    }
    if (name == "helper") {
      parsed.helperPath = takeValue();
      continue;
    }
    auto option = shape ? shape->options.find(name) : std::map<std::string, bool>::const_iterator{};
    if (!shape || option == shape->options.end())
      throw UsageError("unknown option --" + name +
                       (parsed.command.empty() ? "" : " for " + parsed.command));
    if (option->second)
      parsed.options[name] = takeValue();
    else if (inlineValue)
      throw UsageError("--" + name + " takes no value");
    else
      parsed.options[name] = "";
  }
  if (parsed.help)
    return parsed;
  if (!shape)
    throw UsageError("no command given");
  if (parsed.words.size() != shape->words)
    throw UsageError(parsed.command + " takes " +
                     (shape->words == 0 ? std::string("no arguments")
                                        : std::to_string(shape->words) + " argument" +
                                              (shape->words == 1 ? "" : "s")) +
                     ", not " + std::to_string(parsed.words.size()));
  return parsed;
}

} // namespace quelt::client
