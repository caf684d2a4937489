#pragma once

#include "audio/AudioSourceDriver.h"
#include "devices/InputDevices.h"
#include "engines/SegmentEngine.h"
#include "locales/Locale.h"
#include "platform/AudioServices.h"
#include "platform/SpeechRecognizerService.h"
#include "platform/TranscriberService.h"
#include "protocol/OpHost.h"
#include "protocol/OpSteps.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelt {

// One dictation: its audio source cut into consecutive segments at the parent's commits, each
// recognised by an engine of its own, with level readings and lifecycle events. Callbacks it
// hands out hold it weakly.
class CaptureSessionState : public std::enable_shared_from_this<CaptureSessionState> {
public:
  enum class Phase { starting, listening, committing, stopping, stopped, cancelled, failed };

  struct Config {
    int64_t id = 0;
    Locale locale{"und"};
    EngineKind engineKind = EngineKind::recognizer;
    bool onDevice = true;
    bool punctuation = true;
    std::vector<std::string> contextual;
    double levelInterval = 0.05; // seconds of audio between level events
    std::shared_ptr<SpeechRecognizer> recognizer;
    std::shared_ptr<AudioSourceDriver> source;
    std::optional<InputDeviceInfo> device;
    // Where the analyzer engine's audio is converted; the analyzer's own service, null where
    // there is none.
    std::shared_ptr<AudioServices> audio;
    std::shared_ptr<TranscriberService> transcriber;
  };

  static std::shared_ptr<CaptureSessionState> create(std::shared_ptr<OpHost> host, Config config);

  // Opens the source, makes segment 0 and starts the source. Blocks on the platform (opening a
  // named pipe waits for its writer), so it runs off the main queue; throws HelperError.
  void start();
  // Answers `reply` itself, now or once the new segment is ready.
  void commit(Reply reply);
  void stop();
  void cancel();
  void fail(const HelperError& error);

  int64_t id() const { return config_.id; }
  Phase phase() const { return phase_; }
  bool isTerminal() const;
  // Ended by cancel() or fail() before start() got it listening: start() then fails, but may
  // not return soon (a source still opening), so its reply should not wait for it. Main queue.
  bool endedWhileStarting() const { return endedWhileStarting_; }
  const Config& config() const { return config_; }
  // Runs once when the session reaches a terminal phase.
  void setOnTerminal(std::function<void()> onTerminal) { onTerminal_ = std::move(onTerminal); }

  static std::string_view phaseName(Phase phase);
  // What an op on this session gets once it is past listening: "capture N is <phase>".
  HelperError notActive() const;

private:
  CaptureSessionState(std::shared_ptr<OpHost> host, Config config);

  std::shared_ptr<SegmentEngine> makeSegment();
  static OpSteps commitSteps(std::shared_ptr<CaptureSessionState> session, Reply reply);
  SegmentCallbacks callbacks();
  void finishStopped();
  void end(Phase terminal, EventName event, Json payload);
  void onBuffer(const PcmBuffer& buffer);
  void onSourceEnd();
  void closeSegment(const std::shared_ptr<SegmentEngine>& segment);

  const std::shared_ptr<OpHost> host_;
  const Config config_;
  std::atomic<Phase> phase_ = Phase::starting;
  std::atomic<int64_t> nextSegment_ = 0;

  // Orders "capture.listening" before any level reading or terminal event.
  std::mutex announce_;

  // Shared with the delivery thread.
  std::mutex lock_;
  std::shared_ptr<SegmentEngine> current_;
  double sumSquares_ = 0;
  float peak_ = 0;
  int64_t frames_ = 0;
  int64_t framesSinceEmit_ = 0;
  int64_t totalFrames_ = 0;

  // Main queue only.
  std::map<int64_t, std::shared_ptr<SegmentEngine>> closing_;
  std::set<int64_t> finalizedSegments_;
  std::function<void()> onTerminal_;
  bool sourceEnded_ = false;
  bool endedWhileStarting_ = false;
};

} // namespace quelt
