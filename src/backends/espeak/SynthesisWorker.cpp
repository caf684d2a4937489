// The worker side of synthesis: espeak-ng in a process of its own (see SynthesisWorker.h).

#include "espeak/SynthesisWorker.h"
#include "platform/EngineModule.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <nlohmann/json.hpp>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace quelt {
namespace {

using Json = nlohmann::json;

constexpr const char* defaultVoiceName = "en";

// "en-us" -> "en-US": a two-letter region after the language, as BCP-47 writes it.
std::string tagFor(const std::string& language) {
  std::string tag = language;
  size_t dash = tag.find('-');
  if (dash == std::string::npos)
    return tag;
  size_t end = tag.find('-', dash + 1);
  size_t length = (end == std::string::npos ? tag.size() : end) - dash - 1;
  if (length == 2) {
    auto region = tag.begin() + static_cast<ptrdiff_t>(dash + 1);
    std::transform(region, region + 2, region, [](char c) {
      return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
  }
  return tag;
}

std::string trimmed(const char* text) {
  std::string value = text ? text : "";
  size_t first = value.find_first_not_of(' ');
  size_t last = value.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

// The helper reads frames until the end of a job; a helper that has gone has nobody to read.
void writeAll(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = ::write(STDOUT_FILENO, bytes, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      ::_exit(0);
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

void sendFrame(WorkerFrame type, const void* payload, size_t size) {
  char header[workerFrameHeader];
  header[0] = static_cast<char>(type);
  auto length = static_cast<uint32_t>(size);
  for (int i = 0; i < 4; ++i)
    header[1 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
  writeAll(header, sizeof(header));
  if (size > 0)
    writeAll(payload, size);
}

Json voiceList() {
  Json voices = Json::array();
  const espeak_VOICE** list = espeak_ListVoices(nullptr);
  for (; list && *list; ++list) {
    const espeak_VOICE& voice = **list;
    if (!voice.identifier || !voice.languages)
      continue;
    std::string name = trimmed(voice.name);
    bool first = true;
    // [priority byte][language NUL] pairs, up to a priority of 0.
    for (const char* entry = voice.languages; *entry; entry += std::strlen(entry + 1) + 2) {
      std::string language = entry + 1;
      std::string tag = tagFor(language);
      // Further languages of the same voice say which they are, to tell them apart.
      voices.push_back({{"file", voice.identifier},
                        {"language", language},
                        {"tag", tag},
                        {"priority", static_cast<unsigned char>(entry[0])},
                        {"name", first ? name : name + " (" + tag + ")"},
                        {"gender", voice.gender == 1 || voice.gender == 2 ? voice.gender : 0}});
      first = false;
    }
  }
  return voices;
}

void selectVoice(const Json& job) {
  const Json& file = job["voice"];
  if (file.is_string() && espeak_SetVoiceByName(file.get<std::string>().c_str()) == EE_OK)
    return;
  // A voice from elsewhere: the closest espeak-ng has for its language.
  const Json& language = job["language"];
  if (language.is_string() && !language.get<std::string>().empty()) {
    std::string wanted = language.get<std::string>();
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    espeak_VOICE properties{};
    properties.languages = wanted.c_str();
    if (espeak_SetVoiceByProperties(&properties) == EE_OK)
      return;
  }
  espeak_SetVoiceByName(defaultVoiceName);
}

// Where each code point of the UTF-8 text starts in UTF-16 code units, and the total at the end:
// espeak-ng counts code points, the helper's ranges count UTF-16 units.
std::vector<int64_t> utf16Offsets(const std::string& text) {
  std::vector<int64_t> offsets{0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  for (int32_t at = 0; at < length;) {
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    offsets.push_back(offsets.back() + (c < 0 ? 1 : U16_LENGTH(c)));
  }
  return offsets;
}

struct Job {
  int rate = 0;
  bool words = false;
  std::vector<int64_t> offsets;
};
Job* current = nullptr;

int onSynth(short* samples, int count, espeak_EVENT* events) {
  if (!samples || !current)
    return 0;
  for (; events && events->type != espeakEVENT_LIST_TERMINATED; ++events) {
    if (!current->words || events->type != espeakEVENT_WORD)
      continue;
    const auto& offsets = current->offsets;
    int64_t characters = static_cast<int64_t>(offsets.size()) - 1;
    int64_t start = std::clamp<int64_t>(int64_t{events->text_position} - 1, 0, characters);
    int64_t end = std::clamp<int64_t>(start + std::max(events->length, 0), start, characters);
    int64_t word[3] = {int64_t{events->audio_position} * current->rate / 1000,
                       offsets[static_cast<size_t>(start)],
                       offsets[static_cast<size_t>(end)] - offsets[static_cast<size_t>(start)]};
    sendFrame(WorkerFrame::word, word, sizeof(word));
  }
  if (count > 0)
    sendFrame(WorkerFrame::audio, samples, static_cast<size_t>(count) * sizeof(short));
  return 0;
}

[[noreturn]] void serve() {
  espeak_ng_InitializePath(nullptr);
  espeak_ng_ERROR_CONTEXT context = nullptr;
  int rate = 0;
  if (espeak_ng_Initialize(&context) == ENS_OK &&
      espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 50, nullptr) == ENS_OK)
    rate = espeak_ng_GetSampleRate();
  espeak_ng_ClearErrorContext(&context);
  const char* data = nullptr;
  espeak_Info(&data);
  Json hello = {{"rate", rate},
                {"data", data ? data : ""},
                {"voices", rate > 0 ? voiceList() : Json::array()}};
  std::string helloText = hello.dump();
  sendFrame(WorkerFrame::hello, helloText.data(), helloText.size());
  espeak_SetSynthCallback(&onSynth);

  std::string line;
  while (std::getline(std::cin, line)) {
    Json request = Json::parse(line, nullptr, false);
    if (!request.is_object() || !request["text"].is_string() || rate == 0) {
      char refused = 0;
      sendFrame(WorkerFrame::end, &refused, 1);
      continue;
    }
    std::string text = request["text"].get<std::string>();
    Job job{rate, request.value("words", false), utf16Offsets(text)};
    // espeak-ng reads a C string: a NUL in the text would end it there. A space in its place
    // keeps every later character where the ranges expect it.
    std::replace(text.begin(), text.end(), '\0', ' ');
    selectVoice(request);
    espeak_SetParameter(espeakRATE, request.value("rate", espeakRATE_NORMAL), 0);
    espeak_SetParameter(espeakPITCH, request.value("pitch", 50), 0);
    espeak_SetParameter(espeakVOLUME, request.value("volume", 100), 0);
    current = &job;
    espeak_ERROR result = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                       espeakCHARS_UTF8, nullptr, nullptr);
    current = nullptr;
    char whole = result == EE_OK ? 1 : 0;
    sendFrame(WorkerFrame::end, &whole, 1);
  }
  // The helper closed our input: it is done with us.
  ::_exit(0);
}

} // namespace

void runSynthesisWorkerIfAsked(int argc, char** argv) {
  if (argc < 2 || argv[1] != synthesisWorkerMode)
    return;
  // A worker whose helper has gone has nobody to answer.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc != 3 || std::to_string(::getppid()) != argv[2])
    ::_exit(1);
  std::signal(SIGPIPE, SIG_IGN);
  // espeak-ng opens an audio device as its output starts, whatever the output mode, with
  // libpulse's 30 s timeouts on a sound server that does not answer. The helper plays the audio
  // itself, so the worker asks a server that is certain not to be there.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quelt-voice-helper", 1);
  serve();
}

} // namespace quelt
