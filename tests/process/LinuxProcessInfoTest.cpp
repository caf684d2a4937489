#include "process/LinuxProcessInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace quelt {
namespace {

// Sets the locale variables for one test and puts back what they were.
class LocaleVariables {
public:
  LocaleVariables(const char* all, const char* messages, const char* lang) {
    for (const char* name : names) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    }
    set(all, messages, lang);
  }
  ~LocaleVariables() {
    for (size_t i = 0; i < std::size(names); ++i)
      put(names[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  // Null leaves a variable unset.
  void set(const char* all, const char* messages, const char* lang) {
    put("LC_ALL", all);
    put("LC_MESSAGES", messages);
    put("LANG", lang);
  }

private:
  static constexpr const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  static void put(const char* name, const char* value) {
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  std::vector<std::optional<std::string>> saved_;
};

TEST(LinuxProcessInfo, TheCurrentLocaleIsTheFirstLocaleVariableSetToSomething) {
  LocaleVariables variables("", "", "en_US.UTF-8");
  LinuxProcessInfo process;
  EXPECT_EQ(process.currentLocale(), "en-US");
  variables.set("", "ca_ES.UTF-8@valencia", "en_US.UTF-8");
  EXPECT_EQ(process.currentLocale(), "ca-ES-valencia");
  variables.set("de_DE.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8");
  EXPECT_EQ(process.currentLocale(), "de-DE");
  variables.set("C.UTF-8", nullptr, "en_GB.UTF-8");
  EXPECT_EQ(process.currentLocale(), "en-US-u-va-posix");
  variables.set(nullptr, nullptr, "");
  EXPECT_EQ(process.currentLocale(), "en-US-u-va-posix");
}

} // namespace
} // namespace quelt
