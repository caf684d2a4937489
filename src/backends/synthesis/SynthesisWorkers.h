#pragma once

#include "SynthesisWorkerProcess.h"
#include "VoiceCatalogue.h"
#include "platform/AudioOutput.h"
#include "platform/SynthesizerService.h"
#include "synthesis/WorkerSynthesizerService.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quelt {

struct RenderJob {
  std::shared_ptr<SpeechUtterance> utterance;
  SpeechSynthesizer::RenderBuffer onBuffer;
  SpeechSynthesizer::RenderFailure onFailure;
};

// What a service and its synthesizers share: how to start workers, the catalogue, and the
// renders' pool of workers.
class SynthesisWorkers : public std::enable_shared_from_this<SynthesisWorkers> {
public:
  using Log = std::function<void(const std::string&)>;

  SynthesisWorkers(std::string program, MakeAudioOutput makeOutput, Log log,
                   std::chrono::milliseconds stallLimit);

  void log(const std::string& line) const {
    if (log_)
      log_(line);
  }
  const Log& logOnce() const { return logOnce_; }

  // Where a synthesizer's speech is heard. Throws PlatformError when there is nowhere.
  std::unique_ptr<AudioOutput> makeOutput() const;

  // A worker for the calling thread, which must outlive it.
  std::unique_ptr<SynthesisWorkerProcess> makeWorker() const {
    return std::make_unique<SynthesisWorkerProcess>(program_, log_, stallLimit_);
  }

  // Read from a worker once, and again when the engines' voice data on disk changes. The first
  // call waits for the reading; later ones only when the data changed.
  std::shared_ptr<const Catalogue> catalogue();

  void render(RenderJob job);

  // Ends the render workers once their renders end; the service is going.
  void stop();

private:
  using Clock = std::chrono::steady_clock;

  // Under mutex_.
  bool stale();

  // One of the pool's threads, with a worker of its own.
  void runRenders();
  void renderOne(const RenderJob& job, SynthesisWorkerProcess& worker);

  const std::string program_;
  const MakeAudioOutput makeOutput_;
  const Log log_;
  Log logOnce_;
  const std::chrono::milliseconds stallLimit_;
  const unsigned renderWorkers_;

  std::mutex mutex_;
  std::shared_ptr<const Catalogue> catalogue_;
  bool loading_ = false;
  std::condition_variable loaded_;
  Clock::time_point checked_;

  std::deque<RenderJob> renders_;
  std::condition_variable work_;
  unsigned runners_ = 0;
  unsigned idleRunners_ = 0;
  bool stopping_ = false;
};

} // namespace quelt
