#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace quelt::testing {

// The synthesis workers that `parent` started and that still run.
inline std::vector<pid_t> synthesisWorkersOf(pid_t parent) {
  std::vector<pid_t> workers;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text) || text.rfind(')') == std::string::npos)
      continue;
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string arguments((std::istreambuf_iterator<char>(cmdline)), {});
    if (ppid == parent && state != 'Z' &&
        arguments.find(std::string("--synthesis-worker") + '\0') != std::string::npos)
      workers.push_back(std::stoi(entry.path().filename().string()));
  }
  return workers;
}

// Waits until `parent` has at least one synthesis worker.
inline std::vector<pid_t>
awaitSynthesisWorkers(pid_t parent, std::chrono::seconds patience = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  auto workers = synthesisWorkersOf(parent);
  while (workers.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    workers = synthesisWorkersOf(parent);
  }
  return workers;
}

// Waits until none of `workers` runs any more.
inline bool awaitEnd(const std::vector<pid_t>& workers, pid_t parent,
                     std::chrono::seconds patience = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    auto running = synthesisWorkersOf(parent);
    bool any = false;
    for (pid_t worker : workers)
      any = any || std::find(running.begin(), running.end(), worker) != running.end();
    if (!any)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

} // namespace quelt::testing
