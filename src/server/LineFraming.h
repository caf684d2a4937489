#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quelt {

// Cuts a byte stream into request lines: a line ends at LF, a CR directly before the LF goes
// with it, and a last line without LF still counts. Lines are kept whole, however long; the
// length limit is the request handler's business.
class LineSplitter {
public:
  using LineHandler = std::function<void(std::string line)>;

  explicit LineSplitter(LineHandler onLine) : onLine_(std::move(onLine)) {}

  void feed(std::string_view bytes);
  // End of input: hands over an unterminated last line, if there is one.
  void finish();

private:
  void emit(std::string line);

  LineHandler onLine_;
  std::string pending_;
};

// The line's bytes with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replaceInvalidUtf8(std::string bytes);

} // namespace quelt
