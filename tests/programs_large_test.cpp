// Long runs of both programs, checked against MPFR's digits of pi.
#include "run_program.h"

namespace {

std::string mpfr_digits(size_t count) {
  char pattern[] = "/tmp/mpfr_digits.XXXXXX";
  int fd = mkstemp(pattern);
  close(fd);
  std::string command = std::string("'") + MPFR_PI_PATH + "' " + std::to_string(count) + " > " +
                        pattern;
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string text = read_text(pattern);
  std::filesystem::remove(pattern);
  return text.substr(0, text.find('\n'));
}

// Runs program for bx digits, checks the layout and the digits against MPFR; returns them.
std::string expect_right_digits(const std::string& program, int32_t bx) {
  ProgramRun run = run_program(program, std::to_string(bx), nullptr);
  EXPECT_EQ(run.status, 0) << run.out;
  std::string digits = digits_in(run.pi_file);
  EXPECT_EQ(digits.size(), static_cast<size_t>(bx - 4));
  EXPECT_EQ(run.pi_file, expected_pi_file(digits));
  EXPECT_GE(agreeing_digits(digits, mpfr_digits(digits.size())), digits.size() - 10);
  return digits;
}

}  // namespace

TEST(LongRuns, BothProgramsAMillionDigitsAgreeWithMpfrAndEachOther) {
  std::string tallow = expect_right_digits(TALLOW_PATH, 1048576);
  std::string wicker = expect_right_digits(WICKER_PATH, 1048576);
  EXPECT_GE(agreeing_digits(tallow, wicker), tallow.size() - 10);
}

TEST(LongRuns, TallowFourMillionDigits) { expect_right_digits(TALLOW_PATH, 4194304); }
