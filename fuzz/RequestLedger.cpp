#include "RequestLedger.h"

#include "protocol/JsonLine.h"
#include "protocol/Params.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace quelt::fuzz {

void violated(const std::string& what, const std::string& detail) {
  std::fprintf(stderr, "invariant violated: %s\n%s\n", what.c_str(), detail.c_str());
  std::abort();
}

std::string transcript(const std::vector<std::string>& output) {
  std::string all;
  for (const auto& line : output)
    all += line + "\n";
  return all;
}

std::vector<std::string> writtenLines(int fd) {
  std::string all;
  char chunk[65536];
  ssize_t count;
  for (off_t at = 0; (count = ::pread(fd, chunk, sizeof chunk, at)) > 0; at += count)
    all.append(chunk, static_cast<size_t>(count));
  std::vector<std::string> lines;
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos)
      violated("an output line without its line feed", all.substr(start));
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

namespace {

// A few files in a directory of this process's own, the extension kept since it picks the
// container; a path ending in "/" names the directory itself.
std::string scratchPath(const std::string& path) {
  static const std::string directory = [] {
    char name[] = "/tmp/quelt-fuzz-XXXXXX";
    if (!::mkdtemp(name))
      violated("no scratch directory", "");
    return std::string(name);
  }();
  if (path.back() == '/')
    return directory + "/";
  size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot, 6);
  if (extension.find('/') != std::string::npos)
    extension.clear();
  return directory + "/" + std::to_string(std::hash<std::string>()(path) % 4) + extension;
}

} // namespace

// Reads in place, as copies of deep values recurse.
std::optional<std::string> RequestLedger::admit(std::string text) {
  // Read as the server reads it: a NUL byte anywhere spoils the line there too.
  Json request = parseJsonLine(text);
  auto id =
      request.is_object() && request.contains("id") ? integerValue(request["id"]) : std::nullopt;
  if (!id)
    return text;
  ++requests_[*id];
  auto op = request.find("op");
  auto params = request.find("params");
  if (op == request.end() || !op->is_string() || params == request.end() || !params->is_object())
    return text;
  auto read = [&](const char* key) -> std::optional<int64_t> {
    auto found = params->find(key);
    return found == params->end() ? std::nullopt : integerValue(*found);
  };
  if (*op == "capture.start")
    if (auto capture = read("capture"))
      ++captureStarts_[*capture];
  if (*op == "speech.speak")
    if (auto utterance = read("utterance"))
      ++speakRequests_[*utterance];
  auto path = params->find("path");
  if (*op != "speech.synthesize_file" || path == params->end() || !path->is_string() ||
      path->get_ref<const std::string&>().rfind('/', 0) != 0)
    return text;
  if (text.size() > 4096) {
    --requests_[*id]; // too deep to rewrite safely: not sent
    return std::nullopt;
  }
  *path = scratchPath(path->get<std::string>());
  return request.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void RequestLedger::checkEveryRequestAnswered(const std::vector<std::string>& output) {
  std::map<int64_t, int> answered;
  for (const auto& text : output) {
    Json message = Json::parse(text, nullptr, false);
    if (message.contains("id") && message["id"].is_number_integer())
      ++answered[message["id"].get<int64_t>()];
  }
  for (const auto& [id, count] : requests_)
    if (answered[id] != count)
      violated("request " + std::to_string(id) + " was answered " + std::to_string(answered[id]) +
                   " times, asked " + std::to_string(count),
               transcript(output));
}

void RequestLedger::checkOutput(const std::vector<std::string>& output) {
  std::map<int64_t, int> answered, listening, ended, finishedSpeaking;
  std::map<int64_t, bool> open;
  for (const auto& text : output) {
    Json message = Json::parse(text, nullptr, false);
    if (!message.is_object())
      violated("an output line is not a JSON object", text);
    if (message.contains("id")) {
      ++answered[message["id"].get<int64_t>()];
      continue;
    }
    if (!message.contains("event") || !message["event"].is_string())
      violated("an output line is neither a reply nor an event", text);
    std::string event = message["event"];
    if (event.rfind("capture.", 0) == 0) {
      int64_t capture = message.at("capture").get<int64_t>();
      if (event == "capture.listening") {
        // Only one session holds an id at a time: the one before must have ended.
        if (open[capture])
          violated("a capture listened again before it ended", text + "\n" + transcript(output));
        ++listening[capture];
        open[capture] = true;
      } else if (event == "capture.stopped" || event == "capture.cancelled" ||
                 event == "capture.failed") {
        ++ended[capture];
        open[capture] = false;
      } else if (!open[capture]) {
        violated("a capture event outside a listening session", text + "\n" + transcript(output));
      }
    } else if (event.rfind("speech.", 0) == 0) {
      int64_t utterance = message.at("utterance").get<int64_t>();
      if (!speakRequests_.count(utterance))
        violated("an event for an utterance never asked for", text);
      if (event == "speech.finished" || event == "speech.cancelled")
        ++finishedSpeaking[utterance];
    }
  }
  for (const auto& [id, count] : answered)
    if (count > requests_[id])
      violated("request " + std::to_string(id) + " was answered twice", transcript(output));
  for (const auto& [capture, count] : listening)
    if (ended[capture] < count)
      violated("capture " + std::to_string(capture) + " listened without ending",
               transcript(output));
  for (const auto& [capture, count] : ended)
    if (count > captureStarts_[capture])
      violated("capture " + std::to_string(capture) + " ended more often than it started",
               transcript(output));
  for (const auto& [utterance, count] : finishedSpeaking)
    if (count > speakRequests_[utterance])
      violated("utterance " + std::to_string(utterance) + " ended twice", transcript(output));
}

} // namespace quelt::fuzz
