#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
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

// Sets a file-size limit of bytes for this process, with SIGXFSZ ignored so writes fail.
void limit_file_size(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(PiFileDeathTest, FailedWritesLeaveTheEarlierFileAndNoTemporaryFile) {
  std::ofstream("pi.txt") << "earlier\n";
  std::vector<int16_t> w(2500, 1234);
  EXPECT_FATAL((limit_file_size(4000), write_pi_file(w.data(), 2500)), "file write error!\n");
  // Even a short file, which fits one buffer, fails when it is flushed (the limit also holds
  // for the death test's record of the message).
  EXPECT_FATAL((limit_file_size(100), write_pi_file(w.data(), 30)), "file write error!\n");
  EXPECT_EQ(read_file(), "earlier\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(PiFile, ReplacesTheFileWholeWithTheModeOfANewFile) {
  std::ofstream("pi.txt") << "earlier\n";
  const mode_t mask = umask(022);
  std::vector<int16_t> w = words({1415, 9265});
  write_pi_file(w.data(), 2);
  EXPECT_EQ(read_file(), "PI=3.\n\n14159265\n");
  EXPECT_EQ(fs::status("pi.txt").permissions(), static_cast<fs::perms>(0644));
  umask(mask);
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
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
