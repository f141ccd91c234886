// Runs of minutes, past where a double a word could carry the products: both programs at 2^26
// and 2^27 digits against MPFR. Labelled huge; run by hand (ctest -L huge).
#include "long_runs.h"

TEST(HugeRuns, BothProgramsAtTwoToThe26And27Digits) {
  for (int32_t bx : {1 << 26, 1 << 27}) {
    const std::string reference = mpfr_digits(bx - 20);
    expect_right_digits(TALLOW_PATH, bx, reference);
    expect_right_digits(WICKER_PATH, bx, reference);
  }
}
