#include "Terminal.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quelt::client {

namespace {

size_t terminalWidth() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

} // namespace

LiveLine::LiveLine() : enabled_(::isatty(STDOUT_FILENO) == 1) {}

void LiveLine::show(const std::string& text) {
  if (!enabled_)
    return;
  // One cell short of the width: a line that fills the last column wraps on some terminals
  // and the carriage return would then rewrite only its second half.
  std::printf("\r\033[K%s", lastCharacters(text, terminalWidth() - 1).c_str());
  std::fflush(stdout);
  shown_ = true;
}

void LiveLine::clear() {
  if (!enabled_ || !shown_)
    return;
  std::printf("\r\033[K");
  std::fflush(stdout);
  shown_ = false;
}

std::string levelBar(double rms, size_t width) {
  double decibels = rms > 0 ? 20.0 * std::log10(rms) : -60.0;
  double share = std::clamp((decibels + 60.0) / 60.0, 0.0, 1.0);
  size_t filled = static_cast<size_t>(std::lround(share * static_cast<double>(width)));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

std::string utf16Slice(const std::string& text, long location, long length) {
  auto units = icu::UnicodeString::fromUTF8(text);
  if (location < 0 || length <= 0 || location >= units.length())
    return {};
  std::string out;
  units.tempSubString(static_cast<int32_t>(location), static_cast<int32_t>(length))
      .toUTF8String(out);
  return out;
}

std::string lastCharacters(const std::string& text, size_t cells) {
  auto units = icu::UnicodeString::fromUTF8(text);
  int32_t count = units.countChar32();
  if (count <= static_cast<int32_t>(cells))
    return text;
  int32_t start = units.moveIndex32(0, count - static_cast<int32_t>(cells));
  std::string out;
  units.tempSubString(start).toUTF8String(out);
  return out;
}

} // namespace quelt::client
