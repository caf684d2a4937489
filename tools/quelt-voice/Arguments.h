#pragma once

// The command line: a subcommand, its words, and its options.

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
  std::map<std::string, std::string> options; // without the leading "--"; flags map to ""
  bool json = false;
  bool help = false;
  std::optional<std::string> helperPath;

  bool has(const std::string& name) const { return options.count(name) > 0; }
  std::optional<std::string> text(const std::string& name) const;
  // The option's value as a number; a UsageError when it is not one.
  std::optional<double> number(const std::string& name) const;
};

// Reads argv (without the program name). Throws UsageError.
Arguments parseArguments(const std::vector<std::string>& argv);

extern const char* const usageText;

} // namespace quelt::client
