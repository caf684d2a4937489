#include "SynthesisWorkers.h"

#include "WorkerJob.h"
#include "platform/PcmBuffer.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <thread>

namespace quelt {
namespace {

// For the end of a render that had no audio at all, whose rate nobody said.
constexpr int fallbackRate = 22050;
// Workers idle this long are let go; the next render starts another.
constexpr auto idleWorkerLifetime = std::chrono::seconds(60);
// How often the voice data on disk is looked at for changes, at most.
constexpr auto voiceDataCheckInterval = std::chrono::seconds(1);

} // namespace

SynthesisWorkers::SynthesisWorkers(std::string program, MakeAudioOutput makeOutput, Log log,
                                   std::chrono::milliseconds stallLimit)
    : program_(std::move(program)), makeOutput_(std::move(makeOutput)), log_(std::move(log)),
      stallLimit_(stallLimit), renderWorkers_(std::max(2u, std::thread::hardware_concurrency())) {
  auto logged = std::make_shared<std::atomic<bool>>(false);
  logOnce_ = [log = log_, logged](const std::string& message) {
    if (log && !logged->exchange(true))
      log(message);
  };
}

std::unique_ptr<AudioOutput> SynthesisWorkers::makeOutput() const {
  if (!makeOutput_)
    throw PlatformError("quelt", -1, "no audio output");
  return makeOutput_();
}

std::shared_ptr<const Catalogue> SynthesisWorkers::catalogue() {
  std::unique_lock lock(mutex_);
  if (catalogue_ && (loading_ || !stale()))
    return catalogue_;
  if (loading_) {
    loaded_.wait(lock, [this] { return !loading_; });
    return catalogue_;
  }
  loading_ = true;
  lock.unlock();
  auto fresh = std::make_shared<Catalogue>();
  try {
    auto worker = makeWorker();
    *fresh = catalogueFrom(worker->hello());
  } catch (const PlatformError& error) {
    log("speech synthesis unavailable: " + error.description());
  }
  fresh->signature = watchedSignature(fresh->watch);
  lock.lock();
  catalogue_ = fresh;
  checked_ = Clock::now();
  loading_ = false;
  loaded_.notify_all();
  return catalogue_;
}

void SynthesisWorkers::render(RenderJob job) {
  std::lock_guard lock(mutex_);
  renders_.push_back(std::move(job));
  if (idleRunners_ == 0 && runners_ < renderWorkers_) {
    ++runners_;
    std::thread([self = shared_from_this()] { self->runRenders(); }).detach();
  }
  work_.notify_one();
}

void SynthesisWorkers::stop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  work_.notify_all();
}

bool SynthesisWorkers::stale() {
  if (Clock::now() - checked_ < voiceDataCheckInterval)
    return false;
  checked_ = Clock::now();
  return catalogue_->voices.empty() || watchedSignature(catalogue_->watch) != catalogue_->signature;
}

void SynthesisWorkers::runRenders() {
  auto worker = makeWorker();
  for (;;) {
    RenderJob job;
    {
      std::unique_lock lock(mutex_);
      ++idleRunners_;
      bool woken = work_.wait_for(lock, idleWorkerLifetime,
                                  [this] { return stopping_ || !renders_.empty(); });
      --idleRunners_;
      if (stopping_) {
        --runners_;
        return;
      }
      if (!woken) {
        lock.unlock();
        worker->retire();
        continue;
      }
      job = std::move(renders_.front());
      renders_.pop_front();
    }
    renderOne(job, *worker);
  }
}

void SynthesisWorkers::renderOne(const RenderJob& job, SynthesisWorkerProcess& worker) {
  bool wanted = true;
  auto deliver = [&](const PcmBuffer& buffer) {
    try {
      wanted = wanted && job.onBuffer && job.onBuffer(&buffer);
    } catch (...) {
      wanted = false;
    }
  };
  try {
    Json request =
        jobFor(job.utterance ? *job.utterance : SpeechUtterance{}, *catalogue(), WordReports::off);
    // Engines hand over a few ms at a time; each block delivered is a hop to another thread,
    // so they go out a second at a time.
    std::optional<PcmBuffer> buffer;
    SynthesisWorkerProcess::Handlers handlers;
    handlers.format = [&](int64_t rate) {
      if (rate > 0 && !buffer) {
        AudioFormat format{static_cast<double>(rate), 1, SampleFormat::int16, true};
        buffer.emplace(format, static_cast<uint32_t>(rate));
      }
    };
    handlers.audio = [&](std::span<const int16_t> samples) {
      while (buffer && wanted && !samples.empty()) {
        uint32_t filled = buffer->frameLength();
        size_t frames = std::min<size_t>(samples.size(), buffer->frameCapacity() - filled);
        std::copy_n(samples.begin(), frames, buffer->int16Plane(0).begin() + filled);
        buffer->setFrameLength(filled + static_cast<uint32_t>(frames));
        samples = samples.subspan(frames);
        if (buffer->frameLength() == buffer->frameCapacity()) {
          deliver(*buffer);
          buffer->setFrameLength(0);
        }
      }
      return wanted;
    };
    handlers.abandoned = [&] {
      std::lock_guard lock(mutex_);
      return stopping_;
    };
    if (worker.run(request, handlers) == SynthesisWorkerProcess::Outcome::abandoned)
      return;
    if (!buffer)
      buffer.emplace(AudioFormat{fallbackRate, 1, SampleFormat::int16, true}, 1);
    if (buffer->frameLength() > 0)
      deliver(*buffer);
    buffer->setFrameLength(0);
    deliver(*buffer);
  } catch (const PlatformError& error) {
    if (job.onFailure)
      job.onFailure(error);
  }
}

} // namespace quelt
