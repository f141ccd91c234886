// Whole runs of both drivers with every product forced into each form: the same pi.txt byte
// for byte, and right digits.
#include <climits>
#include <filesystem>

#include "mp.h"
#include "run_program.h"
#include "tallow_pi.h"
#include "wicker_pi.h"

namespace {

// Runs driver in a fresh directory and returns what it wrote to pi.txt.
std::string pi_file_of(void (*driver)(int32_t, int32_t, std::FILE*), int32_t bx,
                       int32_t balanced_from) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/pi_forms_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern), before = fs::current_path();
  fs::current_path(dir);
  testing::internal::CaptureStdout();
  driver(bx, balanced_from, stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Total time"), std::string::npos) << out;
  const std::string text = read_text(dir / "pi.txt");
  fs::current_path(before);
  fs::remove_all(dir);
  return text;
}

}  // namespace

TEST(DriverForms, EveryProductInAnyFormWritesTheSameDigitsAsTheNormalPath) {
  std::string reference = read_text(REFERENCE_DIGITS_PATH);
  reference = reference.substr(0, reference.find('\n'));
  for (auto driver : {tallow_pi, wicker_pi}) {
    for (int32_t bx : {8192, 65536}) {
      const std::string normal = pi_file_of(driver, bx, kBalancedFrom);
      for (int32_t balanced_from : {0, 256, INT32_MAX}) {
        EXPECT_EQ(pi_file_of(driver, bx, balanced_from), normal)
            << "bx " << bx << " from " << balanced_from;
      }
      const std::string digits = digits_in(normal);
      EXPECT_EQ(digits.size(), static_cast<size_t>(bx - 4));
      EXPECT_GE(agreeing_digits(digits, reference), digits.size() - 10) << "bx " << bx;
    }
  }
}
