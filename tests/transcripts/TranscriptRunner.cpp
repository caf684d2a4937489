// Replays a transcript through the helper's ops on the fake platform services and checks that
// the helper wrote exactly the lines the transcript expects, where it expects them.
//
// A transcript is lines of these kinds:
//   {"id":1,"op":…}   a request line, as the parent would write it
//   !w                something happening on the platform side (RequestRig lists them)
//   !?s               a note of what the platform was asked (RequestRig::note)
//   < {"event":…}     a line the helper writes after the input line above it, in order
//   < = speak "…"     a note, in its place among those lines
//   !finish           end of input: everything under way finishes and the helper shuts down
// plus comments (#) and blank lines. In an input line, «text×N» stands for N copies of text.
// Whatever the transcript expects, every request must be answered exactly once.
//
//   quelt_transcripts FILE...            checks each file
//   QUELT_TRANSCRIPT_UPDATE=1 ...        writes what the helper said into the files instead

#include "RequestRig.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Writes out each «text×N».
std::string expand(std::string line) {
  for (size_t open; (open = line.find("«")) != std::string::npos;) {
    size_t times = line.find("×", open);
    size_t close = line.find("»", times);
    if (times == std::string::npos || close == std::string::npos)
      break;
    std::string text = line.substr(open + 2, times - open - 2);
    size_t count = std::stoul(line.substr(times + 2, close - times - 2));
    std::string copies;
    for (size_t k = 0; k < count; ++k)
      copies += text;
    line.replace(open, close + 2 - open, copies);
  }
  return line;
}

// Checks one file; with `update`, rewrites its expectations instead. True when it held.
bool replay(const std::string& path, bool update) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << path << ": cannot be read\n";
    return false;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);

  quelt::fuzz::RequestRig rig;
  std::vector<std::string> rewritten;
  bool held = true;
  size_t at = 0;
  while (at < lines.size()) {
    const std::string& input = lines[at];
    rewritten.push_back(input);
    ++at;
    if (input.empty() || input.front() == '#' || startsWith(input, "<"))
      continue;
    if (input == "!finish")
      rig.finish();
    else
      rig.line(expand(input));
    std::vector<std::string> said = rig.takeOutput();
    // The expectations are the "<" lines that follow, up to the next input.
    size_t first = at;
    while (at < lines.size() && startsWith(lines[at], "<"))
      ++at;
    std::vector<std::string> expected;
    for (size_t k = first; k < at; ++k)
      expected.push_back(lines[k].substr(lines[k].size() > 1 && lines[k][1] == ' ' ? 2 : 1));
    for (const auto& line : said)
      rewritten.push_back("< " + line);
    if (update || said == expected)
      continue;
    held = false;
    std::cerr << path << ":" << first << ": after " << input << "\n";
    for (const auto& line : expected)
      std::cerr << "  expected " << line << "\n";
    for (const auto& line : said)
      std::cerr << "  got      " << line << "\n";
  }
  if (lines.empty() || lines.back() != "!finish")
    rig.finish();
  if (update) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto& line : rewritten)
      out << line << "\n";
  }
  return held;
}

} // namespace

int main(int argc, char** argv) {
  bool update = std::getenv("QUELT_TRANSCRIPT_UPDATE") != nullptr;
  int failed = 0;
  for (int k = 1; k < argc; ++k)
    failed += replay(argv[k], update) ? 0 : 1;
  return failed == 0 ? 0 : 1;
}
