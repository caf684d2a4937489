#include "platform/linux/LinuxProcessInfo.h"

#include <gtest/gtest.h>

namespace quelt {
namespace {

TEST(LinuxProcessInfo, KernelReleasesBecomeThreePartVersions) {
  auto full = parseKernelRelease("6.1.0-18-amd64");
  EXPECT_EQ(full.system, "Linux");
  EXPECT_EQ(std::tie(full.major, full.minor, full.patch), std::make_tuple(6, 1, 0));
  auto twoParts = parseKernelRelease("5.15-rc1");
  EXPECT_EQ(std::tie(twoParts.major, twoParts.minor, twoParts.patch), std::make_tuple(5, 15, 0));
  auto odd = parseKernelRelease("");
  EXPECT_EQ(std::tie(odd.major, odd.minor, odd.patch), std::make_tuple(0, 0, 0));
}

} // namespace
} // namespace quelt
