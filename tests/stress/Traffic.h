#pragma once

// What a parent keeps track of while it drives the helper hard: the requests it sent, the
// replies that came back, and the lifecycle events of each capture and utterance.

#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quelt::testing {

inline const std::string fixtures = QUELT_FIXTURES_DIR;

inline bool isTerminal(const std::string& event) {
  return event == "capture.stopped" || event == "capture.cancelled" || event == "capture.failed" ||
         event == "speech.finished" || event == "speech.cancelled";
}

class Traffic {
public:
  explicit Traffic(HelperProcess& helper) : helper_(helper) {}

  // Sends a request with the next id and returns that id.
  int64_t send(const std::string& op, const Json& params = Json::object()) {
    int64_t id = nextId_++;
    sent_[id] = op;
    helper_.send(Json{{"id", id}, {"op", op}, {"params", params}}.dump());
    return id;
  }

  // Reads one line and files it; false when none came in time.
  bool pump(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto line = helper_.next(timeout);
    if (!line)
      return false;
    take(*line);
    return true;
  }

  void take(const Json& line) {
    if (line.contains("id")) {
      replies_[line["id"].get<int64_t>()].push_back(line);
      return;
    }
    std::string event = line.value("event", "");
    if (line.contains("capture"))
      captures_[line["capture"].get<int64_t>()].push_back(event);
    else if (line.contains("utterance"))
      utterances_[line["utterance"].get<int64_t>()].push_back(event);
    lastEvent_ = line;
  }

  bool answered(int64_t id) const { return replies_.count(id) > 0; }
  const Json& reply(int64_t id) const { return replies_.at(id).front(); }
  bool allAnswered() const {
    for (const auto& [id, op] : sent_)
      if (!answered(id))
        return false;
    return true;
  }
  bool ended(const std::map<int64_t, std::vector<std::string>>& sessions, int64_t id) const {
    auto found = sessions.find(id);
    return found != sessions.end() && !found->second.empty() && isTerminal(found->second.back());
  }
  bool captureEnded(int64_t capture) const { return ended(captures_, capture); }
  bool utteranceEnded(int64_t utterance) const { return ended(utterances_, utterance); }

  // Every request answered exactly once; or, for a helper that went away while some were in
  // flight, at most once.
  enum class Replies { exactlyOnce, atMostOnce };
  void expectReplies(Replies rule = Replies::exactlyOnce) const {
    for (const auto& [id, op] : sent_) {
      auto found = replies_.find(id);
      size_t count = found == replies_.end() ? 0 : found->second.size();
      if (rule == Replies::exactlyOnce)
        EXPECT_EQ(count, 1u) << op << " (request " << id << ")";
      else
        EXPECT_LE(count, 1u) << op << " (request " << id << ")";
    }
  }

  // Exactly one terminal event, and nothing after it but a level reading of audio that was
  // already on its way when the source stopped.
  static void expectOneEnd(const std::vector<std::string>& events, const std::string& what) {
    auto end = std::find_if(events.begin(), events.end(), isTerminal);
    ASSERT_NE(end, events.end()) << what << " never ended";
    EXPECT_TRUE(std::all_of(end + 1, events.end(),
                            [](const std::string& event) { return event == "capture.level"; }))
        << what << ": " << ::testing::PrintToString(events);
  }

  const std::map<int64_t, std::vector<std::string>>& captures() const { return captures_; }
  const std::map<int64_t, std::vector<std::string>>& utterances() const { return utterances_; }
  const std::map<int64_t, std::string>& sent() const { return sent_; }

private:
  HelperProcess& helper_;
  int64_t nextId_ = 1;
  std::map<int64_t, std::string> sent_;
  std::map<int64_t, std::vector<Json>> replies_;
  std::map<int64_t, std::vector<std::string>> captures_;
  std::map<int64_t, std::vector<std::string>> utterances_;
  Json lastEvent_;
};

inline Json fileSource(const std::string& name, bool realtime) {
  return {{"kind", "file"}, {"path", fixtures + "/" + name}, {"realtime", realtime}};
}

// What the process holds, read from /proc.
struct Footprint {
  size_t threads = 0;
  size_t descriptors = 0;
  size_t residentKb = 0;
};

inline size_t entries(const std::string& directory) {
  size_t count = 0;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
  }
  return count;
}

inline Footprint footprint(pid_t pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  Footprint taken{entries(proc + "/task"), entries(proc + "/fd"), 0};
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0)
      taken.residentKb = std::stoul(line.substr(6));
  return taken;
}

// Processes whose parent is this one and that still run (zombies are reaped first).
inline std::vector<pid_t> liveChildren() {
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text))
      continue;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == ::getpid() && state != 'Z')
      children.push_back(std::stoi(entry.path().filename().string()));
  }
  return children;
}

// Children that are still there after `patience`: one that notices its parent is gone and ends
// on its own is not left behind.
inline std::vector<pid_t>
childrenLeftBehind(std::chrono::milliseconds patience = std::chrono::seconds(3)) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  auto children = liveChildren();
  while (!children.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    children = liveChildren();
  }
  return children;
}

inline int environmentCount(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

} // namespace quelt::testing
