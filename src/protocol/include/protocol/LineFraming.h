#pragma once

#include "protocol/Identity.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quelt {

// Cuts a byte stream into lines: a line ends at LF, and a last line without LF still counts.
//
// Request lines, as the helper reads them: a CR directly before the LF goes with it, and of a
// line longer than maxLineBytes only the first maxLineBytes + 1 bytes are kept, which is enough
// for the request handler to refuse it; the rest is dropped as it streams in, so a line that
// never ends costs no more memory than the limit. Plain lines keep every byte but the LF,
// however long.
class LineSplitter {
public:
  using LineHandler = std::function<void(std::string line)>;
  enum class Lines { requests, plain };

  explicit LineSplitter(LineHandler onLine, Lines lines = Lines::requests)
      : onLine_(std::move(onLine)), crlf_(lines == Lines::requests),
        maxBytes_(crlf_ ? maxLineBytes : SIZE_MAX - 1) {}

  void feed(std::string_view bytes);
  // End of input: hands over an unterminated last line, if there is one.
  void finish();

private:
  void keep(std::string_view bytes);
  void emit();

  LineHandler onLine_;
  bool crlf_;
  size_t maxBytes_;
  std::string pending_;
  // Bytes of the pending line were dropped: it is too long whatever its end turns out to be.
  bool overlong_ = false;
};

// Plain lines of what is read from a descriptor, handed out one at a time to a reader that
// waits for them. What follows the last LF is not a line until its LF comes.
class LineReader {
public:
  LineReader()
      : splitter_([this](std::string line) { lines_.push_back(std::move(line)); },
                  LineSplitter::Lines::plain) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads from `fd` once, as read() does (retrying when interrupted), and keeps what came.
  ssize_t read(int fd);
  // A whole line already read, if there is one.
  std::optional<std::string> take();
  // The next line from `fd`, waiting at most `timeout`; nothing when none came in time, or at
  // the end of the stream or an error.
  std::optional<std::string> next(int fd, std::chrono::steady_clock::duration timeout);
  // At the end of the stream, what follows the last LF is a line too.
  void finish() { splitter_.finish(); }

private:
  std::deque<std::string> lines_;
  LineSplitter splitter_;
};

bool isValidUtf8(std::string_view bytes);
// The line's bytes with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replaceInvalidUtf8(std::string bytes);

} // namespace quelt
