#include "RequestRig.h"

#include "app/Startup.h"
#include "engines/SegmentEngine.h"
#include "protocol/Identity.h"
#include "protocol/LineFraming.h"
#include "speech/FileRenderer.h"

#include <asio/post.hpp>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

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

// The thread tasks run on, one at a time, kept from one input to the next: a thread made and
// ended per task would cost more than the task.
class Worker {
public:
  static Worker& shared() {
    static auto* worker = new Worker;
    return *worker;
  }
  void run(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
    wake_.notify_one();
  }

private:
  Worker() {
    std::thread([this] {
      for (;;) {
        std::function<void()> job;
        {
          std::unique_lock lock(mutex_);
          wake_.wait(lock, [this] { return job_ != nullptr; });
          job = std::exchange(job_, nullptr);
        }
        job();
      }
    }).detach();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;
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

} // namespace

RequestRig::RequestRig()
    : clock_(std::make_shared<fakes::VirtualClock>(
          [main = main_](std::function<void()> block) { asio::post(*main, std::move(block)); })) {
  Worker::shared(); // made before any input's threads are counted, and kept
  fakes_.authorization->microphoneAnswer = 3;
  fakes_.authorization->speechAnswer = 3;
  fakes_.audioInput->devices["mic"] = microphoneFormats[0];
  fakes_.hardware->devices = {{.id = 7,
                               .inputBuffers = {1},
                               .uid = std::optional<std::string>("mic"),
                               .name = std::optional<std::string>("Desk Mic"),
                               .manufacturer = "Quelt",
                               .sampleRate = 16000.0,
                               .transport = 0x75736220}};
  fakes_.hardware->defaultDevice = 7;
  fakes_.recognizer->supported = {"en-US", "fr-FR", "de"};
  fakes_.recognizer->recognizers = {{"en-US", {true, true}}, {"fr-FR", {false, true}}};
  fakes_.synthesizer->installed = {{"v.ava", "Ava", "en-US", 2, 2, 0},
                                   {"v.tom", "Tom", "en-US", 1, 1, 0},
                                   {"v.amelie", "Amélie", "fr-FR", 3, 2, 0},
                                   {"v.bells", "Bells", "en-US", 1, 0, 1}};
  fakes_.audio->files["/a.wav"] = {{16000, 1, SampleFormat::float32, false}, 1600};
  fakes_.synthesizer->defaultVoice = fakes_.synthesizer->installed.front();

  output_ = ::memfd_create("stdout", MFD_CLOEXEC);
  errors_ = ::memfd_create("stderr", MFD_CLOEXEC);
  ServerOptions options;
  options.inputFd = -1;
  options.outputFd = output_;
  options.errorFd = errors_;
  options.mainContext = main_;
  options.clock = clock_;
  options.exitProcess = [this](int) { exited_ = true; };
  options.taskExecutor = [this](std::function<void()> task) { tasks_.post(std::move(task)); };
  server_ = makeHelper(fakes_.platform(), std::move(options));
}

RequestRig::~RequestRig() {
  discardPending();
  server_.reset();
  ::close(output_);
  ::close(errors_);
}

void RequestRig::line(std::string text) {
  if (text.starts_with("!?")) {
    note(text.size() > 2 ? text[2] : ' ');
    return;
  }
  if (exited_)
    return;
  if (!text.empty() && text.front() == '!') {
    act(std::string_view(text).substr(1));
    return;
  }
  if (text.size() <= maxLineBytes) {
    auto admitted = ledger_.admit(replaceInvalidUtf8(std::move(text)));
    if (!admitted)
      return;
    text = std::move(*admitted);
  }
  asio::post(*main_, [server = server_, text = std::move(text)] { server->handle(text); });
  serveMain();
}

std::vector<std::string> RequestRig::takeOutput() {
  server_->drainOutput();
  auto lines = writtenLines(output_);
  auto fresh = std::exchange(notes_, {});
  fresh.insert(fresh.end(), lines.begin() + static_cast<std::ptrdiff_t>(taken_), lines.end());
  taken_ = lines.size();
  return fresh;
}

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
  }
}

// Lets everything under way finish, then shuts down as the end of input would.
void RequestRig::finish() {
  if (!exited_) {
    settle();
    for (size_t k = 1; auto synthesizer = fakes_.synthesizer->synthesizer(k); ++k)
      if (synthesizer->rendered) {
        PcmBuffer end(AudioFormat{22050, 1, SampleFormat::int16, true}, 1);
        synthesizer->deliver(&end);
      }
    settle();
    clock_->advance(finalizeTimeout);
    settle();
    asio::post(*main_, [server = server_] { server->shutdown(0); });
    serveMain();
    // The writer has drained by now: every reply queued so far is out.
    ledger_.checkEveryRequestAnswered(writtenLines(output_));
  }
  if (!exited_)
    violated("the shutdown sequence did not end the server", "");
  if (std::getenv("QUELT_FUZZ_TRACE"))
    std::fprintf(stderr, "%s", transcript(writtenLines(output_)).c_str());
  ledger_.checkOutput(writtenLines(output_));
  discardPending();
  checkRecognitionsEnded();
}

// What the end of the process discards: blocks never run, tasks never started, renders never
// finished.
void RequestRig::discardPending() {
  tasks_.clear();
  main_->shutdown();
  FileRenderer::active().clear();
}

// Once the server has ended, nothing more runs on its main queue, as in the real process.
void RequestRig::serveMain() {
  if (!exited_)
    main_->poll();
}

// Runs the oldest waiting task on the worker thread, serving the main queue meanwhile, as a task
// may wait for a block it posted there.
bool RequestRig::runTask() {
  auto task = tasks_.take();
  if (!task)
    return false;
  std::atomic<bool> done = false;
  Worker::shared().run([&] {
    task();
    task = nullptr; // what the task holds goes with it, on the worker
    done = true;
  });
  while (!done) {
    serveMain();
    std::this_thread::yield();
  }
  serveMain();
  return true;
}

void RequestRig::settle() {
  while (!exited_ && runTask()) {
  }
  serveMain();
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
  case 'm': // a system with the analyzer, which has French installed
    fakes_.process->os = {"macOS", 26, 0, 0};
    fakes_.transcriber->supported = {"fr-FR", "en-US"};
    fakes_.transcriber->installed = {"fr-FR"};
    return;
  case 'u': // the recognizer is unavailable, or available again
    fakes_.recognizer->recognizers["en-US"].available ^= true;
    return;
  case 'z': { // permissions: states and prompt answers, one digit each
    auto& authorization = *fakes_.authorization;
    std::atomic<int64_t>* fields[] = {&authorization.microphone, &authorization.speech,
                                      &authorization.microphoneAnswer, &authorization.speechAnswer};
    for (size_t i = 0; i < rest.size() && i < std::size(fields); ++i)
      if (rest[i] >= '0' && rest[i] <= '3')
        *fields[i] = rest[i] - '0';
    return;
  }
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

// A recognition left running would hold its engine (a thread, a decoder) for good: once the
// server has shut down, each one has been given its end of audio or cancelled, unless the
// platform concluded it on its own.
void RequestRig::checkRecognitionsEnded() {
  for (size_t k = 0; auto task = fakes_.recognizer->task(k); ++k)
    if (task->endAudioCalls == 0 && task->cancelCalls == 0 && !concluded_.count(k))
      violated("recognition " + std::to_string(k) + " was left running",
               transcript(writtenLines(output_)));
}

} // namespace quelt::fuzz
