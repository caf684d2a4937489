#pragma once

#include "platform/AudioFormat.h"
#include "platform/PcmBuffer.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// The analyzer's audio input: an unbounded first-in first-out stream of buffers that the core
// writes and the analyzer reads.
class AnalyzerInputStream {
public:
  void yield(PcmBuffer buffer) {
    {
      std::lock_guard lock(mutex_);
      if (finished_)
        return;
      buffers_.push_back(std::move(buffer));
    }
    changed_.notify_one();
  }
  void finish() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }
  // Blocks for the next buffer; nothing once the stream is finished and drained.
  std::optional<PcmBuffer> next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !buffers_.empty(); });
    if (buffers_.empty())
      return std::nullopt;
    PcmBuffer buffer = std::move(buffers_.front());
    buffers_.pop_front();
    return buffer;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PcmBuffer> buffers_;
  bool finished_ = false;
};

struct TranscriptionResult {
  std::string text;
  bool isFinal = false;
};

// One analyzer running one progressive transcriber module with volatile results. Every call
// may block while the platform works, so none runs on the main queue. Failures throw
// PlatformError.
class SpeechAnalyzer {
public:
  virtual ~SpeechAnalyzer() = default;
  // The format the analyzer wants its audio in; nothing when it offers none.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat() = 0;
  virtual void start(std::shared_ptr<AnalyzerInputStream> input) = 0;
  // The next result; nothing when the results have ended.
  virtual std::optional<TranscriptionResult> nextResult() = 0;
  virtual void finalizeAndFinishThroughEndOfInput() = 0;
  virtual void cancelAndFinishNow() = 0;
};

// A pending download of a transcriber's on-device assets.
class AssetInstallationRequest {
public:
  virtual ~AssetInstallationRequest() = default;
  // Blocks until the assets are installed; throws PlatformError when that fails.
  virtual void downloadAndInstall() = 0;
};

// The speech analyzer's transcriber, present only on systems that have the analyzer. Its calls
// may block while the platform answers, so they run on the task executor.
class TranscriberService {
public:
  virtual ~TranscriberService() = default;
  virtual std::vector<std::string> supportedLocales() = 0;
  virtual std::vector<std::string> installedLocales() = 0;
  // For a progressive transcriber module of the locale: null when its assets are already
  // present. Throws PlatformError when the inventory refuses.
  virtual std::unique_ptr<AssetInstallationRequest>
  assetInstallationRequest(const std::string& locale) = 0;
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const std::string& locale) = 0;
};

} // namespace quelt
