#pragma once

#include <cstddef>
#include <string_view>

namespace quelt {

// The number of user-perceived characters (extended grapheme clusters) in UTF-8 text: what the
// protocol's text limits count.
size_t userPerceivedLength(std::string_view text);

} // namespace quelt
