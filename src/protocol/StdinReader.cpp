#include "protocol/StdinReader.h"

#include "protocol/Identity.h"
#include "protocol/LineFraming.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace quelt {

StdinReader::StdinReader(int fd, LineHandler onLine, std::function<void()> onEnd)
    : fd_(fd), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0)
    wakePipe_[0] = wakePipe_[1] = -1;
}

StdinReader::~StdinReader() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  if (thread_.joinable()) {
    char wake = 1;
    (void)!::write(wakePipe_[1], &wake, 1);
    thread_.join();
  }
  for (int fd : wakePipe_)
    if (fd >= 0)
      ::close(fd);
}

void StdinReader::start() {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "stdin-reader");
    readLoop();
  });
}

void StdinReader::lineHandled() {
  bool wake;
  {
    std::lock_guard lock(mutex_);
    if (unhandled_ > 0)
      --unhandled_;
    size_t bytesBefore = unhandledBytes_;
    if (!unhandledSizes_.empty()) {
      unhandledBytes_ -= unhandledSizes_.front();
      unhandledSizes_.pop_front();
    }
    wake = unhandled_ == maxUnhandledLines / 2 ||
           (bytesBefore > maxUnhandledBytes / 2 && unhandledBytes_ <= maxUnhandledBytes / 2);
  }
  if (wake)
    room_.notify_one();
}

void StdinReader::holdBack(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  if (!held)
    room_.notify_one();
}

bool StdinReader::waitForRoom(size_t bytes) {
  std::unique_lock lock(mutex_);
  if (unhandled_ >= maxUnhandledLines)
    room_.wait(lock, [this] { return stopping_ || unhandled_ <= maxUnhandledLines / 2; });
  if (unhandledBytes_ + bytes > maxUnhandledBytes)
    room_.wait(lock, [this] { return stopping_ || unhandledBytes_ <= maxUnhandledBytes / 2; });
  room_.wait(lock, [this] { return stopping_ || !held_; });
  if (stopping_)
    return false;
  ++unhandled_;
  unhandledSizes_.push_back(bytes);
  unhandledBytes_ += bytes;
  return true;
}

void StdinReader::readLoop() {
  bool stopped = false;
  LineSplitter splitter([this, &stopped](std::string line) {
    if (stopped || !waitForRoom(line.size())) {
      stopped = true;
      return;
    }
    // Repair never shortens a line, so one already over the limit is refused as it stands.
    if (line.size() <= maxLineBytes)
      line = replaceInvalidUtf8(std::move(line));
    onLine_(std::move(line));
  });
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    int ready = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (fds[1].revents != 0)
      return; // Stopped by the owner: not an end of input.
    if (fds[0].revents & POLLNVAL)
      break;
    ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (count <= 0)
      break;
    splitter.feed({buffer.data(), static_cast<size_t>(count)});
    if (stopped)
      return;
  }
  splitter.finish();
  if (!stopped)
    onEnd_();
}

} // namespace quelt
