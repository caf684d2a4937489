#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <string>
#include <thread>

namespace quelt {

// The one serial, first-in first-out queue through which every byte for standard output and
// standard error leaves the process. Each line goes out in a single write(2) call (repeated
// only for what a short write left over), so lines never interleave.
class SerialWriter {
public:
  SerialWriter(int outputFd, int errorFd, std::string label);
  ~SerialWriter();
  SerialWriter(const SerialWriter&) = delete;
  SerialWriter& operator=(const SerialWriter&) = delete;

  // Queue one line (the line feed is added here). Callable from any thread.
  void writeOutput(std::string line);
  void writeError(std::string line);
  // Returns once everything queued before the call has been written.
  void drain();

  const std::string& label() const { return label_; }

private:
  void enqueue(int fd, std::string line);

  int outputFd_;
  int errorFd_;
  std::string label_;
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

} // namespace quelt
