#pragma once

#include "platform/SynthesizerService.h"
#include "quelt/wire/Vocabulary.h"
#include "speech/SpeechParams.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace quelt {

class OpHost;

// Where a new utterance goes: behind those waiting, or in place of all of them and of the one
// being spoken, which stop at once.
enum class Queueing { append, replaceAll };

// The spoken queue: one utterance at a time through one synthesizer, the rest waiting in order,
// each reported to the parent under the id the parent gave it. Main queue only.
class SpeechController : public std::enable_shared_from_this<SpeechController> {
public:
  static std::shared_ptr<SpeechController> create(std::shared_ptr<OpHost> host,
                                                  SynthesizerService& synthesizer);

  void speak(int64_t id, const SpeechParams& params, Queueing queueing);
  void stopAll(SpeechBoundary boundary);
  // False when the id is neither speaking nor queued.
  bool stop(int64_t id, SpeechBoundary boundary);
  // Act on the current utterance only; no id means whichever is current.
  bool pause(std::optional<int64_t> id, SpeechBoundary boundary);
  bool resume(std::optional<int64_t> id);
  // Empties the queue without a word and stops the current utterance at once.
  void shutdown();

  // What the synthesizer reports, already moved to the main queue.
  void started(const std::shared_ptr<SpeechUtterance>& utterance);
  void range(const std::shared_ptr<SpeechUtterance>& utterance, int64_t location, int64_t length);
  void paused(const std::shared_ptr<SpeechUtterance>& utterance);
  void resumed(const std::shared_ptr<SpeechUtterance>& utterance);
  void finished(const std::shared_ptr<SpeechUtterance>& utterance, EventName event);

private:
  struct Entry {
    int64_t id;
    std::shared_ptr<SpeechUtterance> utterance;
  };
  class Delegate;

  SpeechController(std::shared_ptr<OpHost> host, SynthesizerService& synthesizer);

  void pump();
  std::optional<int64_t> idFor(const std::shared_ptr<SpeechUtterance>& utterance) const;
  bool isCurrent(std::optional<int64_t> id) const;
  void send(EventName event, int64_t id, Json extra = Json::object());

  // Weak: the host owns the ops that own this controller.
  std::weak_ptr<OpHost> host_;
  std::shared_ptr<SpeechSynthesizer> synthesizer_;
  std::shared_ptr<Delegate> delegate_;
  std::deque<Entry> queue_;
  std::optional<Entry> current_;
  std::optional<int64_t> stopRequested_;
};

} // namespace quelt
