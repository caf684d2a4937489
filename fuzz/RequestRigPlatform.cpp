// What happens on the platform side of the rig: the "!" commands, and the notes of what the
// platform was asked.

#include "RequestRig.h"

#include "engines/SegmentEngine.h"

#include <asio/post.hpp>

namespace quelt::fuzz {
namespace {

const AudioFormat microphoneFormats[] = {
    {16000, 1, SampleFormat::float32, false}, {48000, 2, SampleFormat::int16, true},
    {44100, 2, SampleFormat::float32, false}, {8000, 1, SampleFormat::int16, true},
    {0, 1, SampleFormat::float32, false},     {22050, 0, SampleFormat::float32, false},
};

// Platform errors a recognizer may report: the end-of-speech ones, a network one, another.
const PlatformError recognitionErrors[] = {
    {"kLSRErrorDomain", 301, "speech ended"},
    {"kAFAssistantErrorDomain", 1110, "no speech detected"},
    {"kAFAssistantErrorDomain", 1107, "connection lost"},
    {"NSURLErrorDomain", -1009, "offline"},
    {"fake", 7, "it broke"},
};

std::optional<int64_t> numberAfter(std::string_view text) {
  int64_t value = 0;
  bool any = false;
  for (char c : text) {
    if (c < '0' || c > '9')
      break;
    value = value * 10 + (c - '0');
    if (value > 1000000)
      return std::nullopt;
    any = true;
  }
  return any ? std::optional(value) : std::nullopt;
}

// Audio a microphone might deliver, in whichever layout its format has.
PcmBuffer microphoneAudio(const AudioFormat& format, uint32_t frames) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  for (uint32_t plane = 0; plane < format.planes(); ++plane) {
    auto floats = buffer.floatPlane(plane);
    for (size_t i = 0; i < floats.size(); ++i)
      floats[i] = static_cast<float>(i % 64) / 32.0f - 1.0f;
    auto ints = buffer.int16Plane(plane);
    for (size_t i = 0; i < ints.size(); ++i)
      ints[i] = static_cast<int16_t>(i * 997);
  }
  return buffer;
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> words;
  for (size_t at = 0; at < text.size();) {
    size_t end = std::min(text.find(' ', at), text.size());
    if (end > at)
      words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

} // namespace

// What the platform was asked, as "= " lines: for a transcript, which sees only the output.
void RequestRig::note(char what) {
  notes_ = takeOutput();
  auto say = [this](std::string line) { notes_.push_back("= " + std::move(line)); };
  auto number = [](const std::optional<float>& value) {
    if (!value)
      return std::string("-");
    std::string text = std::to_string(*value);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.')
      text.pop_back();
    return text;
  };
  switch (what) {
  case 's': // the spoken queue's synthesizer: what it was asked since the last note, then what
            // it was given to speak
    if (auto synthesizer = fakes_.synthesizer->synthesizer(0)) {
      auto requests = synthesizer->requests();
      for (; requestsNoted_ < requests.size(); ++requestsNoted_)
        say(requests[requestsNoted_]);
      auto spoken = synthesizer->spokenUtterances();
      for (; utterancesNoted_ < spoken.size(); ++utterancesNoted_) {
        const auto& utterance = *spoken[utterancesNoted_];
        std::string text = utterance.text;
        if (text.size() > 40) {
          size_t cut = 20;
          while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut; // not inside a character
          text = text.substr(0, cut) + "… (" + std::to_string(text.size()) + " bytes)";
        }
        say("speak \"" + text + "\" voice " +
            (utterance.voice ? utterance.voice->identifier : "-") + " rate " +
            number(utterance.rate) + " pitch " + number(utterance.pitch) + " volume " +
            number(utterance.volume));
      }
    }
    return;
  case 'r': // every recognition so far: how it was set up and how far it got
    for (size_t k = 0; auto task = fakes_.recognizer->task(k); ++k) {
      const auto& settings = task->settings;
      std::string strings;
      for (const auto& text : settings.contextualStrings)
        strings += (strings.empty() ? "" : ",") + text;
      say("recognition " + std::to_string(k) +
          (settings.requiresOnDeviceRecognition ? " on-device" : " server-allowed") +
          (settings.addsPunctuation ? " punctuation" : "") +
          (strings.empty() ? "" : " strings " + strings) + " frames " +
          std::to_string(task->appendedFrames) + " ended " + std::to_string(task->endAudioCalls) +
          " cancelled " + std::to_string(task->cancelCalls));
    }
    return;
  case 'a': // how often the user was asked for a permission
    say("prompts " + std::to_string(fakes_.authorization->prompts));
    return;
  case 'd': // how many analyzer assets were downloaded
    say("downloads " + std::to_string(fakes_.transcriber->downloads));
    return;
  }
}

void RequestRig::act(std::string_view command) {
  if (command.empty())
    return;
  // "!?" is handled by line(), also after the end.
  char what = command.front();
  std::string_view rest = command.substr(1);
  auto number = numberAfter(rest);
  size_t space = rest.find(' ');
  std::string text(space == std::string_view::npos ? "" : rest.substr(space + 1));
  switch (what) {
  case 'w': // every waiting task, and what they start
    settle();
    return;
  case 'o': // the oldest waiting task only
    runTask();
    return;
  case 't': // the finalisation timeout passes
    clock_->advance(finalizeTimeout);
    break;
  case 'a': // the newest microphone delivers a buffer
    if (auto* input = fakes_.audioInput->latest(); input && input->isRunning())
      input->deliver(microphoneAudio(input->outputFormat(), static_cast<uint32_t>(std::min<int64_t>(
                                                                number.value_or(1600), 96000))));
    break;
  case 'v': // the newest microphone goes away
    if (auto* input = fakes_.audioInput->latest())
      input->vanish();
    break;
  case 'p': // recognition task k reports a partial, a final or an error
  case 'f':
  case 'e':
    recognize(what, static_cast<size_t>(number.value_or(0)), text);
    break;
  case 's': // the spoken queue's synthesizer reports on one of its utterances
    speak(rest);
    break;
  case 'r': // render k gets audio, its end, or a block that is not PCM
    render(rest);
    break;
  case 'x': // end of input, or the parent's exit
    asio::post(*main_, [server = server_] { server->shutdown(0); });
    break;
  case 'g': // the microphone's format
    fakes_.audioInput->devices["mic"] =
        microphoneFormats[number.value_or(0) % std::size(microphoneFormats)];
    return;
  case 'n': // no microphone at all, or one again
    std::swap(fakes_.hardware->devices, spareDevices_);
    return;
  case 'i': // the input will not start
    fakes_.audioInput->startFails = !fakes_.audioInput->startFails;
    return;
  case 'm': // a system with the analyzer, which has French and Japanese installed
    fakes_.process->os = {"macOS", 26, 0, 0};
    fakes_.transcriber->supported = {"ja-JP", "EN-us", "fr-FR", "JA-jp", "it-IT"};
    fakes_.transcriber->installed = {"ja-JP", "fr-FR"};
    return;
  case 'u': // the recognizer is unavailable, or available again
    fakes_.recognizer->recognizers["en-US"].available ^= true;
    return;
  case 'b': // recognitions fail to start, or start again
    fakes_.recognizer->startFails = !fakes_.recognizer->startFails;
    return;
  case 'z': { // permissions: states and prompt answers, one digit each
    auto& authorization = *fakes_.authorization;
    std::atomic<int64_t>* fields[] = {&authorization.microphone, &authorization.speech,
                                      &authorization.microphoneAnswer, &authorization.speechAnswer};
    for (size_t i = 0; i < rest.size() && i < std::size(fields); ++i)
      if (rest[i] >= '0' && rest[i] <= '9')
        *fields[i] = rest[i] - '0';
      else if (rest[i] == 'u') // a prompt waits for "!y"
        *fields[i] = fakes::FakeAuthorization::unanswered;
    return;
  }
  case 'y': // the user answers a prompt: "m" or "s", the new state, then what the callback claims
    if (rest.size() == 3 && rest[0] == 'm')
      fakes_.authorization->answerMicrophone(rest[1] - '0', rest[2] == '1');
    else if (rest.size() == 3 && rest[0] == 's')
      fakes_.authorization->answerSpeech(rest[1] - '0', rest[2] - '0');
    break;
  case 'l': // the user's locale, then their preferred languages
    if (auto words = split(rest); !words.empty()) {
      fakes_.process->locale = words.front();
      fakes_.process->languages.assign(words.begin() + 1, words.end());
    }
    return;
  case 'd': // downloads of analyzer assets fail, or work again
    fakes_.transcriber->downloadError =
        fakes_.transcriber->downloadError
            ? std::nullopt
            : std::optional(PlatformError("Speech", 7, "download interrupted"));
    return;
  case 'j': // the analyzer's asset inventory cannot be had, or can again
    fakes_.transcriber->inventoryError =
        fakes_.transcriber->inventoryError
            ? std::nullopt
            : std::optional(PlatformError("Speech", 9, "no inventory"));
    return;
  default:
    return;
  }
  serveMain();
}

void RequestRig::recognize(char what, size_t index, const std::string& text) {
  auto task = fakes_.recognizer->task(index);
  if (!task)
    return;
  if (what != 'p')
    concluded_.insert(index);
  if (what == 'p')
    task->emitPartial(text);
  else if (what == 'f')
    task->emitFinal(text, std::vector<float>(text.size() % 4, 0.5f));
  else {
    const PlatformError& error = recognitionErrors[text.size() % std::size(recognitionErrors)];
    task->emitError(error.domain(), error.code(), error.description());
  }
}

void RequestRig::speak(std::string_view command) {
  auto synthesizer = fakes_.synthesizer->synthesizer(0);
  if (command.empty() || !synthesizer)
    return;
  auto index = static_cast<size_t>(numberAfter(command.substr(1)).value_or(0));
  if (index >= synthesizer->spokenUtterances().size() && command.front() != 'k')
    return;
  using Report = fakes::FakeSpeechSynthesizer::Report;
  switch (command.front()) {
  case 's':
    return synthesizer->report(Report::started, index);
  case 'p':
    return synthesizer->report(Report::paused, index);
  case 'r':
    return synthesizer->report(Report::resumed, index);
  case 'f':
    return synthesizer->report(Report::finished, index);
  case 'c':
    return synthesizer->report(Report::cancelled, index);
  case 'g':
    return synthesizer->reportRange(index, static_cast<int64_t>(command.size()), 3);
  case 'k': // pause and continue are refused, or accepted again
    synthesizer->answer = !synthesizer->answer;
    return;
  }
}

void RequestRig::render(std::string_view command) {
  auto index = static_cast<size_t>(numberAfter(command).value_or(1));
  auto synthesizer = index > 0 ? fakes_.synthesizer->synthesizer(index) : nullptr;
  if (!synthesizer || !synthesizer->rendered)
    return;
  char kind = command.empty() ? 'a' : command.back();
  if (kind == 'n') {
    synthesizer->deliver(nullptr);
    return;
  }
  AudioFormat format = kind == 'f' ? AudioFormat{24000, 2, SampleFormat::float32, false}
                                   : AudioFormat{22050, 1, SampleFormat::int16, true};
  PcmBuffer buffer(format, 512);
  buffer.setFrameLength(kind == 'e' ? 0 : 512);
  synthesizer->deliver(&buffer);
}

} // namespace quelt::fuzz
