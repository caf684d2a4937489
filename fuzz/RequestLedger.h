#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quelt::fuzz {

[[noreturn]] void violated(const std::string& what, const std::string& detail);

// The lines written to `fd` so far.
std::vector<std::string> writtenLines(int fd);
// The server's output lines as it wrote them, for the report of a violation.
std::string transcript(const std::vector<std::string>& output);

// What the input's requests asked for, and whether the server's output kept to what a parent
// relies on.
class RequestLedger {
public:
  // Notes what the request asks for, and keeps renders inside a scratch directory: the render
  // op replaces the file at its path. Nothing when the line is not to be sent.
  std::optional<std::string> admit(std::string text);
  // Once the writer has drained: each request with an id is answered exactly once.
  void checkEveryRequestAnswered(const std::vector<std::string>& output);
  // Every line is one JSON object; no request is answered twice; a capture id does not listen
  // again before its session ended, every session that listened ends and none ends twice or
  // speaks after its end; no utterance ends twice.
  void checkOutput(const std::vector<std::string>& output);

private:
  std::map<int64_t, int> requests_;
  std::map<int64_t, int> captureStarts_;
  std::map<int64_t, int> speakRequests_;
};

} // namespace quelt::fuzz
