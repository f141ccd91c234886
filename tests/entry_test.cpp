#include <gtest/gtest.h>

#include "entry.h"

TEST(Length, AcceptsOneDecimalIntegerWithBlanks) {
  EXPECT_EQ(parse_length("1000"), 1000);
  EXPECT_EQ(parse_length("  77 \t"), 77);
  EXPECT_EQ(parse_length("1\r"), 1);
  EXPECT_EQ(parse_length("0001073741824"), 1073741824);
}

TEST(Length, RefusesEverythingElse) {
  for (const char* bad : {"", "   ", "0", "-5", "+5", "12x", "1 2", "x12", "1.5", "1e6",
                          "1073741825", "99999999999999999999999"}) {
    EXPECT_EQ(parse_length(bad), 0) << '"' << bad << '"';
  }
}

TEST(Length, RoundsUpToAPowerOfTwoOfAtLeast128) {
  EXPECT_EQ(round_length(1), 128);
  EXPECT_EQ(round_length(127), 128);
  EXPECT_EQ(round_length(128), 128);
  EXPECT_EQ(round_length(129), 256);
  EXPECT_EQ(round_length(1000), 1024);
  EXPECT_EQ(round_length(1025), 2048);
  EXPECT_EQ(round_length(1073741824), 1073741824);
  EXPECT_EQ(round_length(536870913), 1073741824);
}
