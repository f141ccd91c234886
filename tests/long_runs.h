// Long runs of the programs, checked against MPFR's digits of pi.
#pragma once

#include "run_program.h"

inline std::string mpfr_digits(size_t count) {
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

// Runs program for bx digits, checks the layout and that every digit written (bx - 20) is
// MPFR's (or reference's, its digits computed before); returns them.
inline std::string expect_right_digits(const std::string& program, int32_t bx,
                                       const std::string& reference = "") {
  ProgramRun run = run_program(program, std::to_string(bx), nullptr);
  EXPECT_EQ(run.status, 0) << run.out;
  std::string digits = digits_in(run.pi_file);
  EXPECT_EQ(digits.size(), static_cast<size_t>(bx - 20));
  EXPECT_EQ(run.pi_file, expected_pi_file(digits));
  const std::string mpfr = reference.empty() ? mpfr_digits(digits.size()) : reference;
  EXPECT_EQ(agreeing_digits(digits, mpfr), digits.size());
  return digits;
}

