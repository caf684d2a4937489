#include "Arguments.h"

#include <climits>
#include <cmath>
#include <cstdlib>

namespace quelt::client {

namespace {

struct Option {
  const char* name;
  const char* value; // nullptr for a flag
  const char* help;
};

struct Command {
  const char* name;
  const char* synopsis; // the words it takes, as usage shows them
  size_t minWords;
  size_t maxWords; // SIZE_MAX: the rest of the line is text
  std::vector<Option> options;
  const char* summary;
  const char* details;
};

const std::vector<Option> voiceOptions = {
    {"voice", "ID", "the voice to use, an id from `quelt-voice voices`"},
    {"language", "TAG",
     "a voice for this language when no --voice is given (fr, en-GB, zh); "
     "a language without a region gets its main one (fr: France)"},
    {"rate", "0..1", "speaking rate; 0.5 is the normal rate"},
    {"pitch", "0.5..2", "pitch multiplier; 1 is the voice's own"},
    {"volume", "0..1", "volume; 1 is full"},
};

std::vector<Option> with(std::vector<Option> base, const std::vector<Option>& more) {
  base.insert(base.end(), more.begin(), more.end());
  return base;
}

// What the recognizer is told, for both dictation commands.
const std::vector<Option> recognitionOptions = {
    {"locale", "TAG", "the recognition locale (see `quelt-voice locales`)"},
    {"context", "PHRASE",
     "a name or phrase the speech is likely to hold; may be given again (at most 100)"},
    {"no-punctuation", nullptr, "the recognizer's words as they come: no capitals, no marks"},
};

const std::vector<Command>& commands() {
  static const std::vector<Command> all = {
      {"say", "TEXT...", 1, SIZE_MAX, voiceOptions, "speak TEXT and wait until it has been spoken",
       "The words are joined by single spaces. Ctrl-C stops the speech at once."},
      {"render", "PATH TEXT...", 2, SIZE_MAX,
       with(voiceOptions, {{"format", "wav|caf",
                            "the sample encoding: wav 16-bit integers, caf the synthesizer's "
                            "own samples unchanged; default: what PATH's extension names"}}),
       "write TEXT as speech to an audio file",
       "PATH's extension picks the container (.wav, .caf, .aiff, .flac, ...); a PATH without one "
       "is refused. --format picks the sample encoding within it. Prints the file's duration, "
       "frames, rate, channels, size and the voice used."},
      {"transcribe", "FILE", 1, 1,
       with({{"realtime", nullptr, "deliver the file at its natural speed, as a microphone would"},
             {"commit-every", "SECONDS",
              "end a segment every SECONDS of audio (implies --realtime)"}},
            recognitionOptions),
       "dictation from an audio file",
       "Any format libsndfile reads (WAV, FLAC, Ogg, CAF, AIFF, ...), any rate and channel "
       "count. On a terminal the partial text is shown live; the final text of each segment is "
       "printed on a line of its own. Ctrl-C stops, keeping what was recognised; a second "
       "Ctrl-C cancels."},
      {"listen", "", 0, 0,
       with({{"seconds", "N", "stop after N seconds"},
             {"device", "UID", "the recording device, a uid from `quelt-voice devices`"},
             {"commit-every", "SECONDS", "end a segment every SECONDS of audio"}},
            recognitionOptions),
       "dictation from the microphone until Ctrl-C",
       "On a terminal a level bar and the partial text are shown live; the final text of each "
       "segment is printed on a line of its own. Ctrl-C stops, keeping what was recognised; a "
       "second Ctrl-C cancels. Needs a PulseAudio server (PipeWire's pulse server will do)."},
      {"devices",
       "",
       0,
       0,
       {},
       "recording devices, the default marked with *",
       "Lists the sound server's recording devices: uid, name, channels, rate."},
      {"voices",
       "",
       0,
       0,
       {{"language", "TAG", "only the voices of this language (en, en-GB, zh, ...)"}},
       "installed voices",
       "Lists id, language, name, gender and quality of every voice. A language without a "
       "region shows all of its regions' voices."},
      {"locales", "", 0, 0, {}, "recognition locales", "Lists the locales dictation can use."},
      {"status",
       "",
       0,
       0,
       {},
       "what the helper can do here",
       "The helper's version and protocol, permissions, voices, recognition locales and "
       "recording devices, and what stands in the way of any of them."},
      {"raw",
       "",
       0,
       0,
       {},
       "pass JSON request lines from stdin to the helper, print what it says",
       "Each line of standard input goes to the helper as it is; each line the helper writes is "
       "printed as it is. At the end of input the client waits for the replies still owed and "
       "for the captures and utterances it saw started, then shuts the helper down. A "
       "\"shutdown\" request of your own ends it too. quelt-voice-helper(1) describes the "
       "requests."},
      {"help", "[COMMAND]", 0, 1, {}, "this text, or one command's options", ""},
  };
  return all;
}

const Command* findCommand(const std::string& name) {
  for (const Command& command : commands())
    if (name == command.name)
      return &command;
  return nullptr;
}

std::string pad(std::string text, size_t width) {
  if (text.size() < width)
    text.append(width - text.size(), ' ');
  else
    text += "  ";
  return text;
}

// `text` in lines of at most `width` columns, every line but the first indented by `indent`.
std::string wrap(const std::string& text, size_t width, size_t indent) {
  std::string out, line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos)
      end = text.size();
    std::string word = text.substr(start, end - start);
    start = end + 1;
    size_t limit = out.empty() ? width : width - indent;
    if (!line.empty() && line.size() + 1 + word.size() > limit) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

std::string synopsisOf(const Command& command) {
  std::string line = command.name;
  if (*command.synopsis)
    line += std::string(" ") + command.synopsis;
  return line;
}

} // namespace

std::string usageText() {
  std::string text = "usage: quelt-voice [--json] [--helper PATH] COMMAND [OPTIONS] [--] "
                     "[ARGUMENTS]\n       quelt-voice --help | --version\n\ncommands:\n";
  for (const Command& command : commands())
    text += "  " + pad(synopsisOf(command), 22) + command.summary + "\n";
  text += R"(
options for every command:
  --json          print the helper's messages as JSON lines instead of text
  --helper PATH   the helper to run (default: $QUELT_VOICE_HELPER, then quelt-voice-helper
                  next to this program, then on PATH)
  --              what follows is text, even when it starts with "-"
  -h, --help      this text; `quelt-voice help COMMAND` shows a command's own options
  -V, --version   the version

examples:
  quelt-voice say Hello there
  quelt-voice render greeting.wav --language fr -- -5 degrés ce matin
  quelt-voice transcribe --commit-every 4 meeting.flac

exit status: 0 done, 1 the helper reported a failure or ended early, 2 a wrong command line,
130 interrupted (Ctrl-C). Ctrl-C stops a capture or the speech and ends the helper; a second
Ctrl-C cancels.
)";
  return text;
}

std::string commandHelp(const std::string& name) {
  const Command* command = findCommand(name);
  if (!command)
    throw UsageError("unknown command '" + name + "'");
  if (name == "help")
    return usageText();
  std::string text = "usage: quelt-voice " + synopsisOf(*command) +
                     (command->options.empty() ? "" : " [OPTIONS]") + "\n\n" +
                     wrap(std::string(command->summary) + ". " + command->details, 78, 0) + "\n";
  if (!command->options.empty()) {
    text += "\noptions:\n";
    for (const Option& option : command->options) {
      std::string head = std::string("--") + option.name;
      if (option.value)
        head += std::string(" ") + option.value;
      text += "  " + wrap(pad(head, 24) + option.help, 76, 26) + "\n";
    }
  }
  text += "\nquelt-voice --help lists the options every command takes.\n";
  return text;
}

std::optional<std::string> Arguments::text(const std::string& name) const {
  auto values = texts(name);
  return values.empty() ? std::nullopt : std::optional(values.back());
}

std::vector<std::string> Arguments::texts(const std::string& name) const {
  std::vector<std::string> values;
  for (auto [at, end] = options.equal_range(name); at != end; ++at)
    values.push_back(at->second);
  return values;
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

std::string Arguments::joinedWords(size_t first) const {
  std::string joined;
  for (size_t i = first; i < words.size(); ++i)
    joined += (i > first ? " " : "") + words[i];
  return joined;
}

Arguments parseArguments(const std::vector<std::string>& argv) {
  Arguments parsed;
  const Command* command = nullptr;
  bool onlyWords = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (onlyWords || word.size() < 2 || word[0] != '-') {
      if (!command) {
        if (!(command = findCommand(word)))
          throw UsageError("unknown command '" + word + "'");
        parsed.command = word;
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
    if (word == "-V" || word == "--version") {
      parsed.version = true;
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
    const Option* option = nullptr;
    if (command)
      for (const Option& candidate : command->options)
        if (name == candidate.name)
          option = &candidate;
    if (!option) {
      std::string hint =
          command && word[1] != '-' ? "; text that starts with \"-\" goes after --" : "";
      throw UsageError("unknown option " + word.substr(0, word.find('=')) +
                       (command ? " for " + parsed.command : std::string()) + hint);
    }
    if (option->value)
      parsed.options.emplace(name, takeValue());
    else if (inlineValue)
      throw UsageError("--" + name + " takes no value");
    else
      parsed.options.emplace(name, "");
  }
  if (parsed.command == "help") {
    parsed.help = true;
    parsed.command = parsed.words.empty() ? "" : parsed.words[0];
    if (parsed.words.size() > 1)
      throw UsageError("help takes one command at most");
    if (!parsed.command.empty() && !findCommand(parsed.command))
      throw UsageError("unknown command '" + parsed.command + "'");
    parsed.words.clear();
  }
  if (parsed.help || parsed.version)
    return parsed;
  if (!command)
    throw UsageError("no command given");
  size_t count = parsed.words.size();
  if (count < command->minWords || count > command->maxWords) {
    std::string wanted = command->maxWords == SIZE_MAX ? std::string(command->synopsis)
                         : command->maxWords == 0      ? std::string("no arguments")
                                                       : std::string(command->synopsis);
    throw UsageError(parsed.command + " takes " + wanted + ", not " +
                     (count == 0 ? std::string("nothing")
                                 : std::to_string(count) + " word" + (count == 1 ? "" : "s")));
  }
  return parsed;
}

} // namespace quelt::client
