#include "server/LineFraming.h"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace quelt {

void LineSplitter::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    auto end = bytes.find('\n');
    if (end == std::string_view::npos) {
      pending_.append(bytes);
      return;
    }
    pending_.append(bytes.substr(0, end));
    bytes.remove_prefix(end + 1);
    emit(std::move(pending_));
    pending_.clear();
  }
}

void LineSplitter::finish() {
  if (pending_.empty())
    return;
  // No LF followed, so a trailing CR is part of the line.
  onLine_(std::move(pending_));
  pending_.clear();
}

void LineSplitter::emit(std::string line) {
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
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
