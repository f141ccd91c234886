// The programs end to end: console dialogue, pi.txt layout, digits against known digits of pi,
// the two programs against each other, and every failure path.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <algorithm>
#include <sstream>
#include <chrono>
#include <thread>
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

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Programs, ConsoleDialogueLineByLine) {
  // From 2048 digits the iterations reach two digits, printed with "%2d". From 2^19 digits a
  // run with threads starts itself again (to set how its threads wait) and takes the typed
  // length along: one prompt all the same.
  struct Case {
    const char* input;
    int32_t bx, iterations;
  };
  for (const Case& c : {Case{"1000\n", 1024, 9}, Case{"1024", 1024, 9}, Case{" 513 \n", 1024, 9},
                        Case{"3000\n", 4096, 11}, Case{"100000\n", 131072, 16},
                        Case{"2000000\n", 2097152, 20}}) {
    std::vector<std::string> expected = {"length of pi =? bx = " + std::to_string(c.bx) +
                                             "  use memory = " + std::to_string(7 * c.bx + 48),
                                         "-- Nmsec"};
    for (int32_t j = 1; j <= c.iterations; ++j) {
      char line[24];
      std::snprintf(line, sizeof line, "%2d Nmsec", j);
      expected.push_back(line);
    }
    expected.push_back("-- Nmsec");
    expected.push_back("Total time : N msec.");
    for (const std::string& program : kPrograms) {
      ProgramRun run = run_program(program, "", c.input);
      EXPECT_EQ(run.status, 0) << name_of(program);
      EXPECT_EQ(lines_of(without_times(run.out)), expected) << name_of(program) << " " << c.input;
      EXPECT_EQ(run.err, "");
    }
  }
}

TEST(Programs, RightDigitsInTheExactLayout) {
  // Both programs against the known digits, and so against each other.
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

TEST(Programs, HelpVersionAndUsageErrors) {
  for (const std::string& program : kPrograms) {
    const std::string usage =
        "usage: " + program + " [-t N] [-o FILE] [-q] [LENGTH]\n"
        "       " + program + " -h | --help | --version\n"
        "Computes pi to LENGTH decimal digits (rounded up to a power of two, at least 128)\n"
        "and writes them to pi.txt. Without LENGTH it asks for it.\n"
        "  -t, --threads N  run N threads (default: every core the process may use that\n"
        "                   no other busy process holds, or OMP_NUM_THREADS); the\n"
        "                   digits are the same for any N\n"
        "  -o, --output FILE  write the digits to FILE instead of pi.txt; with FILE -,\n"
        "                   to standard output, and the console lines to standard error\n"
        "  -q, --quiet      print no console lines unless the run fails\n"
        "  --version        print the program's name and version\n";
    for (const char* help : {"-h", "--help"}) {
      ProgramRun run = run_program(program, help, nullptr);
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.out, usage);
      EXPECT_EQ(run.err, "");
    }
    ProgramRun version = run_program(program, "--version", nullptr);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, name_of(program) + " " + PROJECT_VERSION + "\n");
    for (const char* wrong : {"--digits=5", "-x", "100 200", "--", "-t", "-t 2 -h", "1000 -t 2",
                              "--version 1000", "-t 2 100 200", "-o", "-q -q 100",
                              "-o a -o b 100", "1000 -q"}) {
      ProgramRun run = run_program(program, wrong, nullptr);
      EXPECT_EQ(run.status, 2) << wrong;
      EXPECT_EQ(run.out, "") << wrong;
      EXPECT_EQ(run.err, usage) << wrong;
      EXPECT_FALSE(run.wrote_pi_file);
    }
    for (const char* bad : {"-t 0", "--threads -1", "-t x", "-t 1025", "--threads ''"}) {
      ProgramRun run = run_program(program, std::string(bad) + " 1000", nullptr);
      EXPECT_EQ(run.status, 2) << bad;
      EXPECT_EQ(run.out, "") << bad;
      EXPECT_EQ(run.err, program + ": the thread count must be a whole number from 1 to 1024\n")
          << bad;
      EXPECT_FALSE(run.wrote_pi_file);
    }
  }
}

TEST(Programs, TheSameDigitFileForEveryThreadCount) {
  // From 2^19 digits the long products run their transforms and releases in parallel.
  for (const std::string& program : kPrograms) {
    for (const char* length : {"4096", "2097152"}) {
      const std::string one = run_program(program, std::string("-t 1 ") + length, nullptr).pi_file;
      EXPECT_FALSE(one.empty());
      for (const char* threads : {"2", "3"}) {
        ProgramRun run = run_program(program, std::string("--threads ") + threads + " " + length,
                                     nullptr);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.pi_file == one) << name_of(program) << " " << length << ", " << threads;
      }
      // OMP_NUM_THREADS is honoured the same way.
      ProgramRun from_environment = run_program(program, length, nullptr, "", "OMP_NUM_THREADS=3");
      EXPECT_TRUE(from_environment.pi_file == one) << name_of(program) << " " << length;
    }
  }
}

// Runs the rest of the command line under a shell snippet: "$0" "$@" is the program.
std::string under(const std::string& snippet) { return "sh -c '" + snippet + "'"; }

// Where a run can put its digit file: pi.txt by default, or a file of another folder named with
// -o, which gets the same safety.
struct Destination {
  std::string option, setup, target;
  // The setup a test needs, after the destination's own.
  std::string then(const std::string& more) const {
    return setup.empty() ? more : setup + " && " + more;
  }
};
const Destination kDestinations[] = {{"", "", "pi.txt"},
                                     {"-o sub/digits.txt ", "mkdir sub", "sub/digits.txt"}};

bool whole_pi_file(const ProgramRun& run, size_t digits) {
  return run.wrote_pi_file && digits_in(run.pi_file).size() == digits &&
         run.pi_file == expected_pi_file(digits_in(run.pi_file));
}

TEST(DigitFile, AFailedWriteLeavesTheEarlierFileAsItWas) {
  for (const std::string& program : kPrograms) {
    for (const Destination& d : kDestinations) {
      // 100 KB at most (in blocks of 512 or 1024 bytes), with SIGXFSZ ignored: the write fails.
      ProgramRun run =
          run_program(program, d.option + "262144", nullptr, d.then("echo earlier > " + d.target),
                      under("trap \"\" XFSZ; ulimit -f 200; exec \"$0\" \"$@\""), d.target);
      EXPECT_EQ(run.status, 1) << d.target;
      EXPECT_TRUE(run.out.ends_with("file write error!\n")) << run.out;
      EXPECT_EQ(run.out.find("Total time"), std::string::npos);
      EXPECT_EQ(run.pi_file, "earlier\n") << d.target;
      EXPECT_EQ(run.temporary_files, 0) << d.target;
    }
  }
}

TEST(DigitFile, LinksAndFifosInTheFilesPlaceAreReplacedNotFollowed) {
  char pattern[] = "/tmp/pi_link_target.XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_EQ(write(fd, "keep\n", 5), 5);
  close(fd);
  for (const std::string& program : kPrograms) {
    for (const Destination& d : kDestinations) {
      ProgramRun linked =
          run_program(program, d.option + "1024", nullptr,
                      d.then(std::string("ln -s ") + pattern + " " + d.target), "", d.target);
      EXPECT_EQ(linked.status, 0);
      EXPECT_TRUE(whole_pi_file(linked, 1020)) << d.target;
      EXPECT_EQ(read_text(pattern), "keep\n");
      // A reader would wait forever on a FIFO; the run must not.
      ProgramRun fifo = run_program(program, d.option + "1024", nullptr,
                                    d.then("mkfifo " + d.target), "timeout 60", d.target);
      EXPECT_EQ(fifo.status, 0);
      EXPECT_TRUE(whole_pi_file(fifo, 1020)) << d.target;
    }
  }
  std::filesystem::remove(pattern);
}

TEST(DigitFile, TwoRunsAtOnceInOneFolderLeaveOneWholeFile) {
  const std::string both = under(
      "\"$0\" 32768 > first.txt & first=$!; \"$0\" 65536 > second.txt; second=$?; "
      "wait $first && [ $second = 0 ]");
  for (const std::string& program : kPrograms) {
    for (int trial = 0; trial < 3; ++trial) {
      ProgramRun run = run_program(program, "", nullptr, "", both);
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(whole_pi_file(run, 32764) || whole_pi_file(run, 65532));
      EXPECT_EQ(run.pi_file.find('\0'), std::string::npos);
      EXPECT_EQ(run.temporary_files, 0);
    }
  }
}

TEST(DigitFile, AFolderThatCannotTakeTheFileFailsBeforeTheWork) {
  for (const std::string& program : kPrograms) {
    for (const Destination& d : kDestinations) {
      ProgramRun blocked =
          run_program(program, d.option + "1048576", nullptr, d.then("mkdir " + d.target));
      EXPECT_EQ(blocked.status, 1);
      EXPECT_EQ(blocked.out, "file open error!\n");
    }
    // A folder that does not exist cannot take it either.
    ProgramRun missing = run_program(program, "-o nowhere/digits.txt 1048576", nullptr);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "file open error!\n");
  }
  if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "root ignores permissions: a read-only folder needs a private mount namespace";
  }
  const std::string read_only = "unshare -m " + under(
      "mount --bind \"$PWD\" \"$PWD\" && mount -o remount,bind,ro \"$PWD\" && cd \"$PWD\" && "
      "exec \"$0\" \"$@\"");
  for (const std::string& program : kPrograms) {
    for (const Destination& d : kDestinations) {
      ProgramRun run = run_program(program, d.option + "1048576", nullptr, d.setup, read_only);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "file open error!\n");  // before the sizing line and any iteration
    }
  }
}

// Starts program for bx digits in dir and sends it signal_number as soon as a temporary digit
// file there holds at least min_bytes; returns the wait status.
int run_and_signal(const std::string& program, const std::filesystem::path& dir, const char* bx,
                   int signal_number, uintmax_t min_bytes) {
  namespace fs = std::filesystem;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string path = program, length = bx;
  char* argv[] = {path.data(), length.data(), nullptr};
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      std::error_code error;
      if (entry.path().filename().string().starts_with("pi.txt.") &&
          fs::file_size(entry.path(), error) >= min_bytes && !error) {
        kill(pid, signal_number);
        waitpid(pid, &status, 0);
        return status;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return status;
}

TEST(DigitFile, SignalsRemoveTheTemporaryFileAndEndTheRunBySignal) {
  namespace fs = std::filesystem;
  for (const std::string& program : kPrograms) {
    for (int signal_number : {SIGTERM, SIGINT}) {
      char pattern[] = "/tmp/pi_signal_test.XXXXXX";
      const fs::path dir = mkdtemp(pattern);
      std::ofstream(dir / "pi.txt") << "earlier\n";
      // During the work: the temporary file exists from the start.
      int status = run_and_signal(program, dir, "262144", signal_number, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
      EXPECT_EQ(read_text(dir / "pi.txt"), "earlier\n");
      // While the digits are written: the earlier file, or the new one whole.
      status = run_and_signal(program, dir, "1048576", signal_number, 1);
      const std::string now = read_text(dir / "pi.txt");
      if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(now, "earlier\n");
      } else {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(now, expected_pi_file(digits_in(now)));
      }
      for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename(), "pi.txt");
      }
      fs::remove_all(dir);
    }
  }
}

TEST(Console, EndlessInputIsRefusedWithinBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit = "";  // the address sanitizer needs more address space
#else
  const std::string limit = "ulimit -v 200000; ";
#endif
  for (const std::string& program : kPrograms) {
    ProgramRun run =
        run_program(program, "", nullptr, "", under(limit + "exec \"$0\" < /dev/zero"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string("length of pi =? ") + kBadLength);
    EXPECT_EQ(run.err, "");
    ProgramRun long_line = run_program(program, "", (std::string(5000, '1') + "\n").c_str());
    EXPECT_EQ(long_line.status, 1);
    EXPECT_EQ(long_line.out, std::string("length of pi =? ") + kBadLength);
  }
}

TEST(Console, LostConsoleLinesFailTheRunButNotTheFile) {
  for (const std::string& program : kPrograms) {
    for (const char* output : {"> /dev/full", ">&-"}) {
      ProgramRun run = run_program(program, "4096", nullptr, "",
                                   under(std::string("exec \"$0\" \"$@\" ") + output));
      EXPECT_EQ(run.status, 1) << output;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_NE(run.err.find("error writing standard output"), std::string::npos) << run.err;
      EXPECT_TRUE(whole_pi_file(run, 4092));
    }
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
    // 2^28 digits: five numbers and the work array of 2^26 words, two arrays of 2^26 doubles:
    // 1879048512 bytes, 1793 MiB rounded up.
    ProgramRun run =
        run_program(program, "268435456", nullptr, small_meminfo, with_small_meminfo);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Memory Allocation Failure!\n1793 MiB needed, 100 MiB available\n");
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

TEST(Output, DigitsDownAPipeAreTheFileByteForByte) {
  for (const std::string& program : kPrograms) {
    for (const char* length : {"1024", "65536"}) {
      const ProgramRun file = run_program(program, length, nullptr);
      ProgramRun piped = run_program(program, std::string("-o - ") + length, nullptr);
      EXPECT_EQ(piped.status, 0);
      EXPECT_TRUE(piped.out == file.pi_file) << name_of(program) << " " << length;
      // The console lines go to standard error, and no file is made.
      EXPECT_EQ(without_times(piped.err), without_times(file.out));
      EXPECT_FALSE(piped.wrote_pi_file);
      EXPECT_EQ(piped.temporary_files, 0);
    }
  }
}

TEST(Output, AClosedOrFullStreamFailsTheRunWithOneLine) {
  // A reader that stops after ten bytes, and a device that is always full.
  const std::string closed = "bash -c 'set -o pipefail; \"$0\" \"$@\" | head -c 10 > /dev/null'";
  const std::string full = under("exec \"$0\" \"$@\" > /dev/full");
  for (const std::string& program : kPrograms) {
    for (const std::string& prefix : {closed, full}) {
      ProgramRun run = run_program(program, "-o - 262144", nullptr, "", prefix);
      EXPECT_EQ(run.status, 1) << prefix;
      const std::vector<std::string> lines = lines_of(run.err);
      EXPECT_EQ(lines.back(), "file write error!") << run.err;
      EXPECT_EQ(run.err.find("Total time"), std::string::npos) << run.err;
      EXPECT_FALSE(run.wrote_pi_file);
      EXPECT_EQ(run.temporary_files, 0);
    }
  }
}

TEST(Output, QuietRunsPrintOnlyThePromptAndFailures) {
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-q 1024", nullptr);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(whole_pi_file(run, 1020));
    ProgramRun typed = run_program(program, "--quiet", "1024\n");
    EXPECT_EQ(typed.out, "length of pi =? ");
    EXPECT_TRUE(whole_pi_file(typed, 1020));
    ProgramRun failed = run_program(program, "-q 1024", nullptr, "mkdir pi.txt");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "file open error!\n");
    // Quiet, with the digits down the stream: standard error stays empty.
    ProgramRun piped = run_program(program, "-q -t 2 -o - 1024", nullptr);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(digits_in(piped.out).size(), 1020u);
  }
}
