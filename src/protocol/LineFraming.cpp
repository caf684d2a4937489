#include "protocol/LineFraming.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace quelt {

void LineSplitter::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    auto end = bytes.find('\n');
    if (end == std::string_view::npos) {
      keep(bytes);
      return;
    }
    keep(bytes.substr(0, end));
    bytes.remove_prefix(end + 1);
    // The CR of a CR LF belongs to the line end; in a line that lost bytes, no kept CR was
    // directly before the LF.
    if (crlf_ && !overlong_ && !pending_.empty() && pending_.back() == '\r')
      pending_.pop_back();
    emit();
  }
}

void LineSplitter::finish() {
  // No LF followed, so a trailing CR is part of the line.
  if (!pending_.empty())
    emit();
}

void LineSplitter::keep(std::string_view bytes) {
  // Up to one byte past the limit: that byte may be the CR of the line end.
  size_t room = maxBytes_ + 1 - pending_.size();
  if (bytes.size() > room) {
    overlong_ = true;
    bytes = bytes.substr(0, room);
  }
  pending_.append(bytes);
}

void LineSplitter::emit() {
  std::string line = std::move(pending_);
  pending_.clear();
  overlong_ = false;
  onLine_(std::move(line));
}

ssize_t LineReader::read(int fd) {
  char chunk[65536];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) < 0 && errno == EINTR) {
  }
  if (got > 0)
    splitter_.feed({chunk, static_cast<size_t>(got)});
  return got;
}

std::optional<std::string> LineReader::take() {
  if (lines_.empty())
    return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::optional<std::string> LineReader::next(int fd, std::chrono::steady_clock::duration timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto line = take())
      return line;
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable = {fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) == 0)
      return std::nullopt;
    if (readable.revents == 0)
      continue;
    if (ssize_t got = read(fd); got == 0 || (got < 0 && errno != EAGAIN))
      return std::nullopt;
  }
}

} // namespace quelt
