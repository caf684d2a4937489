// The UTF-8 check and repair of request lines (LineFraming.h), apart from the framing itself:
// the client library carries the framing and has no use for ICU.

#include "protocol/LineFraming.h"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace quelt {

bool isValidUtf8(std::string_view bytes) {
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

std::string replaceInvalidUtf8(std::string bytes) {
  // Almost every line is valid; only the rare bad one pays for the round trip through UTF-16.
  if (bytes.size() > INT32_MAX || isValidUtf8(bytes))
    return bytes;
  std::string repaired;
  icu::UnicodeString::fromUTF8(bytes).toUTF8String(repaired);
  return repaired;
}

} // namespace quelt
