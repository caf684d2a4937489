#include "linux/PulseServerFixture.h"

#include <chrono>
#include <sstream>
#include <thread>

namespace quelt::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto unloadTimeout = 5s;

} // namespace

void PulseServerFixture::SetUp() {
  try {
    server_.emplace();
  } catch (const std::exception& error) {
    FAIL() << error.what();
  }
  pulseServer_.emplace("PULSE_SERVER", server_->address());
}

void PulseServerFixture::TearDown() {
  pulseServer_.reset();
  server_.reset();
}

std::optional<std::string> PulseServerFixture::pactl(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"pactl", "-s", server_->address()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::string text;
  try {
    ChildProcess child(command, {.input = ChildProcess::null, .error = ChildProcess::sameAsOutput});
    text = child.readAllOutput();
    if (exitedWithZero(child.wait()))
      return text;
  } catch (const PlatformError& error) {
    text = error.what();
  }
  std::string shown;
  for (const auto& part : command)
    shown += part + " ";
  ADD_FAILURE() << shown << "failed:\n" << text;
  return std::nullopt;
}

bool PulseServerFixture::unloadMicSource() {
  auto listing = pactl({"list", "modules", "short"});
  if (!listing)
    return false;
  std::optional<std::string> index;
  std::stringstream lines(*listing);
  for (std::string line; std::getline(lines, line);)
    if (line.find(std::string("source_name=") + micSourceName + " ") != std::string::npos)
      index = line.substr(0, line.find('\t'));
  if (!index) {
    ADD_FAILURE() << "no module owns " << micSourceName;
    return false;
  }
  if (!pactl({"unload-module", *index}))
    return false;
  // The server acknowledges the request before it gets round to the unloading.
  auto deadline = Clock::now() + unloadTimeout;
  std::string prefix = *index + "\t";
  while (Clock::now() < deadline) {
    listing = pactl({"list", "modules", "short"});
    if (!listing)
      return false;
    if (listing->rfind(prefix, 0) != 0 && listing->find("\n" + prefix) == std::string::npos)
      return true;
    std::this_thread::sleep_for(10ms);
  }
  ADD_FAILURE() << "module " << *index << " is still loaded";
  return false;
}

} // namespace quelt::testing
