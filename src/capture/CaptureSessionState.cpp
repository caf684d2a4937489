#include "capture/CaptureSessionState.h"

#include "common/NativeError.h"
#include "engines/AnalyzerSegment.h"
#include "engines/RecognizerSegment.h"

#include <algorithm>
#include <cmath>

namespace quelt {
namespace {

struct Level {
  double energy = 0; // sum over frames of the mean square across channels
  float peak = 0;
};

template <typename Sample, typename Scale>
void accumulate(std::span<const Sample> samples, Scale scale, double& sum, float& peak) {
  for (Sample sample : samples) {
    float x = scale(sample);
    // A broken file's NaN or infinite samples would make the level unwritable as JSON.
    if (!std::isfinite(x))
      x = 0;
    sum += static_cast<double>(x * x);
    peak = std::max(peak, std::fabs(x));
  }
}

Level measure(const PcmBuffer& buffer) {
  const AudioFormat& format = buffer.format();
  Level level;
  if (format.channels == 0)
    return level;
  size_t valid =
      static_cast<size_t>(buffer.frameLength()) * (format.interleaved ? format.channels : 1);
  double sum = 0;
  for (uint32_t plane = 0; plane < format.planes(); ++plane) {
    if (format.sampleFormat == SampleFormat::float32)
      accumulate(
          buffer.floatPlane(plane).first(valid), [](float x) { return x; }, sum, level.peak);
    else
      accumulate(
          buffer.int16Plane(plane).first(valid),
          [](int16_t x) { return static_cast<float>(x) / 32768.0f; }, sum, level.peak);
  }
  level.energy = sum / format.channels;
  return level;
}

} // namespace

std::string_view CaptureSessionState::phaseName(Phase phase) {
  switch (phase) {
  case Phase::starting:
    return "starting";
  case Phase::listening:
    return "listening";
  case Phase::committing:
    return "committing";
  case Phase::stopping:
    return "stopping";
  case Phase::stopped:
    return "stopped";
  case Phase::cancelled:
    return "cancelled";
  case Phase::failed:
    return "failed";
  }
  return "failed";
}

CaptureSessionState::CaptureSessionState(std::shared_ptr<OpHost> host, Config config)
    : host_(std::move(host)), config_(std::move(config)) {}

std::shared_ptr<CaptureSessionState> CaptureSessionState::create(std::shared_ptr<OpHost> host,
                                                                 Config config) {
  return std::shared_ptr<CaptureSessionState>(
      new CaptureSessionState(std::move(host), std::move(config)));
}

bool CaptureSessionState::isTerminal() const {
  Phase phase = phase_;
  return phase == Phase::stopped || phase == Phase::cancelled || phase == Phase::failed;
}

std::shared_ptr<SegmentEngine> CaptureSessionState::makeSegment() {
  int64_t index = nextSegment_++;
  std::string tag = bcp47(config_.locale);
  if (config_.engineKind == EngineKind::recognizer) {
    if (!config_.recognizer)
      throw HelperError(errors::recognizerUnavailable, "no recognizer", {.locale = tag});
    return RecognizerSegment::create(index, *config_.recognizer,
                                     {.requiresOnDeviceRecognition = config_.onDevice,
                                      .contextualStrings = config_.contextual,
                                      .addsPunctuation = config_.punctuation,
                                      .audioMayWait = config_.source->canBeHeldBack()},
                                     callbacks(), {*host_->clock(), host_->poster()});
  }
  if (!config_.transcriber)
    throw HelperError(errors::onDeviceUnavailable, "SpeechAnalyzer needs macOS 26",
                      {.locale = tag});
  std::weak_ptr<OpHost> host = host_;
  auto segment = AnalyzerSegment::create(index, config_.locale, config_.source->format(),
                                         *config_.transcriber, callbacks(),
                                         {*host_->clock(), host_->poster(),
                                          [host](std::function<void()> work) {
                                            if (auto alive = host.lock())
                                              alive->runTask(std::move(work));
                                          },
                                          *config_.audio});
  segment->start();
  return segment;
}

SegmentCallbacks CaptureSessionState::callbacks() {
  std::weak_ptr<CaptureSessionState> weak = weak_from_this();
  auto alive = [weak]() -> std::shared_ptr<CaptureSessionState> {
    auto session = weak.lock();
    return session && !session->isTerminal() ? session : nullptr;
  };
  return {[alive](int64_t segment, const std::string& text) {
            if (auto session = alive())
              session->host_->event(
                  events::capturePartial,
                  {{"capture", session->id()}, {"segment", segment}, {"text", text}});
          },
          [alive](int64_t segment, const std::string& text, std::optional<double> confidence) {
            auto session = alive();
            if (!session)
              return;
            Json payload = {{"capture", session->id()}, {"segment", segment}, {"text", text}};
            if (confidence)
              payload["confidence"] = *confidence;
            session->host_->event(events::captureFinal, std::move(payload));
            session->finalizedSegments_.insert(segment);
            session->closing_.erase(segment);
            session->finishStopped();
          },
          [alive](int64_t segment, const HelperError& error) {
            if (auto session = alive()) {
              session->closing_.erase(segment);
              session->fail(error);
            }
          }};
}

void CaptureSessionState::start() {
  config_.source->open();
  // Opening can take as long as a named pipe waits for its writer; a session cancelled
  // meanwhile goes no further.
  if (isTerminal())
    throw notActive();
  auto segment = makeSegment();
  {
    std::lock_guard lock(lock_);
    current_ = segment;
  }
  // A session cancelled while its segment was being made never starts its source.
  if (isTerminal())
    throw notActive();
  std::weak_ptr<CaptureSessionState> weak = weak_from_this();
  config_.source->start(
      [weak](const PcmBuffer& buffer) {
        if (auto session = weak.lock())
          session->onBuffer(buffer);
      },
      [weak] {
        if (auto session = weak.lock())
          session->onSourceEnd();
      },
      [weak](const HelperError& error) {
        if (auto session = weak.lock())
          session->fail(error);
      });
  bool listening = false;
  {
    // Start runs off the main queue: the announcement and the phase change go together, so a
    // cancel that comes meanwhile is announced after "listening", never before it.
    std::lock_guard announcing(announce_);
    Phase expected = Phase::starting;
    listening = phase_.compare_exchange_strong(expected, Phase::listening);
    if (listening) {
      Json payload = {{"capture", id()}, {"engine", engineKindName(config_.engineKind)}};
      if (config_.device)
        payload["device"] = deviceJSON(*config_.device);
      host_->event(events::captureListening, std::move(payload));
    }
  }
  if (!listening) {
    // Cancelled while the source was starting: its stop may have come before the start.
    config_.source->stop();
    throw notActive();
  }
  // A short file can run out before the session was listening; it stops now instead.
  host_->post([weak] {
    auto session = weak.lock();
    if (session && session->sourceEnded_)
      session->onSourceEnd();
  });
}

void CaptureSessionState::onSourceEnd() {
  sourceEnded_ = true;
  if (phase_ == Phase::listening || phase_ == Phase::committing)
    stop();
}

void CaptureSessionState::onBuffer(const PcmBuffer& buffer) {
  uint32_t frames = buffer.frameLength();
  std::shared_ptr<SegmentEngine> segment;
  std::optional<Json> level;
  if (frames > 0) {
    Level measured = measure(buffer);
    double rate = buffer.format().sampleRate;
    std::lock_guard lock(lock_);
    sumSquares_ += measured.energy;
    frames_ += frames;
    framesSinceEmit_ += frames;
    totalFrames_ += frames;
    peak_ = std::max(peak_, measured.peak);
    if (rate > 0 && static_cast<double>(framesSinceEmit_) / rate >= config_.levelInterval) {
      double rms = frames_ >= 1 ? std::sqrt(sumSquares_ / static_cast<double>(frames_)) : 0.0;
      level = Json{{"capture", id()},
                   {"rms", std::min(rms, 1.0)},
                   {"peak", std::min(peak_, 1.0f)},
                   {"elapsed_ms", static_cast<double>(totalFrames_) / rate * 1000.0}};
      sumSquares_ = 0;
      frames_ = 0;
      framesSinceEmit_ = 0;
      peak_ = 0;
    }
  }
  if (level) {
    // Audio that comes while the source is starting is measured but not reported before
    // "capture.listening".
    std::lock_guard announcing(announce_);
    if (phase_ != Phase::starting)
      host_->event(events::captureLevel, std::move(*level));
  }
  {
    std::lock_guard lock(lock_);
    segment = current_;
  }
  if (segment)
    segment->append(buffer);
}

void CaptureSessionState::closeSegment(const std::shared_ptr<SegmentEngine>& segment) {
  if (!segment || finalizedSegments_.count(segment->index()))
    return;
  closing_[segment->index()] = segment;
  segment->endAudio();
}

HelperError CaptureSessionState::notActive() const {
  return HelperError(errors::sessionNotActive,
                     "capture " + std::to_string(id()) + " is " + std::string(phaseName(phase_)),
                     {.nativeCode = id()});
}

void CaptureSessionState::commit(Reply reply) {
  if (phase_ != Phase::listening) {
    reply(notActive());
    return;
  }
  phase_ = Phase::committing;
  // Held, not watched: a session that ends meanwhile still answers the commit.
  commitSteps(shared_from_this(), std::move(reply));
}

// The next segment is made on the task pool (a recognizer may load) and put in place on the main
// queue, where the phase may have moved on meanwhile.
OpSteps CaptureSessionState::commitSteps(std::shared_ptr<CaptureSessionState> session,
                                         Reply reply) {
  co_await onTask(*session->host_);
  std::shared_ptr<SegmentEngine> fresh;
  std::optional<HelperError> failure;
  try {
    fresh = session->makeSegment();
  } catch (...) {
    failure = boundaryError(std::current_exception(), "commit");
  }
  co_await onMain(*session->host_);
  if (failure) {
    if (session->phase_ == Phase::committing)
      session->phase_ = Phase::listening;
    reply(*failure);
    co_return;
  }
  if (session->phase_ != Phase::committing) {
    // Stopped, cancelled or failed meanwhile: the new segment is not needed.
    fresh->cancel();
    reply(session->notActive());
    co_return;
  }
  std::shared_ptr<SegmentEngine> old;
  {
    std::lock_guard lock(session->lock_);
    old = std::exchange(session->current_, fresh);
  }
  session->closeSegment(old);
  session->phase_ = Phase::listening;
  session->host_->event(events::captureSegment,
                        {{"capture", session->id()}, {"segment", fresh->index()}});
  reply(Json{{"segment", fresh->index()}});
}

void CaptureSessionState::stop() {
  if (phase_ != Phase::listening && phase_ != Phase::committing)
    return;
  phase_ = Phase::stopping;
  config_.source->stop();
  std::shared_ptr<SegmentEngine> segment;
  {
    std::lock_guard lock(lock_);
    segment = std::exchange(current_, nullptr);
  }
  closeSegment(segment);
  finishStopped();
}

void CaptureSessionState::finishStopped() {
  if (phase_ != Phase::stopping || !closing_.empty())
    return;
  phase_ = Phase::stopped;
  host_->event(events::captureStopped, {{"capture", id()}});
  if (onTerminal_)
    onTerminal_();
}

void CaptureSessionState::cancel() {
  end(Phase::cancelled, events::captureCancelled, Json::object());
}

void CaptureSessionState::fail(const HelperError& error) {
  end(Phase::failed, events::captureFailed, {{"error", error.json()}});
}

void CaptureSessionState::end(Phase terminal, EventName event, Json payload) {
  {
    std::lock_guard announcing(announce_);
    if (isTerminal())
      return;
    endedWhileStarting_ = phase_.exchange(terminal) == Phase::starting;
  }
  config_.source->stop();
  std::shared_ptr<SegmentEngine> segment;
  {
    std::lock_guard lock(lock_);
    segment = std::exchange(current_, nullptr);
  }
  if (segment)
    segment->cancel();
  for (auto& [index, closing] : closing_)
    closing->cancel();
  closing_.clear();
  payload["capture"] = id();
  host_->event(event, std::move(payload));
  if (onTerminal_)
    onTerminal_();
}

} // namespace quelt
