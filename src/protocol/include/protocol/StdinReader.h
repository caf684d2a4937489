#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quelt {

// The "stdin-reader" thread: reads request lines from a file descriptor and hands each one,
// with invalid UTF-8 already replaced, to `onLine` without waiting for it to be handled. At end
// of input (or a read error) it calls `onEnd` once and stops.
//
// It keeps at most `maxUnhandledLines` lines, and `maxUnhandledBytes` bytes of them, handed
// over and not yet reported handled through `lineHandled` (lines are handled in the order they
// were handed over), then waits until the consumer is halfway through them: a parent that
// floods the helper is held back by its own pipe instead of filling the helper's memory. For the
// same reason it hands over nothing while held back by `holdBack`: output the parent does not read
// must not pile up in the helper.
class StdinReader {
public:
  using LineHandler = std::function<void(std::string line)>;
  static constexpr size_t maxUnhandledLines = 256;
  // Sixteen lines of the longest kind; any single line still passes.
  static constexpr size_t maxUnhandledBytes = 16 << 20;

  StdinReader(int fd, LineHandler onLine, std::function<void()> onEnd);
  // Stops the thread if it is still reading; `onEnd` is then not called.
  ~StdinReader();
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  void start();
  // From any thread, once per line `onLine` was given.
  void lineHandled();
  // From any thread: while held, no further line is handed over. Lines already handed over are
  // not affected.
  void holdBack(bool held);

private:
  void readLoop();
  // False when the reader is being stopped.
  bool waitForRoom(size_t bytes);

  int fd_;
  LineHandler onLine_;
  std::function<void()> onEnd_;
  int wakePipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable room_;
  size_t unhandled_ = 0;
  std::deque<size_t> unhandledSizes_;
  size_t unhandledBytes_ = 0;
  bool held_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace quelt
