#pragma once

#include <functional>
#include <string>
#include <thread>

namespace quelt {

// The "stdin-reader" thread: reads request lines from a file descriptor and hands each one,
// with invalid UTF-8 already replaced, to `onLine` without waiting for it to be handled. At end
// of input (or a read error) it calls `onEnd` once and stops.
class StdinReader {
public:
  using LineHandler = std::function<void(std::string line)>;

  StdinReader(int fd, LineHandler onLine, std::function<void()> onEnd);
  // Stops the thread if it is still reading; `onEnd` is then not called.
  ~StdinReader();
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  void start();

private:
  void readLoop();

  int fd_;
  LineHandler onLine_;
  std::function<void()> onEnd_;
  int wakePipe_[2] = {-1, -1};
  std::thread thread_;
};

} // namespace quelt
