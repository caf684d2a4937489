// quelt-voice: speech from the command line, through the helper run as a child process.

#include "Arguments.h"
#include "Commands.h"
#include "protocol/Version.h"
#include "quelt/client/Helper.h"

#include <iostream>

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
    // A Ctrl-C ends the helper's work in order rather than this program at once.
    Helper::catchInterrupts();
    // The helper named on the command line, else as the library finds it.
    Helper helper(arguments.helperPath);
    return runCommand(helper, arguments);
  } catch (const std::exception& error) {
    std::cerr << "quelt-voice: " << error.what() << '\n';
    return exitFailed;
  }
}
