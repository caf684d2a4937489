// quelt-voice: speech from the command line, through the helper run as a child process.

#include "Arguments.h"
#include "Commands.h"
#include "HelperChild.h"
#include "protocol/Version.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace {

// The helper named on the command line or in the environment, else the one installed next to
// this program (as the build leaves them), else the one on PATH.
std::string helperPath(const quelt::client::Arguments& arguments) {
  if (arguments.helperPath)
    return *arguments.helperPath;
  if (const char* fromEnvironment = std::getenv("QUELT_VOICE_HELPER");
      fromEnvironment && *fromEnvironment)
    return fromEnvironment;
  std::error_code failed;
  auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (!failed) {
    auto sibling = self.parent_path() / "quelt-voice-helper";
    if (::access(sibling.c_str(), X_OK) == 0)
      return sibling.string();
  }
  return "quelt-voice-helper";
}

} // namespace

int main(int argc, char** argv) {
  using namespace quelt::client;
  if (argc < 2) {
    std::cerr << usageText();
    return exitUsage;
  }
  Arguments arguments;
  try {
    arguments = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (arguments.help) {
      std::cout << (arguments.command.empty() ? usageText() : commandHelp(arguments.command));
      return exitOk;
    }
  } catch (const UsageError& error) {
    std::cerr << "quelt-voice: " << error.what() << " (quelt-voice --help shows the usage)\n";
    return exitUsage;
  }
  if (arguments.version) {
    std::cout << "quelt-voice " << quelt::projectVersion << '\n';
    return exitOk;
  }
  try {
    HelperChild helper(helperPath(arguments));
    return runCommand(helper, arguments);
  } catch (const std::exception& error) {
    std::cerr << "quelt-voice: " << error.what() << '\n';
    return exitFailed;
  }
}
