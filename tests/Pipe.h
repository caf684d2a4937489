#pragma once

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace quelt::testing {

// Both ends of a pipe, closed on destruction. Close-on-exec, so a spawned child keeps only the
// ends it is given.
struct Pipe {
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    readEnd = ends[0];
    writeEnd = ends[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void closeRead() { close(readEnd); }
  void closeWrite() { close(writeEnd); }

  int readEnd = -1;
  int writeEnd = -1;

private:
  static void close(int& fd) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
};

} // namespace quelt::testing
