// Long runs of both programs, checked against MPFR's digits of pi.
#include "known_digits.h"
#include "long_runs.h"


TEST(LongRuns, BothProgramsAMillionDigitsAgreeWithMpfrAndEachOther) {
  std::string tallow = expect_right_digits(TALLOW_PATH, 1048576);
  std::string wicker = expect_right_digits(WICKER_PATH, 1048576);
  EXPECT_TRUE(tallow == wicker);
}

TEST(LongRuns, TallowFourMillionDigits) { expect_right_digits(TALLOW_PATH, 4194304); }

TEST(KnownDigits, EveryEntryUpTo2To24IsMpfrsDigitsThere) {
  // One run of MPFR to 2^24 digits holds every shorter length's digits too; the longer entries
  // are checked by the runs that reach them.
  const std::string pi = mpfr_digits((size_t{1} << 24) + 64);
  for (int32_t power = kKnownDigitsFirstPower; power <= kKnownDigitsLastPower; ++power) {
    const std::string entry = kKnownDigits[power - kKnownDigitsFirstPower];
    ASSERT_EQ(entry.size(), static_cast<size_t>(kKnownDigitsLength)) << power;
    if (power > 24) continue;
    EXPECT_EQ(entry, pi.substr((size_t{1} << power) - kKnownDigitsOffset, kKnownDigitsLength))
        << "2^" << power;
  }
}
