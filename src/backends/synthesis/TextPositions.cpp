#include "synthesis/TextPositions.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace quelt {

TextPositions::TextPositions(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  auto length = static_cast<int32_t>(text.size());
  byByte_.reserve(text.size() + 1);
  int64_t units = 0;
  for (int32_t at = 0; at < length;) {
    int32_t start = at;
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    byCodePoint_.push_back(units);
    byByte_.insert(byByte_.end(), static_cast<size_t>(at - start), units);
    units += c < 0 ? 1 : U16_LENGTH(c);
  }
  byCodePoint_.push_back(units);
  byByte_.push_back(units);
}

int64_t TextPositions::ofCodePoint(int64_t index) const {
  return byCodePoint_[static_cast<size_t>(std::clamp<int64_t>(index, 0, codePoints()))];
}

int64_t TextPositions::ofByte(int64_t offset) const {
  auto last = static_cast<int64_t>(byByte_.size()) - 1;
  return byByte_[static_cast<size_t>(std::clamp<int64_t>(offset, 0, last))];
}

} // namespace quelt
