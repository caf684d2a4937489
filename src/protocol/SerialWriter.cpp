#include "protocol/SerialWriter.h"

#include <cerrno>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace quelt {
namespace {

constexpr size_t keptBytes = 1 << 20;

void writeAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return; // A closed stream loses the lines; nothing else to do with them.
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

} // namespace

SerialWriter::SerialWriter(int outputFd, int errorFd, std::string label)
    : outputFd_(outputFd), errorFd_(errorFd), label_(std::move(label)), thread_([this] { run(); }) {
}

SerialWriter::~SerialWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void SerialWriter::writeOutput(std::string line) { enqueue(outputFd_, line); }

void SerialWriter::writeError(std::string line) { enqueue(errorFd_, line); }

void SerialWriter::enqueue(int fd, const std::string& line) {
  bool wake;
  {
    std::lock_guard lock(mutex_);
    queuedBytes_ += line;
    queuedBytes_ += '\n';
    if (queuedRuns_.empty() || queuedRuns_.back().fd != fd)
      queuedRuns_.push_back({fd, 0});
    queuedRuns_.back().end = queuedBytes_.size();
    ++queuedLines_;
    noteBacklog();
    // A writer in the middle of a batch comes back for this line without being woken.
    wake = writerIdle_;
  }
  if (wake)
    wake_.notify_one();
}

void SerialWriter::drain() {
  std::unique_lock lock(mutex_);
  uint64_t target = queuedLines_;
  written_.wait(lock, [&] { return writtenLines_ >= target; });
}

void SerialWriter::onBacklog(std::function<void(bool over)> changed) {
  std::lock_guard lock(mutex_);
  backlogChanged_ = std::move(changed);
  if (backlogChanged_ && backlogged_)
    backlogChanged_(true);
}

void SerialWriter::noteBacklog() {
  size_t waiting = queuedBytes_.size() + bytesInFlight_;
  bool over = backlogged_ ? waiting >= maxBacklogBytes / 2 : waiting > maxBacklogBytes;
  if (over == backlogged_)
    return;
  backlogged_ = over;
  if (backlogChanged_)
    backlogChanged_(over);
}

void SerialWriter::run() {
  // Thread names are limited to 15 bytes.
  pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
  std::string bytes;
  std::vector<Run> runs;
  for (;;) {
    uint64_t lines;
    {
      std::unique_lock lock(mutex_);
      writerIdle_ = true;
      wake_.wait(lock, [this] { return !queuedRuns_.empty() || stopping_; });
      writerIdle_ = false;
      // On its way out the writer still writes everything queued before.
      if (queuedRuns_.empty())
        return;
      bytes.swap(queuedBytes_);
      runs.swap(queuedRuns_);
      lines = queuedLines_;
      bytesInFlight_ = bytes.size();
    }
    size_t begin = 0;
    for (const Run& run : runs) {
      writeAll(run.fd, std::string_view(bytes).substr(begin, run.end - begin));
      begin = run.end;
    }
    // A burst's worth of room is given back rather than kept for good.
    if (bytes.capacity() > keptBytes)
      std::string().swap(bytes);
    bytes.clear();
    runs.clear();
    {
      std::lock_guard lock(mutex_);
      writtenLines_ = lines;
      bytesInFlight_ = 0;
      noteBacklog();
    }
    written_.notify_all();
  }
}

} // namespace quelt
