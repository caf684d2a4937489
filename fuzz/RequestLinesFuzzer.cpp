// Request lines through a real Server and every op, on the fake platform services: the input's
// lines and "!" commands, and what is checked after them, are RequestRig's.

#include "RequestRig.h"

#include "protocol/LineFraming.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    count += entry.is_directory() ? 1 : 0;
  return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    quelt::fuzz::RequestRig rig;
    quelt::LineSplitter lines([&rig](std::string line) { rig.line(std::move(line)); });
    lines.feed({reinterpret_cast<const char*>(data), size});
    lines.finish();
    rig.finish();
  }
  // Every thread an input started has ended by now, or is about to: the server's writer was
  // joined with the server, the platform's callbacks as they returned, and the detached ones (a
  // file's delivery, an analyzer's results) let go of everything and only have to return. Only
  // the task worker stays.
  static const size_t threadsAfterFirstInput = threadCount();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (threadCount() > threadsAfterFirstInput && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (threadCount() > threadsAfterFirstInput)
    quelt::fuzz::violated("a thread outlived its input",
                          std::to_string(threadCount()) + " threads");
  return 0;
}
