#pragma once

#include "platform/ChildProcess.h"
#include "platform/PlatformError.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

namespace quelt {

// The worker's hello and its jobs travel as JSON objects.
using Json = nlohmann::json;

// One synthesis worker process (see SynthesisWorker.h), seen from the helper: started on first
// use, given one job at a time, and killed and started afresh when it crashes, hangs or is no
// longer wanted mid-job.
//
// Owned and used by one thread, which must outlive the process: a worker is killed when the
// thread that started it ends (so that none outlives the helper, however the helper ends).
// Only `kill` may come from another thread.
class SynthesisWorkerProcess {
public:
  using Log = std::function<void(const std::string&)>;

  // `program` is the helper's binary; `log` hears the lines the worker prints on stderr.
  // A worker that sends nothing for `stallLimit` while it has work is taken to be hung.
  SynthesisWorkerProcess(std::string program, Log log,
                         std::chrono::milliseconds stallLimit = std::chrono::seconds(10));
  SynthesisWorkerProcess(const SynthesisWorkerProcess&) = delete;
  SynthesisWorkerProcess& operator=(const SynthesisWorkerProcess&) = delete;

  // Starts the worker if it is not running and returns what it said first (see
  // WorkerFrame::hello). Throws PlatformError when it cannot be started or dies first.
  const Json& hello();

  struct Handlers {
    // The sample rate of the job's audio, before any of it.
    std::function<void(int64_t rate)> format;
    // A block of samples; false: the job is no longer wanted.
    std::function<bool(std::span<const int16_t>)> audio;
    // A word: sample where it starts, UTF-16 location and length.
    std::function<void(int64_t sample, int64_t location, int64_t length)> word;
    // Asked about twice a second while the worker is quiet; true: the job is no longer wanted.
    std::function<bool()> abandoned;
  };
  enum class Outcome { spoken, refused, abandoned };
  // Runs one job to its end. An abandoned job kills the worker (the next job starts another).
  // Throws PlatformError, having killed what is left of the worker, when it dies or hangs.
  Outcome run(const Json& job, const Handlers& handlers);

  // Kills the worker, from any thread; the job it was running fails.
  void kill();
  // Ends an idle worker; the next job starts another. Owner's thread.
  void retire() { reap(); }
  // The worker's pid, or 0 when none runs. Any thread.
  pid_t pid() const { return child_.pid(); }

private:
  void start();
  // Kills a worker still running and forgets it.
  void reap();
  PlatformError ended(const std::string& how);
  // Reads until a frame is whole; the frame's type and payload, or nothing when `abandoned`
  // said so first. Throws as `run` does.
  std::optional<char> readFrame(std::string& payload, const std::function<bool()>& abandoned);
  void readErrors(bool all);

  std::string program_;
  Log log_;
  std::chrono::milliseconds stallLimit_;
  ChildProcess child_;
  std::atomic<bool> killed_ = false;
  std::string pending_;
  std::string errorLine_;
  std::optional<Json> hello_;
  // Errors name the engine whose job was running.
  std::string domain_ = "synthesizer";
};

} // namespace quelt
