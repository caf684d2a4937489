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

} // namespace

RequestRig::RequestRig()
    : clock_(std::make_shared<fakes::VirtualClock>(
          [main = main_](std::function<void()> block) { asio::post(*main, std::move(block)); })) {
  Worker::shared(); // made before any input's threads are counted, and kept
  fakes_.authorization->microphoneAnswer = 3;
  fakes_.authorization->speechAnswer = 3;
  fakes_.audioInput->devices["mic"] = {16000, 1, SampleFormat::float32, false};
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
// Lets everything under way finish, then shuts down as the end of input would.
void RequestRig::finish() {
  if (!exited_) {
    settle();
    // The user answers any prompt still up, as they would in the end.
    fakes_.authorization->answerMicrophone(fakes_.authorization->microphone, false);
    fakes_.authorization->answerSpeech(fakes_.authorization->speech, fakes_.authorization->speech);
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
