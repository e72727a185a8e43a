#include "mux/rate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvale::Rate;

TEST(Rate, ParsesAndSpells) {
  const std::vector<std::pair<const char*, Rate>> good = {
      {"25", {25, 1}},          {"30000/1001", {30000, 1001}}, {"12.5", {25, 2}},
      {"29.97", {30000, 1001}}, {"23.976", {24000, 1001}},     {"59.94", {60000, 1001}},
      {"30.0", {30, 1}},        {"2997/100", {2997, 100}},     {"50/2", {25, 1}},
      {"0.5", {1, 2}},          {"120000", {120000, 1}},       {"1/3600", {1, 3600}}};
  for (const auto& [text, expected] : good) {
    Rate rate;
    EXPECT_TRUE(orvale::parse_rate(text, rate)) << text;
    EXPECT_EQ(rate, expected) << text;
    Rate again;
    EXPECT_TRUE(orvale::parse_rate(orvale::spell_rate(rate), again)) << text;
    EXPECT_EQ(again, expected) << text;
  }
  for (const char* bad : {"",       "0",      "0/1",          "25/0",   "-25",
                          "+25",    "abc",    "25fps",        "25/",    "/25",
                          "12.",    ".5",     " 25",          "1e3",    "99999999999999999999",
                          "120001", "1/3601", "4294967296/1", "25/1/1", "0.0000000001"}) {
    Rate rate{7, 1};
    EXPECT_FALSE(orvale::parse_rate(bad, rate)) << bad;
    EXPECT_EQ(rate, (Rate{7, 1})) << bad;
  }
  EXPECT_EQ(orvale::spell_rate({50, 2}), "25");
  EXPECT_EQ(orvale::spell_rate({60000, 2002}), "30000/1001");
  EXPECT_EQ(orvale::spell_rate({1, 5}), "0.2");
  EXPECT_EQ(orvale::spell_rate({2997, 100}), "2997/100");
}

}  // namespace
