// Long runs of both programs, checked against MPFR's digits of pi.
#include "long_runs.h"


TEST(LongRuns, BothProgramsAMillionDigitsAgreeWithMpfrAndEachOther) {
  std::string tallow = expect_right_digits(TALLOW_PATH, 1048576);
  std::string wicker = expect_right_digits(WICKER_PATH, 1048576);
  EXPECT_GE(agreeing_digits(tallow, wicker), tallow.size() - 10);
}

TEST(LongRuns, TallowFourMillionDigits) { expect_right_digits(TALLOW_PATH, 4194304); }
