#include "server/SerialWriter.h"

#include <asio/post.hpp>

#include <cerrno>
#include <future>
#include <pthread.h>
#include <unistd.h>

namespace quelt {
namespace {

void writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return; // A closed stream loses the line; nothing else to do with it.
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

} // namespace

SerialWriter::SerialWriter(int outputFd, int errorFd, std::string label)
    : outputFd_(outputFd), errorFd_(errorFd), label_(std::move(label)),
      work_(asio::make_work_guard(context_)) {
  thread_ = std::thread([this] {
    // Thread names are limited to 15 bytes.
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    context_.run();
  });
}

SerialWriter::~SerialWriter() {
  work_.reset();
  thread_.join();
}

void SerialWriter::writeOutput(std::string line) { enqueue(outputFd_, std::move(line)); }

void SerialWriter::writeError(std::string line) { enqueue(errorFd_, std::move(line)); }

void SerialWriter::enqueue(int fd, std::string line) {
  line += '\n';
  asio::post(context_, [fd, line = std::move(line)] { writeAll(fd, line); });
}

void SerialWriter::drain() {
  std::promise<void> written;
  auto done = written.get_future();
  asio::post(context_, [&written] { written.set_value(); });
  done.wait();
}

} // namespace quelt
