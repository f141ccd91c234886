// Whole runs of both drivers through run_pi: the same right digits, and a repeat that stops
// when a run's digits differ.
#include <gmock/gmock.h>
#include <sched.h>

#include <climits>
#include <filesystem>

#include "entry.h"
#include "mp.h"
#include "run_program.h"
#include "tallow_pi.h"
#include "wicker_pi.h"

namespace {

// Runs driver in a fresh directory and returns what it wrote to pi.txt.
std::string pi_file_of(ComputePi compute, int32_t bx) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/pi_forms_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern), before = fs::current_path();
  fs::current_path(dir);
  testing::internal::CaptureStdout();
  RunPlan plan;
  plan.bx = bx;
  plan.digits = bx - 20;
  run_pi(plan, compute);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Total time"), std::string::npos) << out;
  const std::string text = read_text(dir / "pi.txt");
  fs::current_path(before);
  fs::remove_all(dir);
  return text;
}

}  // namespace

TEST(Drivers, BothWriteTheSameRightDigits) {
  std::string reference = read_text(REFERENCE_DIGITS_PATH);
  reference = reference.substr(0, reference.find('\n'));
  for (int32_t bx : {8192, 65536}) {
    const std::string tallow = pi_file_of(tallow_compute, bx);
    EXPECT_EQ(pi_file_of(wicker_compute, bx), tallow) << "bx " << bx;
    const std::string digits = digits_in(tallow);
    EXPECT_EQ(digits.size(), static_cast<size_t>(bx - 20));
    EXPECT_EQ(agreeing_digits(digits, reference), digits.size()) << "bx " << bx;
  }
}

namespace {

// The fraction words of pi to bx digits (bx / 4 - 1 words, as the drivers write them), from the
// reference digits.
std::vector<int16_t> reference_words(int32_t bx) {
  const std::string digits = read_text(REFERENCE_DIGITS_PATH);
  std::vector<int16_t> w(bx / 4 - 1);
  for (size_t k = 0; k < w.size(); ++k) w[k] = static_cast<int16_t>(std::stoi(digits.substr(4 * k, 4)));
  return w;
}

}  // namespace

TEST(SpotCheckDeathTest, LooksAtDigitsBxMinus35ToBxMinus20) {
  for (int32_t bx : {128, 8192, 65536}) {
    std::vector<int16_t> w = reference_words(bx);
    const int32_t count = static_cast<int32_t>(w.size());
    spot_check_pi(w.data(), count);
    // Digit bx - 20 ends the last word looked at; digit bx - 36 and the words past bx - 20,
    // which a run may lose to truncation, are not looked at.
    std::vector<int16_t> changed = w;
    changed[count - 5] = static_cast<int16_t>((w[count - 5] / 10) * 10 + (w[count - 5] + 1) % 10);
    EXPECT_FATAL(spot_check_pi(changed.data(), count), "error spot check\n") << bx;
    changed = w;
    changed[count - 8] = static_cast<int16_t>((w[count - 8] + 1000) % 10000);
    EXPECT_FATAL(spot_check_pi(changed.data(), count), "error spot check\n") << bx;
    changed = w;
    changed[count - 9] = static_cast<int16_t>((w[count - 9] + 1) % 10000);
    for (int32_t k = count - 4; k < count; ++k) changed[k] = 9999;
    spot_check_pi(changed.data(), count);
  }
  // A length with no entry is refused rather than let through.
  std::vector<int16_t> w = reference_words(8192);
  EXPECT_FATAL(spot_check_pi(w.data(), 1000), "error spot check\n");
}

namespace {

// tallow's run through the library to bx digits, with one word of the square root's operand
// changed by a unit before the square root of iteration changed_in (none when 0): as a bit
// flipped in memory would do, between two products that each check out. Ends as the drivers do.
void library_run_with_a_changed_word(int32_t bx, int32_t changed_in, int32_t changed_word) {
  const int32_t n = bx / 4;
  std::vector<int16_t> a(n + 6), c(n + 6), r(n + 6), b(n + 6), t(n + 6), work(n + 6);
  std::vector<double> d1(2 * n), d2(2 * n);
  r[0] = t[0] = 5000;
  mp_sqrt(r.data(), a.data(), c.data(), work.data(), n, d1.data(), d2.data());
  mp_half(a.data(), a.data(), n);
  mp_sub(r.data(), a.data(), c.data(), n);
  a[0] = static_cast<int16_t>(a[0] + 5000);
  double f = 2.0;
  for (int32_t j = 1; j <= log2_steps(bx) - 1; ++j) {
    m1604xxh(c.data(), r.data(), n, d1.data(), d2.data());
    mp_mul_small_to(r.data(), f, c.data(), n);
    mp_sub(t.data(), c.data(), t.data(), n);
    m1604xxh(a.data(), c.data(), n, d1.data(), d2.data());
    mp_sub(c.data(), r.data(), r.data(), n);
    if (j == changed_in) r[changed_word] = static_cast<int16_t>(r[changed_word] ^ 1);
    mp_sqrt(r.data(), b.data(), c.data(), work.data(), n, d1.data(), d2.data());
    mp_sub(a.data(), b.data(), c.data(), n);
    mp_half(c.data(), c.data(), n);
    if (mp_add(a.data(), b.data(), a.data(), n) == 1) a[0] = static_cast<int16_t>(a[0] + 10000);
    mp_half(a.data(), a.data(), n);
    f *= 2.0;
  }
  m1604xxh(a.data(), c.data(), n, d1.data(), d2.data());
  if (mp_add(c.data(), c.data(), a.data(), n) == 1) a[0] = static_cast<int16_t>(a[0] + 10000);
  mp_recip(t.data(), c.data(), work.data(), n, d1.data(), d2.data());
  m1604h(a.data(), c.data(), r.data(), n, d1.data(), d2.data());
  spot_check_pi(r.data() + 1, n - 1);
  write_pi_file(r.data() + 1, bx - 20);
}

}  // namespace

TEST(SpotCheckDeathTest, AWordChangedPartWayStopsTheRunAndKeepsTheEarlierFile) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/pi_spot_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern), file = dir / "pi.txt";
  const int32_t bx = 65536;
  {
    // Unchanged, the run writes pi.
    testing::internal::CaptureStdout();
    prepare_pi_file(file.c_str());
    library_run_with_a_changed_word(bx, 0, 0);
    testing::internal::GetCapturedStdout();
    const std::string reference = read_text(REFERENCE_DIGITS_PATH);
    const std::string digits = digits_in(read_text(file));
    EXPECT_EQ(digits.size(), size_t{bx - 20});
    EXPECT_EQ(agreeing_digits(digits, reference), digits.size());
  }
  const std::string earlier = read_text(file);
  // Words early and late in the operand: wrong digits from about digit 67 or from near the end.
  for (int32_t changed_word : {16, bx / 4 - 100}) {
    EXPECT_FATAL((prepare_pi_file(file.c_str()), library_run_with_a_changed_word(bx, 5, changed_word)),
                 "error spot check\n") << changed_word;
    EXPECT_EQ(read_text(file), earlier);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  fs::remove_all(dir);
}

namespace {

// tallow's computation with word 100 of its result changed in the second run of a process.
const int16_t* tallow_changed_in_run_two(int32_t bx, const RunBuffers& buffers,
                                         std::FILE* console, ThreadFit& fit, RunLog& log) {
  static int32_t runs = 0;
  const int16_t* words = tallow_compute(bx, buffers, console, fit, log);
  if (++runs == 2) buffers.numbers[2][1 + 100] ^= 1;  // the words returned are R + 1
  return words;
}

}  // namespace

TEST(RepeatDeathTest, ARunWhoseDigitsDifferStopsTheRepeatAndKeepsTheFirstRunsFile) {
  namespace fs = std::filesystem;
  // The death test's child runs this test again from the start: it takes the folder the
  // parent made from the environment it inherits.
  constexpr const char* kFolder = "PI_REPEAT_TEST_FOLDER";
  char pattern[] = "/tmp/pi_repeat_test.XXXXXX";
  const fs::path dir = std::getenv(kFolder) != nullptr ? std::getenv(kFolder) : mkdtemp(pattern);
  setenv(kFolder, dir.c_str(), 1);
  const fs::path file = dir / "pi.txt";
  RunPlan plan;
  plan.bx = 8192;
  plan.digits = 8172;
  plan.repeat = 3;
  plan.program = "tallow";
  plan.console = std::fopen("/dev/null", "w");
  EXPECT_FATAL((prepare_pi_file(file.c_str()), run_pi(plan, tallow_changed_in_run_two)),
               "error repeat: run 2 differs from run 1\n");
  const std::string digits = digits_in(read_text(file));
  EXPECT_EQ(digits.size(), 8172u);
  EXPECT_EQ(agreeing_digits(digits, read_text(REFERENCE_DIGITS_PATH)), digits.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  std::fclose(plan.console);
  unsetenv(kFolder);
  fs::remove_all(dir);
}

namespace {

// tallow's computation with word 100 of its result changed from the second run on, in the
// worker pinned to the second core the process may use.
const int16_t* tallow_changed_on_the_second_core(int32_t bx, const RunBuffers& buffers,
                                                 std::FILE* console, ThreadFit& fit,
                                                 RunLog& log) {
  static int32_t runs = 0;
  const int16_t* words = tallow_compute(bx, buffers, console, fit, log);
  cpu_set_t mine;
  const bool pinned_there = sched_getaffinity(0, sizeof mine, &mine) == 0 &&
                            CPU_COUNT(&mine) == 1 && CPU_ISSET(1, &mine);
  if (pinned_there && ++runs >= 2) buffers.numbers[2][1 + 100] ^= 1;
  return words;
}

}  // namespace

TEST(StressDeathTest, AWorkerWhoseDigitsDifferIsNamedWithItsCoreAndEveryWorkerStops) {
  int32_t cores[2];
  if (usable_cores(cores, 2) < 2 || cores[1] != 1) GTEST_SKIP() << "needs cores 0 and 1";
  StressPlan plan;
  plan.workers = 2;
  plan.length = 4096;
  plan.runs = 3;
  plan.console = std::fopen("/dev/null", "w");
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(2, 1);
        run_stress(plan, tallow_changed_on_the_second_core);
      },
      testing::ExitedWithCode(1),
      testing::MatchesRegex(" +[0-9.]+ s  worker 2 \\(core 1\\)  4096 digits  its digits differ "
                            "from its first run's at this length\nerror stress\n"));
  std::fclose(plan.console);
}
