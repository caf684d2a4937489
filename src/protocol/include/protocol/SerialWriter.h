#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelt {

// The one serial, first-in first-out queue through which every byte for standard output and
// standard error leaves the process. Lines never interleave: each write(2) carries whole lines
// only (repeated only for what a short write left over). Lines queued while a write is under
// way go out together in the next one, so a busy helper makes one system call per batch, not
// per line.
//
// A reader that stops reading makes the lines wait here, so the writer says when they pass
// `maxBacklogBytes` and when they are back under half of it: the source of new work can pause.
class SerialWriter {
public:
  static constexpr size_t maxBacklogBytes = 16 << 20;

  SerialWriter(int outputFd, int errorFd, std::string label);
  ~SerialWriter();
  SerialWriter(const SerialWriter&) = delete;
  SerialWriter& operator=(const SerialWriter&) = delete;

  // Queue one line (the line feed is added here). Callable from any thread.
  void writeOutput(std::string line);
  void writeError(std::string line);
  // Returns once everything queued before the call has been written.
  void drain();
  // `changed(true)` once the bytes queued and not yet written pass maxBacklogBytes,
  // `changed(false)` once they are back under half of it. Called under the writer's lock, so the
  // calls keep their order and none comes after this returns with an empty function; `changed`
  // must not call back into the writer.
  void onBacklog(std::function<void(bool over)> changed);

private:
  // Where consecutive lines for one stream end in the queued bytes.
  struct Run {
    int fd;
    size_t end;
  };

  void enqueue(int fd, const std::string& line);
  void run();
  // With the lock held, whenever the backlog has changed.
  void noteBacklog();

  int outputFd_;
  int errorFd_;
  std::string label_;

  std::mutex mutex_;
  std::condition_variable wake_;    // the writer: lines are waiting, or it is to stop
  std::condition_variable written_; // drain(): a batch is out
  // Lines are copied in and the buffers swapped, never freed: they keep their room from one
  // batch to the next, and no thread frees what another allocated.
  std::string queuedBytes_;
  std::vector<Run> queuedRuns_;
  uint64_t queuedLines_ = 0;
  uint64_t writtenLines_ = 0;
  size_t bytesInFlight_ = 0; // taken by the writer and not yet out
  bool backlogged_ = false;
  std::function<void(bool over)> backlogChanged_;
  bool writerIdle_ = false;
  bool stopping_ = false;

  std::thread thread_; // last, so that it starts with the rest in place
};

} // namespace quelt
