#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quelt {

// Where the characters of a UTF-8 text sit in UTF-16 code units, which is how the helper's
// ranges count: engines count code points or bytes. Malformed bytes count one unit each.
class TextPositions {
public:
  explicit TextPositions(std::string_view text);

  // The UTF-16 offset of the code point `index`, or of the end past the last one.
  int64_t ofCodePoint(int64_t index) const;
  // The UTF-16 offset of the code point that byte `offset` belongs to, or of the end.
  int64_t ofByte(int64_t offset) const;
  int64_t codePoints() const { return static_cast<int64_t>(byCodePoint_.size()) - 1; }

private:
  std::vector<int64_t> byCodePoint_; // one per code point, and the end
  std::vector<int64_t> byByte_;      // one per byte, and the end
};

} // namespace quelt
