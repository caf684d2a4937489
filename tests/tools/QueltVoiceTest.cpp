// The command-line client against the real helper: what people and scripts see.

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quelt::testing {
namespace {

const std::string fixtures = QUELT_FIXTURES_DIR;

struct ClientRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the client to its end with `input` on its standard input, with `environment` added to
// its own (NAME=value).
ClientRun client(std::vector<std::string> arguments, const std::string& input = "",
                 std::vector<std::string> environment = {}) {
  arguments.insert(arguments.begin(), QUELT_CLIENT_PATH);
  if (!environment.empty()) {
    environment.insert(environment.begin(), "env");
    arguments.insert(arguments.begin(), environment.begin(), environment.end());
  }
  HelperProcess process(arguments);
  process.write(input);
  process.closeInput();
  ClientRun run;
  while (auto line = process.nextLine(60s))
    run.out += *line + "\n";
  run.err = process.allErrorOutput();
  auto status = process.waitStatus(60s);
  if (status && WIFEXITED(*status))
    run.status = WEXITSTATUS(*status);
  return run;
}

std::vector<Json> jsonLines(const std::string& out) {
  std::vector<Json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    lines.push_back(Json::parse(line));
  return lines;
}

// The helper the client started: its only child.
pid_t childOf(pid_t parent) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                         "/children");
  pid_t child = -1;
  children >> child;
  return child;
}

bool gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

TEST(QueltVoice, RendersASentenceThenTranscribesRecordings) {
  auto directory =
      std::filesystem::temp_directory_path() / ("quelt-voice-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  auto wav = (directory / "spoken.wav").string();

  ClientRun render = client({"render", wav, "Open the door and turn on the light."});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_EQ(render.out.rfind(wav + ": ", 0), 0u) << render.out;
  EXPECT_NE(render.out.find(" Hz, 1 channel, "), std::string::npos) << render.out;
  EXPECT_GT(std::filesystem::file_size(wav), 44u);
  // Unquoted words are the same text; after -- a word may start with "-".
  auto words = (directory / "words.wav").string();
  EXPECT_EQ(
      client({"render", words, "Open", "the", "door", "and", "turn", "on", "the", "light."}).status,
      0);
  EXPECT_EQ(std::filesystem::file_size(words), std::filesystem::file_size(wav));
  EXPECT_EQ(client({"render", words, "--", "-5", "degrees"}).status, 0);

  // The render read back: one final text and the end of the capture, as JSON lines.
  ClientRun json = client({"--json", "transcribe", wav});
  EXPECT_EQ(json.status, 0) << json.err;
  std::vector<std::string> events;
  for (const Json& line : jsonLines(json.out))
    if (line.contains("event") && line["event"] != "capture.level")
      events.push_back(line["event"]);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "capture.listening");
  EXPECT_EQ(events.back(), "capture.stopped");
  EXPECT_EQ(std::count(events.begin(), events.end(), "capture.final"), 1);

  // As text, away from a terminal: only the final texts, one segment per line.
  ClientRun text =
      client({"transcribe", "--commit-every", "4", fixtures + "/sentences-16k-mono.wav"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_GE(std::count(text.out.begin(), text.out.end(), '\n'), 2) << text.out;
  EXPECT_NE(text.out.find("Open the door"), std::string::npos) << text.out;
  std::filesystem::remove_all(directory);
}

TEST(QueltVoice, FailuresShowTheHelpersCodeAndExitNonZero) {
  ClientRun voice = client({"say", "hello", "--voice", "no-such-voice"});
  EXPECT_EQ(voice.status, 1);
  EXPECT_NE(voice.err.find("quelt-voice: voice_not_found: "), std::string::npos) << voice.err;

  ClientRun file = client({"transcribe", fixtures + "/no-such-file.wav"});
  EXPECT_EQ(file.status, 1);
  EXPECT_NE(file.err.find("quelt-voice: io: "), std::string::npos) << file.err;

  ClientRun format = client({"render", "/tmp/x.wav", "hi", "--format", "mp3"});
  EXPECT_EQ(format.status, 1);
  EXPECT_NE(format.err.find("invalid_request: format must be wav or caf"), std::string::npos)
      << format.err;

  for (auto usage : std::vector<std::vector<std::string>>{
           {"dance"}, {"say"}, {"say", "hi", "--rate", "fast"}, {"devices", "--device", "x"}}) {
    ClientRun run = client(usage);
    EXPECT_EQ(run.status, 2) << usage[0];
    EXPECT_EQ(run.err.rfind("quelt-voice: ", 0), 0u) << run.err;
  }
}

// Usage and help need no helper; a wrong command line says how to put it right.
TEST(QueltVoice, ExplainsItself) {
  ClientRun bare = client({});
  EXPECT_EQ(bare.status, 2);
  EXPECT_EQ(bare.err.rfind("usage: quelt-voice ", 0), 0u) << bare.err;

  ClientRun help = client({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("transcribe FILE"), std::string::npos) << help.out;
  for (auto asked :
       std::vector<std::vector<std::string>>{{"help", "transcribe"}, {"transcribe", "--help"}}) {
    ClientRun one = client(asked);
    EXPECT_EQ(one.status, 0);
    EXPECT_NE(one.out.find("--commit-every SECONDS"), std::string::npos) << one.out;
    EXPECT_EQ(one.out.find("say TEXT"), std::string::npos) << one.out;
  }
  ClientRun version = client({"--version"});
  EXPECT_EQ(version.out, "quelt-voice " QUELT_PROJECT_VERSION "\n");

  ClientRun dash = client({"say", "-5", "degrees"});
  EXPECT_EQ(dash.status, 2);
  EXPECT_NE(dash.err.find("goes after --"), std::string::npos) << dash.err;
}

// When the helper cannot do the work, the client says what would let it.
TEST(QueltVoice, ErrorsSayWhatToDo) {
  std::string missing = "QUELT_VOICE_ENGINES=/nonexistent/engines.so";
  for (auto command : std::vector<std::vector<std::string>>{{"say", "hi"}, {"status"}}) {
    ClientRun run = client(command, "", {missing});
    EXPECT_EQ(run.status, 1) << command[0];
    EXPECT_NE(run.err.find("/nonexistent/engines.so"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("set QUELT_VOICE_ENGINES"), std::string::npos) << run.err;
  }

  ClientRun devices = client({"devices"}, "", {"PULSE_SERVER=unix:/nonexistent"});
  EXPECT_EQ(devices.status, 1) << devices.out;
  EXPECT_NE(devices.err.find("no sound server reachable"), std::string::npos) << devices.err;
  EXPECT_NE(devices.err.find("pulseaudio --start"), std::string::npos) << devices.err;

  ClientRun locale =
      client({"transcribe", "--locale", "xx-YY", fixtures + "/sentence-16k-mono.wav"});
  EXPECT_EQ(locale.status, 1);
  EXPECT_NE(locale.err.find("installed recognition locales: en-US"), std::string::npos)
      << locale.err;
}

TEST(QueltVoice, RawPassesLinesThroughAndWaitsForWhatItStarted) {
  ClientRun raw = client({"raw"}, R"({"id":1,"op":"hello"}
{"id":2,"op":"capture.start","params":{"capture":7,"source":{"kind":"file","path":")" +
                                      fixtures + R"(/sentence-16k-mono.wav"}}}
not json
)");
  EXPECT_EQ(raw.status, 0) << raw.err;
  auto lines = jsonLines(raw.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["event"], "capture.stopped");
  auto has = [&](const std::string& key, const Json& value) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const Json& line) { return line.value(key, Json()) == value; });
  };
  EXPECT_TRUE(has("id", 1));
  EXPECT_TRUE(has("id", 2));
  EXPECT_TRUE(has("event", "protocol_error"));

  // The person's own "shutdown" ends the helper, and that is success. The version is the
  // project's.
  ClientRun ended =
      client({"raw"}, "{\"id\":1,\"op\":\"hello\"}\n{\"id\":2,\"op\":\"shutdown\"}\n");
  EXPECT_EQ(ended.status, 0) << ended.err;
  lines = jsonLines(ended.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["result"]["version"], QUELT_PROJECT_VERSION);
}

using QueltVoiceOnASoundServer = PulseServerFixture;

TEST_F(QueltVoiceOnASoundServer, ListsDevicesAndVoices) {
  ClientRun devices = client({"devices"});
  EXPECT_EQ(devices.status, 0) << devices.err;
  EXPECT_EQ(devices.out.rfind(std::string("* ") + micSourceName + "  ", 0), 0u) << devices.out;

  ClientRun json = client({"--json", "devices"});
  auto lines = jsonLines(json.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["result"]["devices"][0]["uid"], micSourceName);

  ClientRun voices = client({"voices", "--language", "en-GB"});
  EXPECT_EQ(voices.status, 0);
  std::istringstream in(voices.out);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header.rfind("ID ", 0), 0u) << header;
  int count = 0;
  for (std::string line; std::getline(in, line); ++count)
    EXPECT_NE(line.find("en-GB"), std::string::npos) << line;
  EXPECT_GT(count, 0);
}

// Ctrl-C ends the dictation in order (stop, then shutdown) and takes the helper with it.
TEST_F(QueltVoiceOnASoundServer, CtrlCStopsTheCaptureAndLeavesNoHelper) {
  for (bool microphone : {true, false}) {
    std::vector<std::string> command = {QUELT_CLIENT_PATH, "--json"};
    if (microphone)
      command.insert(command.end(), {"listen", "--device", micSourceName});
    else
      command.insert(command.end(),
                     {"transcribe", "--realtime", fixtures + "/sentences-16k-mono.wav"});
    HelperProcess process(command);
    bool listening = false;
    while (auto line = process.next(30s))
      if ((listening = line->value("event", "") == "capture.listening"))
        break;
    ASSERT_TRUE(listening);
    if (microphone) {
      std::ofstream fifo(fifoPath(), std::ios::binary);
      fifo << std::string(32000, '\0'); // a second of silence recorded
    }
    pid_t helper = childOf(process.pid());
    ASSERT_GT(helper, 0);
    ::kill(process.pid(), SIGINT);
    std::string last;
    while (auto line = process.next(30s))
      last = line->value("event", last);
    EXPECT_EQ(last, "capture.stopped");
    auto status = process.waitStatus(30s);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), microphone ? 0 : 130);
    EXPECT_TRUE(gone(helper));
  }
}

} // namespace
} // namespace quelt::testing
