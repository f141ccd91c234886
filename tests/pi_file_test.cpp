#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "mp.h"
#include "test_support.h"

namespace fs = std::filesystem;

// Each test runs in a fresh directory, since the file is always pi.txt in the working directory.
class PiFile : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = fs::current_path();
    char pattern[] = "/tmp/pi_file_test.XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_dir_);
    fs::remove_all(dir_);
  }
  static std::string read_file() {
    std::ifstream in("pi.txt", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path old_dir_, dir_;
};
using PiFileDeathTest = PiFile;

TEST_F(PiFile, LayoutByteForByte) {
  std::mt19937 rng(5);
  for (int32_t count : {0, 1, 24, 25, 31, 250, 255, 275, 1000}) {
    std::vector<int16_t> w = random_words(rng, count);
    write_pi_file(w.data(), count);
    EXPECT_EQ(read_file(), expected_pi_file(digits_of(w.data(), count))) << count << " words";
  }
}

TEST_F(PiFile, ThirtyOneWordsAsWritten) {
  std::vector<int16_t> w(31);
  for (int32_t k = 0; k < 31; ++k) w[k] = static_cast<int16_t>(k * 321 + 7);
  write_pi_file(w.data(), 31);
  EXPECT_EQ(read_file(),
            "PI=3.\n\n"
            "0007032806 4909701291 1612193322 5425752896 3217353838\n"
            "5941804501 4822514354 6457856106 6427674870 6973907711\n"
            "8032835386 7489959316 9637\n");
}

TEST_F(PiFile, LeadingZerosAndNegativeCountKept) {
  std::vector<int16_t> w = words({7, 70, 700, 7000});
  write_pi_file(w.data(), 4);
  EXPECT_EQ(read_file(), "PI=3.\n\n0007007007 007000\n");
  write_pi_file(w.data(), -3);
  EXPECT_EQ(read_file(), "PI=3.\n\n\n");
}

TEST_F(PiFileDeathTest, FailedWritesAreReported) {
  fs::create_symlink("/dev/full", "pi.txt");
  std::vector<int16_t> w(2500, 1234);
  EXPECT_FATAL(write_pi_file(w.data(), 2500), "file write error!\n");
  // Even a short file, which fits one buffer, fails when it is flushed at the close.
  EXPECT_FATAL(write_pi_file(w.data(), 1), "file write error!\n");
}

TEST_F(PiFileDeathTest, WordsThatAreNotFourDigitsAreRefused) {
  for (int bad : {10000, 11179, -1}) {
    std::vector<int16_t> w = words({1234, 5678, bad, 9012});
    EXPECT_FATAL(write_pi_file(w.data(), 4), "error write_pi_file\n");
    EXPECT_FALSE(fs::exists("pi.txt"));
  }
}

TEST_F(PiFileDeathTest, FailedOpenIsReported) {
  fs::create_directory("pi.txt");  // refused even to root, unlike a permission bit
  std::vector<int16_t> w(4, 1);
  EXPECT_FATAL(write_pi_file(w.data(), 4), "file open error!\n");
}
