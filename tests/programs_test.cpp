// The programs end to end: console dialogue, pi.txt layout, digits against known digits of pi,
// the two programs against each other, and every failure path.
#include <vector>

#include "run_program.h"

namespace {

const std::string kPrograms[] = {TALLOW_PATH, WICKER_PATH};
const char* kBadLength = "length must be a whole number from 1 to 1073741824\n";

std::string reference_digits() {
  std::string text = read_text(REFERENCE_DIGITS_PATH);
  return text.substr(0, text.find('\n'));
}

std::string name_of(const std::string& program) {
  return std::filesystem::path(program).filename().string();
}

}  // namespace

TEST(Programs, ConsoleDialogueForInput1000) {
  std::string expected = "length of pi =? bx = 1024  use memory = 7216\n-- Nmsec\n";
  for (char j = '1'; j <= '9'; ++j) expected += std::string(" ") + j + " Nmsec\n";
  expected += "-- Nmsec\nTotal time : N msec.\n";
  for (const std::string& program : kPrograms) {
    for (const char* input : {"1000\n", "1024", " 513 \n"}) {
      ProgramRun run = run_program(program, "", input);
      EXPECT_EQ(run.status, 0) << name_of(program);
      EXPECT_EQ(without_times(run.out), expected) << name_of(program) << " input " << input;
      EXPECT_EQ(run.err, "");
    }
  }
}

TEST(Programs, RightDigitsInTheExactLayout) {
  const std::string pi = reference_digits();
  struct Case {
    std::string input;
    int32_t bx;
  };
  std::vector<Case> cases = {{"1", 128}, {"1000", 1024}, {"1025", 2048}};
  for (int32_t bx = 128; bx <= 65536; bx *= 2) cases.push_back({std::to_string(bx), bx});
  for (const std::string& program : kPrograms) {
    for (const Case& c : cases) {
      ProgramRun run = run_program(program, "", c.input.c_str());
      ASSERT_EQ(run.status, 0) << name_of(program) << " " << c.input;
      EXPECT_NE(run.out.find("bx = " + std::to_string(c.bx) + "  "), std::string::npos);
      std::string digits = digits_in(run.pi_file);
      ASSERT_EQ(digits.size(), static_cast<size_t>(c.bx - 4)) << name_of(program) << " " << c.input;
      EXPECT_EQ(run.pi_file, expected_pi_file(digits)) << name_of(program) << " " << c.input;
      EXPECT_GE(agreeing_digits(digits, pi), digits.size() - 10)
          << name_of(program) << " " << c.input;
    }
  }
}

TEST(Programs, TallowAndWickerAgree) {
  for (const char* input : {"128", "1024", "65536"}) {
    std::string a = digits_in(run_program(TALLOW_PATH, "", input).pi_file);
    std::string b = digits_in(run_program(WICKER_PATH, "", input).pi_file);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_GE(agreeing_digits(a, b), a.size() - 10) << input;
  }
}

TEST(Programs, BadLengthsStopBeforeAnythingIsWritten) {
  for (const std::string& program : kPrograms) {
    for (const char* input : {"", "\n", "abc\n", "0\n", "-3\n", "12 13\n", "12x\n", "1.5\n",
                              "1073741825\n", "99999999999999999999\n", "1e3\n"}) {
      ProgramRun run = run_program(program, "", input);
      EXPECT_EQ(run.status, 1) << name_of(program) << " '" << input << "'";
      EXPECT_EQ(run.out, std::string("length of pi =? ") + kBadLength) << input;
      EXPECT_FALSE(run.wrote_pi_file);
    }
    ProgramRun closed = run_program(program, "", nullptr);
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.out, std::string("length of pi =? ") + kBadLength);
  }
}

TEST(Programs, LengthOnTheCommandLine) {
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "1000", nullptr);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("bx = 1024  use memory = 7216\n", 0), 0u) << run.out;
    EXPECT_EQ(digits_in(run.pi_file).size(), 1020u);
    for (const char* bad : {"abc", "0", "-5", "' 12 x'", "2000000000"}) {
      ProgramRun refused = run_program(program, bad, nullptr);
      EXPECT_EQ(refused.status, 1) << bad;
      EXPECT_EQ(refused.out, kBadLength) << bad;
      EXPECT_FALSE(refused.wrote_pi_file);
    }
  }
}

TEST(Programs, HelpAndUsageErrors) {
  for (const std::string& program : kPrograms) {
    for (const char* help : {"-h", "--help"}) {
      ProgramRun run = run_program(program, help, nullptr);
      EXPECT_EQ(run.status, 0);
      EXPECT_NE(run.out.find("usage: "), std::string::npos);
      EXPECT_EQ(run.err, "");
    }
    for (const char* wrong : {"--digits=5", "-x", "100 200", "--"}) {
      ProgramRun run = run_program(program, wrong, nullptr);
      EXPECT_EQ(run.status, 2) << wrong;
      EXPECT_EQ(run.out, "") << wrong;
      EXPECT_NE(run.err.find("usage: "), std::string::npos) << wrong;
      EXPECT_FALSE(run.wrote_pi_file);
    }
  }
}

TEST(Programs, UnwritableDigitFileFailsLoudly) {
  for (const std::string& program : kPrograms) {
    ProgramRun full = run_program(program, "65536", nullptr, "ln -s /dev/full pi.txt");
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(full.out.ends_with("file write error!\n")) << full.out;
    EXPECT_EQ(full.out.find("Total time"), std::string::npos);
    ProgramRun blocked = run_program(program, "128", nullptr, "mkdir pi.txt");
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(blocked.out.ends_with("file open error!\n")) << blocked.out;
  }
}

TEST(Programs, LengthTheAvailableMemoryCannotHoldIsRefusedAtOnce) {
  if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and a private mount namespace to show a small MemAvailable";
  }
  const std::string small_meminfo =
      "printf 'MemTotal: 204800 kB\\nMemAvailable: 102400 kB\\n' > meminfo";
  const std::string with_small_meminfo =
      "unshare -m sh -c 'mount --bind meminfo /proc/meminfo && exec \"$0\" \"$@\"'";
  for (const std::string& program : kPrograms) {
    // 2^28 digits: five numbers and the work array of 2^26 words, two arrays of 2^27 doubles
    // (the longest products in pieces): 2952790400 bytes, 2817 MiB rounded up.
    ProgramRun run =
        run_program(program, "268435456", nullptr, small_meminfo, with_small_meminfo);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Memory Allocation Failure!\n2817 MiB needed, 100 MiB available\n");
    EXPECT_FALSE(run.wrote_pi_file);
    // A length that fits runs as usual.
    run = run_program(program, "1024", nullptr, small_meminfo, with_small_meminfo);
    EXPECT_EQ(run.status, 0) << run.out;
  }
}

TEST(Programs, MemoryShortageFailsLoudly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#else
  for (const std::string& program : kPrograms) {
    // 2^30 digits need about 7.5 GB; 1 GB of address space cannot hold them.
    ProgramRun run = run_program(program, "1073741824", nullptr, "ulimit -v 1000000");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Memory Allocation Failure!\n");
    EXPECT_FALSE(run.wrote_pi_file);
  }
#endif
}
