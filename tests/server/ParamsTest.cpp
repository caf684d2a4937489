#include "protocol/Params.h"

#include <gtest/gtest.h>

namespace quelt {
namespace {

Params parse(const char* text) { return Params(Json::parse(text)); }

TEST(Params, IntegersAreTruncatedTowardZeroAndOutOfRangeIsNothing) {
  auto params = parse(R"({"a":7,"b":7.9,"c":-7.9,"d":1e19,"e":18446744073709551615,
                          "f":"7","g":true,"h":null,"i":-9223372036854775808})");
  EXPECT_EQ(params.integer("a"), 7);
  EXPECT_EQ(params.integer("b"), 7);
  EXPECT_EQ(params.integer("c"), -7);
  EXPECT_EQ(params.integer("d"), std::nullopt);
  EXPECT_EQ(params.integer("e"), std::nullopt);
  EXPECT_EQ(params.integer("f"), std::nullopt);
  EXPECT_EQ(params.integer("g"), std::nullopt);
  EXPECT_EQ(params.integer("h"), std::nullopt);
  EXPECT_EQ(params.integer("i"), INT64_MIN);
  EXPECT_EQ(params.integer("missing"), std::nullopt);
}

TEST(Params, AStringArrayWithOneOtherElementIsNothing) {
  auto params = parse(R"({"ok":["a","b"],"empty":[],"mixed":["a",1],"notArray":"a"})");
  EXPECT_EQ(params.stringArray("ok"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(params.stringArray("empty"), std::vector<std::string>{});
  EXPECT_EQ(params.stringArray("mixed"), std::nullopt);
  EXPECT_EQ(params.stringArray("notArray"), std::nullopt);
}

} // namespace
} // namespace quelt
