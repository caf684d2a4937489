// Request lines through a real Server and every op, on the fake platform services.
//
// The input is lines. Most reach the server as lines from standard input would; a line that
// starts with "!" is something else happening instead: a task getting to run, the platform
// answering, time passing, the parent going away (the table in `act`). Tasks run only when the
// input says so, one at a time, so an input replays the same interleaving on every run.
//
// After the input, the rig lets everything finish (tasks, renders, the finalisation timer),
// shuts the server down and checks what a parent relies on: every output line is one JSON
// object; each request with an id is answered exactly once; a capture id does not listen again
// before its session ended, every session that listened ends, none ends twice or speaks after
// its end; no utterance ends twice; and every recognition the helper started was given its end
// of audio or cancelled, so none is left holding an engine.

#include "app/Startup.h"
#include "engines/SegmentEngine.h"
#include "fakes/FakePlatform.h"
#include "fakes/VirtualClock.h"
#include "protocol/Identity.h"
#include "protocol/JsonLine.h"
#include "protocol/LineFraming.h"
#include "protocol/Server.h"
#include "speech/FileRenderer.h"

#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <set>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace quelt;

[[noreturn]] void violated(const std::string& what, const std::string& detail) {
  std::fprintf(stderr, "invariant violated: %s\n%s\n", what.c_str(), detail.c_str());
  std::abort();
}

// The main queue, with a way to drop the blocks still waiting once the server has ended, as the
// end of the process would.
class MainQueue : public asio::io_context {
public:
  MainQueue() : asio::io_context(1) {}
  using asio::io_context::shutdown;
};

// Answers every prompt at once with the answer the input chose.
class InstantAuthorization : public Authorization {
public:
  std::atomic<int64_t> microphone = 3;
  std::atomic<int64_t> speech = 3;
  std::atomic<int64_t> microphoneAnswer = 3;
  std::atomic<int64_t> speechAnswer = 3;

  int64_t microphoneStatus() override { return microphone; }
  int64_t speechStatus() override { return speech; }
  void requestMicrophoneAccess(std::function<void(bool)> done) override {
    microphone = microphoneAnswer.load();
    done(microphone == 3);
  }
  void requestSpeechAuthorization(std::function<void(int64_t)> done) override {
    speech = speechAnswer.load();
    done(speech);
  }
};

// Microphones whose inputs the rig feeds; it keeps track of which inputs still exist.
class Microphones : public AudioInputService {
public:
  class Input : public AudioInput {
  public:
    explicit Input(Microphones& owner) : owner_(owner) {}
    ~Input() override { owner_.forget(this); }
    int32_t selectDevice(const InputDeviceInfo&) override {
      format_ = owner_.format;
      return 0;
    }
    AudioFormat outputFormat() override { return format_; }
    void installTap(uint32_t, std::function<void(const PcmBuffer&)> onBuffer) override {
      tap_ = std::move(onBuffer);
    }
    void removeTap() override { tap_ = nullptr; }
    void setConfigurationChangeHandler(std::function<void()> onChange) override {
      onChange_ = std::move(onChange);
    }
    void start() override {
      if (owner_.startFails)
        throw PlatformError("fake", 561017449, "the input would not start");
      running_ = true;
    }
    void stop() override { running_ = false; }
    bool isRunning() override { return running_; }

    void deliver(uint32_t frames) {
      if (!tap_ || !running_)
        return;
      PcmBuffer buffer(format_, frames);
      buffer.setFrameLength(frames);
      uint32_t planes = format_.planes();
      for (uint32_t plane = 0; plane < planes; ++plane) {
        auto floats = buffer.floatPlane(plane);
        for (size_t i = 0; i < floats.size(); ++i)
          floats[i] = static_cast<float>(i % 64) / 32.0f - 1.0f;
        auto ints = buffer.int16Plane(plane);
        for (size_t i = 0; i < ints.size(); ++i)
          ints[i] = static_cast<int16_t>(i * 997);
      }
      tap_(buffer);
    }
    void vanish() {
      running_ = false;
      if (onChange_)
        onChange_();
    }

  private:
    Microphones& owner_;
    AudioFormat format_;
    std::function<void(const PcmBuffer&)> tap_;
    std::function<void()> onChange_;
    bool running_ = false;
  };

  AudioFormat format{16000, 1, SampleFormat::float32, false};
  bool startFails = false;

  std::unique_ptr<AudioInput> makeInput() override {
    auto input = std::make_unique<Input>(*this);
    std::lock_guard lock(mutex_);
    live_.push_back(input.get());
    return input;
  }
  Input* newest() {
    std::lock_guard lock(mutex_);
    return live_.empty() ? nullptr : live_.back();
  }

private:
  void forget(Input* input) {
    std::lock_guard lock(mutex_);
    live_.erase(std::remove(live_.begin(), live_.end(), input), live_.end());
  }

  std::mutex mutex_;
  std::vector<Input*> live_;
};

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

// Tasks wait here until the input lets one run.
class Tasks {
public:
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  std::function<void()> take() {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
      return nullptr;
    auto task = std::move(queue_.front());
    queue_.pop_front();
    return task;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }

private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
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

class Rig {
public:
  Rig() {
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
    fakes_.synthesizer->defaultVoice = fakes_.synthesizer->installed.front();

    Platform platform = fakes_.platform();
    platform.authorization = authorization_;
    platform.audioInput = microphones_;

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
    server_ = makeHelper(platform, std::move(options));
  }

  ~Rig() {
    discardPending();
    server_.reset();
    ::close(output_);
    ::close(errors_);
  }

  void line(std::string text) {
    if (exited_)
      return;
    if (!text.empty() && text.front() == '!') {
      act(std::string_view(text).substr(1));
      return;
    }
    if (text.size() <= maxLineBytes) {
      auto admitted = admit(replaceInvalidUtf8(std::move(text)));
      if (!admitted)
        return;
      text = std::move(*admitted);
    }
    asio::post(*main_, [server = server_, text = std::move(text)] { server->handle(text); });
    serveMain();
  }

  // Lets everything under way finish, then shuts down as the end of input would.
  void finish() {
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
      checkEveryRequestAnswered();
    }
    if (!exited_)
      violated("the shutdown sequence did not end the server", "");
    if (std::getenv("QUELT_FUZZ_TRACE"))
      std::fprintf(stderr, "%s", transcript().c_str());
    checkOutput();
    discardPending();
    checkRecognitionsEnded();
  }

private:
  // What the end of the process discards: blocks never run, tasks never started, renders
  // never finished.
  void discardPending() {
    tasks_.clear();
    main_->shutdown();
    FileRenderer::active().clear();
  }

  // Once the server has ended, nothing more runs on its main queue, as in the real process.
  void serveMain() {
    if (!exited_)
      main_->poll();
  }

  // Runs the oldest waiting task on the worker thread, serving the main queue meanwhile, as a
  // task may wait for a block it posted there.
  bool runTask() {
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

  void settle() {
    while (!exited_ && runTask()) {
    }
    serveMain();
  }

  void act(std::string_view command) {
    if (command.empty())
      return;
    char what = command.front();
    std::string_view rest = command.substr(1);
    auto number = numberAfter(rest);
    std::string text(rest.substr(std::min(rest.find(' '), rest.size())));
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
      if (auto* input = microphones_->newest())
        input->deliver(static_cast<uint32_t>(std::min<int64_t>(number.value_or(1600), 96000)));
      break;
    case 'v': // the newest microphone goes away
      if (auto* input = microphones_->newest())
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
      microphones_->format = microphoneFormats[number.value_or(0) % std::size(microphoneFormats)];
      return;
    case 'n': // no microphone at all, or one again
      std::swap(fakes_.hardware->devices, spareDevices_);
      return;
    case 'i': // the input will not start
      microphones_->startFails = !microphones_->startFails;
      return;
    case 'u': // the recognizer is unavailable, or available again
      fakes_.recognizer->recognizers["en-US"].available ^= true;
      return;
    case 'z': { // permissions: states and prompt answers, one digit each
      std::atomic<int64_t>* fields[] = {&authorization_->microphone, &authorization_->speech,
                                        &authorization_->microphoneAnswer,
                                        &authorization_->speechAnswer};
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

  void recognize(char what, size_t index, const std::string& text) {
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

  void speak(std::string_view command) {
    auto synthesizer = fakes_.synthesizer->synthesizer(0);
    if (command.empty() || !synthesizer)
      return;
    auto index = static_cast<size_t>(numberAfter(command.substr(1)).value_or(0));
    if (index >= synthesizer->spokenUtterances().size())
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
    }
  }

  void render(std::string_view command) {
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

  // Notes what the request asks for, and keeps renders inside a scratch directory: the render
  // op replaces the file at its path. Reads in place, as copies of deep values recurse.
  std::optional<std::string> admit(std::string text) {
    // Read as the server reads it: a NUL byte anywhere spoils the line there too.
    Json request = parseJsonLine(text);
    auto id =
        request.is_object() && request.contains("id") ? integerValue(request["id"]) : std::nullopt;
    if (!id)
      return text;
    ++requests_[*id];
    auto op = request.find("op");
    auto params = request.find("params");
    if (op == request.end() || !op->is_string() || params == request.end() || !params->is_object())
      return text;
    auto read = [&](const char* key) -> std::optional<int64_t> {
      auto found = params->find(key);
      return found == params->end() ? std::nullopt : integerValue(*found);
    };
    if (*op == "capture.start")
      if (auto capture = read("capture"))
        ++captureStarts_[*capture];
    if (*op == "speech.speak")
      if (auto utterance = read("utterance"))
        ++speakRequests_[*utterance];
    auto path = params->find("path");
    if (*op != "speech.synthesize_file" || path == params->end() || !path->is_string() ||
        path->get_ref<const std::string&>().rfind('/', 0) != 0)
      return text;
    if (text.size() > 4096) {
      --requests_[*id]; // too deep to rewrite safely: not sent
      return std::nullopt;
    }
    *path = scratchPath(path->get<std::string>());
    return request.dump(-1, ' ', false, Json::error_handler_t::replace);
  }

  // A few files in a directory of this process's own, the extension kept since it picks the
  // container; a path ending in "/" names the directory itself.
  static std::string scratchPath(const std::string& path) {
    static const std::string directory = [] {
      char name[] = "/tmp/quelt-fuzz-XXXXXX";
      if (!::mkdtemp(name))
        violated("no scratch directory", "");
      return std::string(name);
    }();
    if (path.back() == '/')
      return directory + "/";
    size_t dot = path.rfind('.');
    std::string extension = dot == std::string::npos ? "" : path.substr(dot, 6);
    if (extension.find('/') != std::string::npos)
      extension.clear();
    return directory + "/" + std::to_string(std::hash<std::string>()(path) % 4) + extension;
  }

  std::vector<std::string> outputLines() {
    std::string all;
    char chunk[65536];
    ssize_t count;
    for (off_t at = 0; (count = ::pread(output_, chunk, sizeof chunk, at)) > 0; at += count)
      all.append(chunk, static_cast<size_t>(count));
    std::vector<std::string> lines;
    for (size_t start = 0; start < all.size();) {
      size_t end = all.find('\n', start);
      if (end == std::string::npos)
        violated("an output line without its line feed", all.substr(start));
      lines.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  std::map<int64_t, int> replies() {
    std::map<int64_t, int> counted;
    for (const auto& text : outputLines()) {
      Json message = Json::parse(text, nullptr, false);
      if (message.contains("id") && message["id"].is_number_integer())
        ++counted[message["id"].get<int64_t>()];
    }
    return counted;
  }

  void checkEveryRequestAnswered() {
    auto answered = replies();
    for (const auto& [id, count] : requests_)
      if (answered[id] != count)
        violated("request " + std::to_string(id) + " was answered " + std::to_string(answered[id]) +
                     " times, asked " + std::to_string(count),
                 transcript());
  }

  // What the server wrote, for the report of a violation.
  std::string transcript() {
    std::string all;
    for (const auto& line : outputLines())
      all += line + "\n";
    return all;
  }

  void checkOutput() {
    auto lines = outputLines();
    std::map<int64_t, int> answered, listening, ended, spoken, finishedSpeaking;
    std::map<int64_t, bool> open;
    for (const auto& text : lines) {
      Json message = Json::parse(text, nullptr, false);
      if (!message.is_object())
        violated("an output line is not a JSON object", text);
      if (message.contains("id")) {
        ++answered[message["id"].get<int64_t>()];
        continue;
      }
      if (!message.contains("event") || !message["event"].is_string())
        violated("an output line is neither a reply nor an event", text);
      std::string event = message["event"];
      if (event.rfind("capture.", 0) == 0) {
        int64_t capture = message.at("capture").get<int64_t>();
        if (event == "capture.listening") {
          // Only one session holds an id at a time: the one before must have ended.
          if (open[capture])
            violated("a capture listened again before it ended", text + "\n" + transcript());
          ++listening[capture];
          open[capture] = true;
        } else if (event == "capture.stopped" || event == "capture.cancelled" ||
                   event == "capture.failed") {
          ++ended[capture];
          open[capture] = false;
        } else if (!open[capture]) {
          violated("a capture event outside a listening session", text + "\n" + transcript());
        }
      } else if (event.rfind("speech.", 0) == 0) {
        int64_t utterance = message.at("utterance").get<int64_t>();
        if (!speakRequests_.count(utterance))
          violated("an event for an utterance never asked for", text);
        if (event == "speech.finished" || event == "speech.cancelled")
          ++finishedSpeaking[utterance];
      }
    }
    for (const auto& [id, count] : answered)
      if (count > requests_[id])
        violated("request " + std::to_string(id) + " was answered twice", transcript());
    for (const auto& [capture, count] : listening)
      if (ended[capture] < count)
        violated("capture " + std::to_string(capture) + " listened without ending", transcript());
    for (const auto& [capture, count] : ended)
      if (count > captureStarts_[capture])
        violated("capture " + std::to_string(capture) + " ended more often than it started",
                 transcript());
    for (const auto& [utterance, count] : finishedSpeaking)
      if (count > speakRequests_[utterance])
        violated("utterance " + std::to_string(utterance) + " ended twice", transcript());
  }

  // A recognition left running would hold its engine (a thread, a decoder) for good: once
  // the server has shut down, each one has been given its end of audio or cancelled, unless
  // the platform concluded it on its own.
  void checkRecognitionsEnded() {
    for (size_t k = 0; auto task = fakes_.recognizer->task(k); ++k)
      if (task->endAudioCalls == 0 && task->cancelCalls == 0 && !concluded_.count(k))
        violated("recognition " + std::to_string(k) + " was left running", transcript());
  }

  fakes::FakePlatform fakes_;
  std::set<size_t> concluded_;
  std::vector<fakes::FakeHardware::Device> spareDevices_;
  std::shared_ptr<InstantAuthorization> authorization_ = std::make_shared<InstantAuthorization>();
  std::shared_ptr<Microphones> microphones_ = std::make_shared<Microphones>();
  std::shared_ptr<MainQueue> main_ = std::make_shared<MainQueue>();
  std::shared_ptr<fakes::VirtualClock> clock_ = std::make_shared<fakes::VirtualClock>(
      [main = main_](std::function<void()> block) { asio::post(*main, std::move(block)); });
  Tasks tasks_;
  int output_ = -1;
  int errors_ = -1;
  std::atomic<bool> exited_ = false;
  std::shared_ptr<Server> server_;
  std::map<int64_t, int> requests_;
  std::map<int64_t, int> captureStarts_;
  std::map<int64_t, int> speakRequests_;
};

size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    count += entry.is_directory() ? 1 : 0;
  return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Worker::shared();
  {
    Rig rig;
    LineSplitter lines([&rig](std::string line) { rig.line(std::move(line)); });
    lines.feed({reinterpret_cast<const char*>(data), size});
    lines.finish();
    rig.finish();
  }
  // Every thread an input started has ended by now, or is about to: the server's writer was
  // joined with the server, the platform's callbacks as they returned, and the detached ones (a
  // file's delivery, an analyzer's results) let go of everything and only have to return. Only
  // the task worker stays.
  static const size_t threadsAfterFirstInput = threadCount();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (threadCount() > threadsAfterFirstInput && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (threadCount() > threadsAfterFirstInput)
    violated("a thread outlived its input", std::to_string(threadCount()) + " threads");
  return 0;
}
