#include "protocol/LineFraming.h"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

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
    if (!overlong_ && !pending_.empty() && pending_.back() == '\r')
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

namespace {

bool isValidUtf8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = static_cast<int32_t>(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0)
      return false;
  }
  return true;
}

} // namespace

std::string replaceInvalidUtf8(std::string bytes) {
  // Almost every line is valid; only the rare bad one pays for the round trip through UTF-16.
  if (bytes.size() > INT32_MAX || isValidUtf8(bytes))
    return bytes;
  std::string repaired;
  icu::UnicodeString::fromUTF8(bytes).toUTF8String(repaired);
  return repaired;
}

} // namespace quelt
