#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

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
  // No 32-bit power of two lies above 2^30; below 1 the least length is the answer.
  for (int32_t above : {1073741825, 2147483647}) EXPECT_EQ(round_length(above), 0) << above;
  for (int32_t below : {0, -1, -2147483647 - 1}) EXPECT_EQ(round_length(below), 128) << below;
}

TEST(Memory, RunsThatDoNotFitAreRefusedAndUnknownMemoryIsNoBar) {
  EXPECT_TRUE(memory_suffices(1000, 1000));
  EXPECT_FALSE(memory_suffices(1001, 1000));
  EXPECT_TRUE(memory_suffices(int64_t{12} << 30, -1));
  EXPECT_FALSE(memory_suffices(int64_t{12} << 30, int64_t{8} << 30));
}

TEST(Memory, RunBytesCountEveryBufferRoundedToCacheLines) {
  // 2^20 digits: five numbers of 262148 words, 262158 work words, two arrays of 262144
  // doubles, each rounded up to 64 bytes.
  EXPECT_EQ(run_bytes(1 << 20), 5 * 524352 + 524352 + 2 * 2097152);
  // 2^30 digits: 28 bytes a word and the rounding, past 32 bits.
  EXPECT_EQ(run_bytes(1 << 30), 6 * int64_t{536870976} + 2 * (int64_t{1} << 31));
}

TEST(Memory, AvailableMemoryIsReadFromMeminfo) {
  char path[] = "/tmp/meminfo_test.XXXXXX";
  const int fd = mkstemp(path);
  const std::string text = "MemTotal:       24000000 kB\nMemFree:  100 kB\n"
                           "MemAvailable:    2048 kB\nBuffers: 5 kB\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(available_memory(path), 2048 * 1024);
  std::remove(path);
  EXPECT_EQ(available_memory(path), -1);
  EXPECT_GT(available_memory("/proc/meminfo"), 0);
}
