#pragma once

#include "protocol/Identity.h"

#include <functional>
#include <string>
#include <string_view>

namespace quelt {

// Cuts a byte stream into request lines: a line ends at LF, a CR directly before the LF goes
// with it, and a last line without LF still counts.
//
// Of a line longer than `maxBytes` only the first maxBytes + 1 bytes are kept, which is enough
// for the request handler to refuse it; the rest is dropped as it streams in, so a line that
// never ends costs no more memory than the limit.
class LineSplitter {
public:
  using LineHandler = std::function<void(std::string line)>;

  explicit LineSplitter(LineHandler onLine, size_t maxBytes = maxLineBytes)
      : onLine_(std::move(onLine)), maxBytes_(maxBytes) {}

  void feed(std::string_view bytes);
  // End of input: hands over an unterminated last line, if there is one.
  void finish();

private:
  void keep(std::string_view bytes);
  void emit();

  LineHandler onLine_;
  size_t maxBytes_;
  std::string pending_;
  // Bytes of the pending line were dropped: it is too long whatever its end turns out to be.
  bool overlong_ = false;
};

// The line's bytes with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replaceInvalidUtf8(std::string bytes);

} // namespace quelt
