#include <fcntl.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "run_program.h"

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
  // Digit counts that end inside a group, on a group, a line and a thousand, and just past one.
  std::mt19937 rng(5);
  std::vector<int16_t> w = random_words(rng, 1000);
  for (int32_t digits : {0, 1, 4, 9, 10, 11, 49, 50, 51, 99, 100, 108, 999, 1000, 1001, 1020,
                         2000, 2500, 3999}) {
    write_pi_file(w.data(), digits);
    EXPECT_EQ(read_file(), expected_pi_file(digits_of(w.data(), 1000).substr(0, digits)))
        << digits << " digits";
  }
}

TEST_F(PiFile, ShortAndThousandDigitFilesAsWritten) {
  std::vector<int16_t> w(300);
  for (int32_t k = 0; k < 300; ++k) w[k] = static_cast<int16_t>(k * 321 % 10000 + 7);
  write_pi_file(w.data(), 108);
  EXPECT_EQ(read_file(),
            "PI=3.\n\n"
            "0007032806 4909701291 1612193322 5425752896 3217353838\n"
            "5941804501 4822514354 6457856106 6427674870 6973907711\n"
            "80328353\n");
  // A file that ends on a thousand ends with its line, with no empty line after it.
  write_pi_file(w.data(), 1000);
  const std::string text = read_file();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 + 20);
  EXPECT_TRUE(text.ends_with(" 9496159936\n")) << text.substr(text.size() - 20);
}

TEST_F(PiFile, LeadingZerosKeptAndOnlyTheDigitsAskedFor) {
  std::vector<int16_t> w = words({7, 70, 700, 7000});
  write_pi_file(w.data(), 14);
  EXPECT_EQ(read_file(), "PI=3.\n\n0007007007 0070\n");
  write_pi_file(w.data(), -3);
  EXPECT_EQ(read_file(), "PI=3.\n\n");
}

TEST_F(PiFile, LaidOutManyChunksAtOnceByThreadsTheSameAsOneAtATime) {
  // Rooms of no chunk, one, three (many turns, the last short) and the whole file, with three
  // threads sharing the layout where a turn holds enough digits; both layouts, with the hash.
  std::mt19937 rng(11);
  std::vector<int16_t> w = random_words(rng, 40000);
  const int32_t digits = 150021;  // ends inside a group and inside a chunk
  const std::string all = digits_of(w.data(), 40000).substr(0, digits);
  omp_set_num_threads(3);
  for (const PiLayout layout : {PiLayout::lines, PiLayout::plain}) {
    const std::string expected =
        layout == PiLayout::lines ? expected_pi_file(all) : "3." + all + "\n";
    for (const int64_t room : {0, 1101, 3 * 1101 + 5, 1 << 20}) {
      std::vector<char> text(room + 1, '#');
      uint8_t hash[32], hash_of_file[32];
      write_pi_file(w.data(), digits, layout, hash, room > 0 ? text.data() : nullptr, room);
      const std::string file = read_file();
      EXPECT_EQ(file, expected) << "room " << room;
      sha256_of(file.data(), file.size(), hash_of_file);
      EXPECT_EQ(std::memcmp(hash, hash_of_file, 32), 0) << "room " << room;
      EXPECT_EQ(text[room], '#') << "room " << room;  // nothing past the room
    }
  }
  omp_set_num_threads(omp_get_num_procs());
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
  const std::string too_large = "file write error!\nmp_test: pi.txt: File too large\n";
  EXPECT_FATAL((limit_file_size(4000), write_pi_file(w.data(), 10000)), too_large);
  // Even a short file, which fits one buffer, fails when it is flushed (the limit also holds
  // for the death test's record of the message).
  EXPECT_FATAL((limit_file_size(100), write_pi_file(w.data(), 120)), too_large);
  EXPECT_EQ(read_file(), "earlier\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(PiFile, ReplacesTheFileWholeWithTheModeOfANewFile) {
  std::ofstream("pi.txt") << "earlier\n";
  const mode_t mask = umask(022);
  std::vector<int16_t> w = words({1415, 9265});
  write_pi_file(w.data(), 8);
  EXPECT_EQ(read_file(), "PI=3.\n\n14159265\n");
  EXPECT_EQ(fs::status("pi.txt").permissions(), static_cast<fs::perms>(0644));
  umask(mask);
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(PiFileDeathTest, WordsThatAreNotFourDigitsAreRefused) {
  for (int bad : {10000, 11179, -1}) {
    std::vector<int16_t> w = words({1234, 5678, bad, 9012});
    EXPECT_FATAL(write_pi_file(w.data(), 16), "error write_pi_file\n");
    EXPECT_FALSE(fs::exists("pi.txt"));
  }
  // Words past the digits asked for are not looked at.
  std::vector<int16_t> w = words({1234, 5678, 10000});
  write_pi_file(w.data(), 8);
  EXPECT_EQ(read_file(), "PI=3.\n\n12345678\n");
}

TEST_F(PiFileDeathTest, FailedOpenSaysWhichFileAndWhy) {
  fs::create_directory("pi.txt");  // refused even to root, unlike a permission bit
  std::vector<int16_t> w(4, 1);
  EXPECT_FATAL(write_pi_file(w.data(), 16), "file open error!\nmp_test: pi.txt: Is a directory\n");
  EXPECT_FATAL(prepare_pi_file("none/pi.txt"),
               "file open error!\nmp_test: none/pi.txt: No such file or directory\n");
  EXPECT_FATAL(prepare_pi_file(""), "file open error!\nmp_test: : No such file or directory\n");
}

TEST_F(PiFile, AStreamWrittenFirstLeavesTheNextFileToTakeItsName) {
  std::vector<int16_t> w = words({1415, 9265});
  prepare_pi_stream(open("/dev/null", O_WRONLY | O_CLOEXEC));
  write_pi_file(w.data(), 8);
  EXPECT_FALSE(fs::exists("pi.txt"));
  write_pi_file(w.data(), 4);  // no destination prepared: pi.txt
  EXPECT_EQ(read_file(), "PI=3.\n\n1415\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(PiFile, ANameAsLongAsTheFileSystemTakesWorks) {
  // The temporary file's name is short whatever the target's: 255 bytes is the longest name.
  const std::string name(255, 'p');
  std::vector<int16_t> w = words({1415, 9265});
  prepare_pi_file(name.c_str());
  write_pi_file(w.data(), 8);
  EXPECT_EQ(read_text(name), "PI=3.\n\n14159265\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST(Sha256, TheStandardsExamplesWholeAndInPieces) {
  uint8_t digest[32];
  sha256_of("", 0, digest);
  EXPECT_EQ(hex_of(digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  sha256_of("abc", 3, digest);
  EXPECT_EQ(hex_of(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the padding takes a block of its own.
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  sha256_of(two_blocks.data(), two_blocks.size(), digest);
  EXPECT_EQ(hex_of(digest), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // A million 'a's, added in pieces of every length from 1 to 199 across the block bounds.
  const std::string a(200, 'a');
  Sha256 hash;
  sha256_start(hash);
  size_t added = 0;
  for (size_t piece = 1; added < 1000000; piece = piece % 199 + 1) {
    const size_t n = std::min(piece, 1000000 - added);
    sha256_add(hash, a.data(), n);
    added += n;
  }
  sha256_finish(hash, digest);
  EXPECT_EQ(hex_of(digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
