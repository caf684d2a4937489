#include "server/HelperError.h"

#include <gtest/gtest.h>

namespace quelt {
namespace {

TEST(HelperError, NativeWrapsThePlatformErrorWithTheStepsContext) {
  auto error = HelperError::native(PlatformError("espeak-ng", 42, "voice not found"), "speak");
  EXPECT_EQ(error.json(), (Json{{"code", "native"},
                                {"message", "speak: voice not found"},
                                {"domain", "espeak-ng"},
                                {"native_code", 42}}));
  std::runtime_error plain("out of memory");
  EXPECT_EQ(HelperError::native(plain, "render").json(),
            (Json{{"code", "native"}, {"message", "render: out of memory"}}));
  const std::exception& asBase = PlatformError("POSIX", 2, "No such file or directory");
  EXPECT_EQ(HelperError::native(asBase, "open").domain(), "POSIX");
}

} // namespace
} // namespace quelt
