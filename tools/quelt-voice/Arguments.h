#pragma once

// The command line: a subcommand, its words, and its options; and the help that describes them.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelt::client {

// A command line that does not say something this client can do; exits with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Arguments {
  std::string command;
  std::vector<std::string> words;
  // Without the leading "--"; flags map to "". An option given again keeps each value.
  std::multimap<std::string, std::string> options;
  bool json = false;
  bool help = false;    // --help, or the "help" command: `command` names the topic, if any
  bool version = false; // --version
  std::optional<std::string> helperPath;

  bool has(const std::string& name) const { return options.count(name) > 0; }
  // The option's last value.
  std::optional<std::string> text(const std::string& name) const;
  // Every value the option was given, in order.
  std::vector<std::string> texts(const std::string& name) const;
  // The option's value as a number; a UsageError when it is not one.
  std::optional<double> number(const std::string& name) const;
  // The words from `first` on, joined by spaces: the text of say and render.
  std::string joinedWords(size_t first) const;
};

// Reads argv (without the program name). Throws UsageError.
Arguments parseArguments(const std::vector<std::string>& argv);

// The whole usage, for --help and for a command line with nothing on it.
std::string usageText();
// One command's help; a UsageError for a command that does not exist.
std::string commandHelp(const std::string& command);

} // namespace quelt::client
