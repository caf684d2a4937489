#pragma once

// Human-readable output: a live status line that is rewritten in place on a terminal, and the
// small text helpers the subcommands share.

#include <cstddef>
#include <string>

namespace quelt::client {

class LiveLine {
public:
  // Live output only goes to a terminal; elsewhere `show` and `clear` do nothing.
  LiveLine();
  // Rewrites the line, keeping the end of `text` when it is wider than the terminal.
  void show(const std::string& text);
  // Erases the live line so that a permanent line can be printed in its place.
  void clear();

private:
  bool enabled_;
  bool shown_ = false;
};

// A bar of `width` cells for a level in decibels from -60 (empty) to 0 (full).
std::string levelBar(double rms, size_t width = 20);
// The characters of `text` covered by a range counted in UTF-16 code units, as the helper's
// speech ranges are; empty when the range lies outside the text.
std::string utf16Slice(const std::string& text, long location, long length);
// The last `cells` characters of `text` (code points; enough for a status line).
std::string lastCharacters(const std::string& text, size_t cells);

} // namespace quelt::client
