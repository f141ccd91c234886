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

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "mp.h"
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

// Runs the rest of the command line under a shell snippet: "$0" "$@" is the program.
std::string under(const std::string& snippet) { return "sh -c '" + snippet + "'"; }

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

TEST(Programs, OnlyRightDigitsAndTheSameFileFromBoth) {
  // LENGTH digits, at most bx - 20: the last 20 digits of a run, which truncation may touch,
  // are never written. Lengths below, at and past bx - 20, and at and just past a power of two.
  const std::string pi = reference_digits();
  struct Case {
    std::string input;
    int32_t bx, digits;
  };
  std::vector<Case> cases = {{"1", 128, 1},           {"100", 128, 100},
                             {"1000", 1024, 1000},    {"1025", 2048, 1025},
                             {"65515", 65536, 65515}, {"65516", 65536, 65516},
                             {"65535", 65536, 65516}};
  for (int32_t bx = 128; bx <= 65536; bx *= 2) cases.push_back({std::to_string(bx), bx, bx - 20});
  for (const Case& c : cases) {
    std::string files[2];
    for (int32_t p = 0; p < 2; ++p) {
      ProgramRun run = run_program(kPrograms[p], "", c.input.c_str());
      ASSERT_EQ(run.status, 0) << name_of(kPrograms[p]) << " " << c.input;
      EXPECT_NE(run.out.find("bx = " + std::to_string(c.bx) + "  "), std::string::npos);
      files[p] = run.pi_file;
    }
    EXPECT_EQ(files[0], expected_pi_file(pi.substr(0, c.digits))) << c.input;
    EXPECT_TRUE(files[1] == files[0]) << c.input;
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

// The two lines of a mistake on the command line.
std::string mistake(const std::string& program, const std::string& what) {
  return name_of(program) + ": " + what + "\nTry '" + name_of(program) +
         " --help' for more information.\n";
}

TEST(CommandLine, OptionsTheGnuWay) {
  // Each form, with the file it must leave (the last of a repeated option counts).
  struct Case {
    const char* args;
    const char* file;
    bool quiet;
  };
  for (const std::string& program : kPrograms) {
    for (const Case& c : {Case{"-t1 1000", "pi.txt", false},
                          Case{"--threads=2 1000", "pi.txt", false},
                          Case{"--threads 2 1000", "pi.txt", false},
                          Case{"-qt1 1000", "pi.txt", true},
                          Case{"-- 1000", "pi.txt", false},
                          Case{"1000 -q", "pi.txt", true},
                          Case{"--output=x.txt 1000", "x.txt", false},
                          Case{"-ox.txt 1000 --quiet", "x.txt", true},
                          Case{"-o a.txt --out b.txt 1000", "b.txt", false},
                          Case{"-t 5 -t 1 -q -q 1000", "pi.txt", true}}) {
      ProgramRun run = run_program(program, c.args, nullptr, "", "", c.file);
      EXPECT_EQ(run.status, 0) << c.args << run.err;
      EXPECT_EQ(run.out.empty(), c.quiet) << c.args;
      EXPECT_EQ(digits_in(run.pi_file).size(), 1000u) << c.args;
      EXPECT_EQ(run.err, "") << c.args;
    }
    ProgramRun piped = run_program(program, "-o- 1000", nullptr);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(digits_in(piped.out).size(), 1000u);
  }
}

TEST(CommandLine, AMistakeIsNamedInOneLine) {
  struct Case {
    const char* args;
    const char* what;
  };
  const std::string length = " (a whole number from 1 to 1073741824)";
  const std::string threads = " (a whole number from 1 to 1024)";
  for (const std::string& program : kPrograms) {
    for (const Case& c : {Case{"-x", "invalid option -- 'x'"},
                          Case{"-5", "invalid option -- '5'"},
                          Case{"--digits=5", "unrecognized option '--digits=5'"},
                          Case{"-t", "option requires an argument -- 't'"},
                          Case{"1000 -qo", "option requires an argument -- 'o'"},
                          Case{"--threads", "option '--threads' requires an argument"},
                          Case{"--quiet=1 1000", "option '--quiet' doesn't allow an argument"},
                          Case{"100 200", "one length at most: '200' is a second"},
                          Case{"--repeat", "option '--repeat' requires an argument"},
                          Case{"--plain=yes 100", "option '--plain' doesn't allow an argument"},
                          Case{"--report", "option '--report' requires an argument"},
                          Case{"-t 2 100 -- 200", "one length at most: '200' is a second"},
                          Case{"--rep 2 100",
                               "option '--rep' is ambiguous; possibilities: '--repeat' '--report'"}}) {
      ProgramRun run = run_program(program, c.args, nullptr);
      EXPECT_EQ(run.status, 2) << c.args;
      EXPECT_EQ(run.out, "") << c.args;
      EXPECT_EQ(run.err, mistake(program, c.what)) << c.args;
      EXPECT_FALSE(run.wrote_pi_file) << c.args;
    }
    for (const char* bad : {"", "abc", "0", " 12 x", "2000000000", "1e3"}) {
      ProgramRun run = run_program(program, std::string("'") + bad + "'", nullptr);
      EXPECT_EQ(run.status, 2) << bad;
      EXPECT_EQ(run.err, mistake(program, std::string("invalid length '") + bad + "'" + length));
      EXPECT_FALSE(run.wrote_pi_file) << bad;
    }
    for (const Case& c : {Case{"-t 0", "0"}, Case{"--threads=-1", "-1"}, Case{"-t x", "x"},
                          Case{"-t1025", "1025"}, Case{"--threads ''", ""}}) {
      ProgramRun run = run_program(program, std::string(c.args) + " 1000", nullptr);
      EXPECT_EQ(run.status, 2) << c.args;
      EXPECT_EQ(run.err,
                mistake(program, std::string("invalid thread count '") + c.what + "'" + threads));
      EXPECT_FALSE(run.wrote_pi_file) << c.args;
    }
    for (const char* bad : {"-1", "x", "1000001", ""}) {
      ProgramRun run = run_program(program, std::string("--repeat '") + bad + "' 1000", nullptr);
      EXPECT_EQ(run.status, 2) << bad;
      EXPECT_EQ(run.err, mistake(program, std::string("invalid repeat count '") + bad +
                                              "' (a whole number from 0 to 1000000)"));
      EXPECT_FALSE(run.wrote_pi_file) << bad;
    }
    // The program is named by the last part of the name it was started with.
    ProgramRun linked = run_program("./renamed", "-x", nullptr, "ln -s '" + program + "' renamed");
    EXPECT_EQ(linked.err, "renamed: invalid option -- 'x'\n"
                          "Try 'renamed --help' for more information.\n");
  }
}

// The help text as the README shows it for tallow: the lines after "$ tallow --help" up to the
// next prompt.
std::string help_in_readme() {
  const std::string readme = read_text(README_PATH);
  const std::string command = "$ tallow --help\n";
  const size_t start = readme.find(command);
  if (start == std::string::npos) return "";
  const size_t first = start + command.size();
  return readme.substr(first, readme.find("$ ", first) - first);
}

TEST(CommandLine, HelpAndVersion) {
  for (const std::string& program : kPrograms) {
    ProgramRun help = run_program(program, "--help", nullptr);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    std::string shown = help_in_readme();
    for (size_t at = 0; (at = shown.find("tallow", at)) != std::string::npos;) {
      shown.replace(at, 6, name_of(program));
      at += name_of(program).size();
    }
    EXPECT_EQ(help.out, shown) << "the README's help text is not the program's";
    // Options are read in order: help and version end the reading where they stand.
    for (const char* args : {"-h", "-q --help 100 200 -x"}) {
      ProgramRun run = run_program(program, args, nullptr);
      EXPECT_EQ(run.status, 0) << args;
      EXPECT_EQ(run.out, help.out) << args;
    }
    ProgramRun version = run_program(program, "--version 1000 -x", nullptr);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, name_of(program) + " " + PROJECT_VERSION + "\n");
    // Output that cannot be written fails them.
    for (const char* args : {"--help", "--version"}) {
      ProgramRun full =
          run_program(program, args, nullptr, "", under("exec \"$0\" \"$@\" > /dev/full"));
      EXPECT_EQ(full.status, 1) << args;
      EXPECT_EQ(full.err,
                name_of(program) + ": error writing standard output: No space left on device\n");
    }
  }
}

TEST(Programs, TheSameDigitFileForEveryThreadCount) {
  // Given a count, products from 2^16 doubles share the threads; from 2^19 digits so does a
  // run that chooses its own count. (The sanitizers' build takes the shorter length, where
  // every threaded path runs too.)
#if defined(__SANITIZE_ADDRESS__)
  const char* threaded = "524288";
#else
  const char* threaded = "2097152";
#endif
  for (const std::string& program : kPrograms) {
    for (const char* length : {"4096", threaded}) {
      const std::string one = run_program(program, std::string("-t 1 ") + length, nullptr).pi_file;
      EXPECT_FALSE(one.empty());
      for (const char* threads : {"2", "3", "4"}) {
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
      // 100 KB at most (in blocks of 512 or 1024 bytes): the write fails, and the limit's signal
      // does not end the run unannounced.
      ProgramRun run =
          run_program(program, d.option + "262144", nullptr, d.then("echo earlier > " + d.target),
                      under("ulimit -f 200; exec \"$0\" \"$@\""), d.target);
      EXPECT_EQ(run.status, 1) << d.target;
      EXPECT_TRUE(run.out.ends_with("file write error!\n")) << run.out;
      EXPECT_EQ(run.err, name_of(program) + ": " + d.target + ": File too large\n");
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
      EXPECT_TRUE(whole_pi_file(linked, 1004)) << d.target;
      EXPECT_EQ(read_text(pattern), "keep\n");
      // A reader would wait forever on a FIFO; the run must not.
      ProgramRun fifo = run_program(program, d.option + "1024", nullptr,
                                    d.then("mkfifo " + d.target), "timeout 60", d.target);
      EXPECT_EQ(fifo.status, 0);
      EXPECT_TRUE(whole_pi_file(fifo, 1004)) << d.target;
    }
  }
  std::filesystem::remove(pattern);
}

TEST(DigitFile, ADeviceInTheFilesPlaceIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
  for (const std::string& program : kPrograms) {
    for (const Destination& d : kDestinations) {
      // A twin of /dev/null (character device 1, 3) where the digits go.
      ProgramRun run = run_program(program, d.option + "1024", nullptr,
                                   d.then("mknod " + d.target + " c 1 3"),
                                   under("\"$0\" \"$@\" && test -c " + d.target), d.target);
      EXPECT_EQ(run.status, 0) << d.target << run.out << run.err;
      EXPECT_FALSE(run.wrote_pi_file);
      EXPECT_EQ(run.temporary_files, 0);
    }
  }
}

TEST(DigitFile, AFileTheSystemWillNotLetGoFailsBeforeTheWork) {
  if (geteuid() != 0 || std::system("command -v setpriv > /dev/null") != 0) {
    GTEST_SKIP() << "needs root, to make another user's file, and setpriv";
  }
  for (const std::string& program : kPrograms) {
    // Root's pi.txt in a sticky folder of root's: another user may not replace it.
    const std::string other_user = under(
        "chmod 1777 . && echo earlier > pi.txt && chmod 644 pi.txt && "
        "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" \"$@\"");
    ProgramRun sticky = run_program(program, "1048576", nullptr, "", other_user);
    EXPECT_EQ(sticky.status, 1);
    EXPECT_EQ(sticky.out, "file open error!\n");
    EXPECT_EQ(sticky.err, name_of(program) + ": pi.txt: Operation not permitted\n");
    EXPECT_EQ(sticky.pi_file, "earlier\n");
    // An immutable file, where the file system has the flag.
    if (std::system("f=$(mktemp) && chattr +i $f 2>/dev/null && chattr -i $f; s=$?; rm -f $f; "
                    "exit $s") != 0) {
      continue;
    }
    ProgramRun immutable = run_program(program, "1048576", nullptr,
                                       "echo earlier > pi.txt && chattr +i pi.txt",
                                       under("\"$0\" \"$@\"; s=$?; chattr -i pi.txt; exit $s"));
    EXPECT_EQ(immutable.status, 1);
    EXPECT_EQ(immutable.out, "file open error!\n");
    EXPECT_EQ(immutable.err, name_of(program) + ": pi.txt: Operation not permitted\n");
  }
}

TEST(DigitFile, ANameAsLongAsTheFileSystemTakes) {
  const std::string name(250, 'n');
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-o " + name + " 1000", nullptr, "", "", name);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(whole_pi_file(run, 1000));
    EXPECT_EQ(run.temporary_files, 0);
  }
}

TEST(DigitFile, TwoRunsAtOnceInOneFolderLeaveOneWholeFile) {
  const std::string both = under(
      "\"$0\" 32768 > first.txt & first=$!; \"$0\" 65536 > second.txt; second=$?; "
      "wait $first && [ $second = 0 ]");
  for (const std::string& program : kPrograms) {
    for (int trial = 0; trial < 3; ++trial) {
      ProgramRun run = run_program(program, "", nullptr, "", both);
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(whole_pi_file(run, 32748) || whole_pi_file(run, 65516));
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
      EXPECT_EQ(blocked.err, name_of(program) + ": " + d.target + ": Is a directory\n");
    }
    // A folder that does not exist cannot take it either.
    ProgramRun missing = run_program(program, "-o nowhere/digits.txt 1048576", nullptr);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "file open error!\n");
    EXPECT_EQ(missing.err, name_of(program) + ": nowhere/digits.txt: No such file or directory\n");
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
      EXPECT_NE(run.err.find(": Read-only file system\n"), std::string::npos) << run.err;
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
      if (entry.path().filename().string().starts_with(".pi-") &&
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
    // Every signal that ends a process and may be caught, during the work: the temporary file
    // exists from the start.
    for (int signal_number : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU,
                              SIGPROF, SIGRTMIN + 1}) {
      char pattern[] = "/tmp/pi_signal_test.XXXXXX";
      const fs::path dir = mkdtemp(pattern);
      std::ofstream(dir / "pi.txt") << "earlier\n";
      const int status = run_and_signal(program, dir, "262144", signal_number, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
      EXPECT_EQ(read_text(dir / "pi.txt"), "earlier\n");
      EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
      fs::remove_all(dir);
    }
    for (int signal_number : {SIGTERM, SIGINT}) {
      char pattern[] = "/tmp/pi_signal_test.XXXXXX";
      const fs::path dir = mkdtemp(pattern);
      std::ofstream(dir / "pi.txt") << "earlier\n";
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
      EXPECT_TRUE(whole_pi_file(run, 4076));
    }
  }
}

TEST(Console, FailureMessagesFindAStreamThatTakesThem) {
  // Standard output closed or full: the message goes to standard error.
  for (const std::string& program : kPrograms) {
    for (const char* output : {">&-", "> /dev/full"}) {
      ProgramRun run =
          run_program(program, "", "0\n", "", under(std::string("exec \"$0\" \"$@\" ") + output));
      EXPECT_EQ(run.status, 1) << output;
      EXPECT_NE(run.err.find(kBadLength), std::string::npos) << output << run.err;
    }
    // A reader gone while a run prints: a message and status 1, not a death by SIGPIPE.
    ProgramRun reader_gone = run_program(
        program, "262144", nullptr, "",
        "bash -c 'set -o pipefail; \"$0\" \"$@\" | true'");
    EXPECT_EQ(reader_gone.status, 1);
    EXPECT_EQ(reader_gone.err,
              name_of(program) + ": error writing standard output: Broken pipe\n");
  }
}

TEST(Console, ClosedStandardStreamsTakeNothingTheRunOpens) {
  for (const std::string& program : kPrograms) {
    // Standard error closed: the console lines it would take stay out of the digits.
    ProgramRun piped =
        run_program(program, "-o - 1000", nullptr, "", under("exec \"$0\" \"$@\" 2>&-"));
    EXPECT_EQ(piped.out, expected_pi_file(reference_digits().substr(0, 1000)));
    // Standard input closed and the length typed: the end of input, refused.
    ProgramRun no_input = run_program(program, "", nullptr, "", under("exec \"$0\" <&-"));
    EXPECT_EQ(no_input.status, 1);
    EXPECT_EQ(no_input.out, std::string("length of pi =? ") + kBadLength);
    // A quiet run opens nothing for its console: it needs no spare descriptor.
    // (Descriptors the test runner left open are closed first.)
    const std::string four_descriptors =
        "bash -c 'for f in /proc/$$/fd/*; do n=${f##*/}; [ $n -gt 2 ] && eval \"exec $n>&-\"; "
        "done; ulimit -n 4; exec \"$0\" \"$@\"'";
    ProgramRun few = run_program(program, "-q 1000", nullptr, "", four_descriptors);
    EXPECT_EQ(few.status, 0) << few.out << few.err;
    EXPECT_TRUE(whole_pi_file(few, 1000));
  }
}

TEST(Console, AnOmpNumThreadsThatIsNoNumberIsWarnedOfOnce) {
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-q 524288", nullptr, "", "OMP_NUM_THREADS=abc");
    EXPECT_EQ(run.status, 0);
    size_t warnings = 0;
    for (size_t at = 0; (at = run.err.find("OMP_NUM_THREADS", at)) != std::string::npos; ++at) {
      ++warnings;
    }
    EXPECT_LE(warnings, 1u) << run.err;
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
    EXPECT_EQ(run.out, "Memory Allocation Failure!\n");
    EXPECT_EQ(run.err, "1793 MiB needed, 100 MiB available\n");
    EXPECT_FALSE(run.wrote_pi_file);
    // A length that fits runs as usual.
    run = run_program(program, "1024", nullptr, small_meminfo, with_small_meminfo);
    EXPECT_EQ(run.status, 0) << run.out;
  }
}

// A cgroup v1 group of controller's made for a test, with value written to its file setting;
// its folder, or empty where none can be made (not root, no such controller).
std::string make_cgroup(const std::string& controller, const std::string& setting,
                        const std::string& value) {
  const std::string group = "/sys/fs/cgroup/" + controller + "/pi_test_" + std::to_string(getpid());
  if (geteuid() != 0 || std::system(("mkdir " + group + " 2>/dev/null").c_str()) != 0) return "";
  if (std::system(("echo " + value + " > " + group + "/" + setting).c_str()) != 0) {
    std::system(("rmdir " + group).c_str());
    return "";
  }
  return group;
}

// What runs the rest of the command line inside the cgroup at group.
std::string inside_cgroup(const std::string& group) {
  return under("echo $$ > " + group + "/cgroup.procs && exec \"$0\" \"$@\"");
}

TEST(Programs, AMemoryCgroupsLimitIsSeenBeforeTheWork) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer alone needs more than the limit leaves";
#endif
  // A container's limit: a cgroup v1 memory controller of 6 MiB, as root.
  const std::string group = make_cgroup("memory", "memory.limit_in_bytes", "6291456");
  if (group.empty()) GTEST_SKIP() << "needs root and a cgroup v1 memory controller";
  const std::string inside = inside_cgroup(group);
  for (const std::string& program : kPrograms) {
    // 2^20 digits need 7340480 bytes, 8 MiB rounded up.
    ProgramRun run = run_program(program, "1048576", nullptr, "", inside);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Memory Allocation Failure!\n");
    EXPECT_TRUE(run.err.starts_with("8 MiB needed, ")) << run.err;
    EXPECT_TRUE(run.err.ends_with(" MiB available\n")) << run.err;
    EXPECT_FALSE(run.wrote_pi_file);
    EXPECT_EQ(run.temporary_files, 0);
    run = run_program(program, "-q 4096", nullptr, "", inside);
    EXPECT_EQ(run.status, 0) << run.out;
  }
  std::system(("rmdir " + group).c_str());
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
      ASSERT_GE(lines.size(), 2u) << run.err;
      EXPECT_EQ(lines[lines.size() - 2], "file write error!") << run.err;
      EXPECT_TRUE(lines.back() == name_of(program) + ": standard output: Broken pipe" ||
                  lines.back() == name_of(program) + ": standard output: No space left on device")
          << run.err;
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
    EXPECT_TRUE(whole_pi_file(run, 1004));
    ProgramRun typed = run_program(program, "--quiet", "1024\n");
    EXPECT_EQ(typed.out, "length of pi =? ");
    EXPECT_TRUE(whole_pi_file(typed, 1004));
    ProgramRun failed = run_program(program, "-q 1024", nullptr, "mkdir pi.txt");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "file open error!\n");
    // Quiet, with the digits down the stream: standard error stays empty.
    ProgramRun piped = run_program(program, "-q -t 2 -o - 1024", nullptr);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(digits_in(piped.out).size(), 1004u);
  }
}

namespace {

std::string hex_sha256(const std::string& bytes) {
  uint8_t hash[32];
  sha256_of(bytes.data(), bytes.size(), hash);
  return hex_of(hash);
}

// The summary line of a repeat of `runs` runs.
bool is_summary(const std::string& line, int runs) {
  const std::string start = "Runs : " + std::to_string(runs) +
                            ", fastest N msec, median N msec, slowest N msec, ";
  const std::string shown = without_times(line);
  return shown.starts_with(start) && shown.ends_with("; the digits of every run agreed.") &&
         (shown.find(", 1 thread;") != std::string::npos ||
          shown.find(" threads at most;") != std::string::npos);
}

}  // namespace

TEST(Repeat, RunsCheckedAgainstEachOtherOneFileAndASummary) {
  for (const std::string& program : kPrograms) {
    const ProgramRun once = run_program(program, "4096", nullptr);
    ProgramRun run = run_program(program, "-r 3 4096", nullptr);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.pi_file, once.pi_file);
    EXPECT_EQ(run.temporary_files, 0);
    // The sizing line once, then the first run's lines, a line each later run, the summary.
    const std::vector<std::string> lines = lines_of(run.out), single = lines_of(once.out);
    ASSERT_EQ(lines.size(), single.size() + 2 + 1) << run.out;
    for (size_t k = 0; k < single.size(); ++k) {
      EXPECT_EQ(without_times(lines[k]), without_times(single[k])) << k;
    }
    EXPECT_EQ(without_times(lines[single.size()]), "Total time : N msec.");
    EXPECT_EQ(without_times(lines[single.size() + 1]), "Total time : N msec.");
    EXPECT_TRUE(is_summary(lines.back(), 3)) << lines.back();
    // Quiet: the summary alone.
    ProgramRun quiet = run_program(program, "-q --repeat=2 4096", nullptr);
    EXPECT_EQ(quiet.status, 0);
    ASSERT_EQ(lines_of(quiet.out).size(), 1u) << quiet.out;
    EXPECT_TRUE(is_summary(quiet.out.substr(0, quiet.out.size() - 1), 2)) << quiet.out;
    EXPECT_EQ(quiet.pi_file, once.pi_file);
  }
}

TEST(Repeat, AnEndlessRepeatStoppedBySigintOrSigtermSucceeds) {
  namespace fs = std::filesystem;
  for (const std::string& program : kPrograms) {
    // Endless, and a finite repeat stopped after its first run: a summary of the runs done.
    for (const auto& [signal_number, repeat_count] :
         {std::pair{SIGINT, "--repeat=0"}, std::pair{SIGTERM, "--repeat=0"},
          std::pair{SIGTERM, "--repeat=100000"}}) {
      char pattern[] = "/tmp/pi_repeat_test.XXXXXX";
      const fs::path dir = mkdtemp(pattern);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
      posix_spawn_file_actions_addopen(&actions, 1, "out.txt", O_WRONLY | O_CREAT, 0644);
      std::string path = program, repeat = repeat_count, length = "65536";
      char* argv[] = {path.data(), repeat.data(), length.data(), nullptr};
      pid_t pid;
      ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
      posix_spawn_file_actions_destroy(&actions);
      // Once the digits are in place and a second run has begun, the signal.
      while (!fs::exists(dir / "pi.txt")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      kill(pid, signal_number);
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      const std::vector<std::string> lines = lines_of(read_text(dir / "out.txt"));
      const int runs = static_cast<int>(
          std::count_if(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.starts_with("Total time"); }));
      EXPECT_GE(runs, 1);
      ASSERT_FALSE(lines.empty());
      EXPECT_TRUE(is_summary(lines.back(), runs)) << lines.back();
      EXPECT_EQ(digits_in(read_text(dir / "pi.txt")).size(), 65516u);
      for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        EXPECT_TRUE(entry.path().filename() == "pi.txt" || entry.path().filename() == "out.txt")
            << entry.path();
      }
      fs::remove_all(dir);
    }
  }
}

TEST(Report, KeysRunsAndTheHashOfTheDigitsWritten) {
  for (const std::string& program : kPrograms) {
    for (const char* args : {"-o - --report r.json -r 2 5000", "--plain -o - --report=r.json 5000"}) {
      const ProgramRun run = run_program(program, args, nullptr, "", "", "r.json");
      ASSERT_EQ(run.status, 0) << run.err;
      const nlohmann::json report = nlohmann::json::parse(run.pi_file);
      EXPECT_EQ(report["program"], name_of(program));
      EXPECT_EQ(report["version"], PROJECT_VERSION);
      EXPECT_EQ(report["length"], 5000);
      EXPECT_EQ(report["bx"], 8192);
      EXPECT_EQ(report["digits"], 5000);
      EXPECT_GE(report["threads"].get<int>(), 1);
      // The hash of the bytes written: here, the stream.
      EXPECT_EQ(report["sha256"], hex_sha256(run.out));
      const size_t runs = std::string(args).find("-r 2") != std::string::npos ? 2 : 1;
      ASSERT_EQ(report["runs"].size(), runs);
      // Each run's stages, the first run's as its console lines give them: the set-up, 12
      // iterations, the last.
      std::vector<int> console_ms;
      for (const std::string& line : lines_of(run.err)) {
        const size_t at = line.find("msec");
        if (at != std::string::npos && !line.starts_with("Total") && !line.starts_with("Runs")) {
          console_ms.push_back(std::stoi(line.substr(line.find_last_of(' ', at) + 1)));
        }
      }
      std::vector<int> report_ms;
      for (const nlohmann::json& r : report["runs"]) {
        EXPECT_EQ(r["stages_ms"].size(), 14u);
        EXPECT_GE(r["total_ms"].get<int>(), 0);
      }
      for (const nlohmann::json& ms : report["runs"][0]["stages_ms"]) {
        report_ms.push_back(ms.get<int>());
      }
      EXPECT_EQ(report_ms, console_ms);
      for (const char* key : {"checks", "cpu", "date"}) EXPECT_TRUE(report.contains(key)) << key;
      EXPECT_EQ(report["checks"]["spot_check"], true);
      const std::string date = report["date"];
      EXPECT_EQ(date.size(), 20u);
      EXPECT_EQ(date.back(), 'Z');
    }
    // Into a folder that is not there: the file error, before the work.
    const ProgramRun missing = run_program(program, "--report none/r.json 5000", nullptr);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "file open error!\n");
    EXPECT_EQ(missing.err, name_of(program) + ": none/r.json: No such file or directory\n");
    EXPECT_FALSE(missing.wrote_pi_file);
  }
}

TEST(Output, PlainDigitsAreThreePointAndEveryDigitOnOneLine) {
  const std::string reference = reference_digits();
  for (const std::string& program : kPrograms) {
    for (int digits : {1, 1000, 65516}) {
      const ProgramRun run = run_program(program, "--plain " + std::to_string(digits), nullptr);
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(run.pi_file == "3." + reference.substr(0, digits) + "\n") << digits;
      const ProgramRun piped =
          run_program(program, "-q --plain -o - " + std::to_string(digits), nullptr);
      EXPECT_TRUE(piped.out == run.pi_file) << digits;
    }
  }
}

// Whether the tests run as root with a private mount namespace at hand.
bool root_with_namespaces() {
  return geteuid() == 0 && std::system("unshare -m true 2>/dev/null") == 0;
}

TEST(Targets, DevicesFifosAndDescriptorsBehindLinksAreWrittenThrough) {
  const std::string file = expected_pi_file(reference_digits().substr(0, 1000));
  for (const std::string& program : kPrograms) {
    // The names of standard output, straight or through links, are standard output: the
    // digits come down the stream, and no link of /dev is replaced.
    for (const char* args : {"-q -o /dev/stdout 1000", "-q -o /dev/fd/1 1000",
                             "-q -o /proc/self/fd/1 1000", "-q -o out-link 1000"}) {
      ProgramRun run = run_program(program, args, nullptr, "ln -s /dev/stdout out-link", "");
      EXPECT_EQ(run.status, 0) << args << run.err;
      EXPECT_TRUE(run.out == file) << args;
      EXPECT_FALSE(run.wrote_pi_file) << args;
    }
    EXPECT_TRUE(std::filesystem::is_symlink("/dev/stdout"));
    // Standard error, named: the digits go there.
    ProgramRun to_stderr = run_program(program, "-q -o /dev/stderr 1000", nullptr);
    EXPECT_TRUE(to_stderr.err == file);
    // A link to a FIFO with a reader: the reader gets the digits, the link stays. (The reader
    // holds the FIFO open before the run starts, and takes what the run left in it.)
    ProgramRun fifo = run_program(
        program, "-q 1000", nullptr, "mkfifo f && ln -s f pi.txt",
        under("exec 3<>f; \"$0\" \"$@\"; s=$?; timeout 1 cat <&3 > got; test -L pi.txt && "
              "exit $s"),
        "got");
    EXPECT_EQ(fifo.status, 0) << fifo.err;
    EXPECT_TRUE(fifo.pi_file == file);
    // The report down standard output, with the console lines on standard error.
    ProgramRun report = run_program(program, "--report - 1000", nullptr);
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(nlohmann::json::parse(report.out)["digits"], 1000);
    EXPECT_NE(report.err.find("Total time"), std::string::npos);
    EXPECT_TRUE(whole_pi_file(report, 1000));
  }
  if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
  for (const std::string& program : kPrograms) {
    // A twin of /dev/null behind a link: written through, the link and the device kept.
    ProgramRun run = run_program(program, "1024", nullptr, "mknod null c 1 3 && ln -s null pi.txt",
                                 under("\"$0\" \"$@\" && test -L pi.txt && test -c null"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.temporary_files, 0);
  }
}

TEST(Targets, OneFileNamedTwiceIsAMistake) {
  struct Case {
    const char* args;
    const char* what;
  };
  for (const std::string& program : kPrograms) {
    for (const Case& c :
         {Case{"-o same.txt --report same.txt 1000",
               "the digits and the report cannot go to one file: 'same.txt'"},
          Case{"--report pi.txt 1000", "the digits and the report cannot go to one file: 'pi.txt'"},
          Case{"--report ./sub/../pi.txt 1000",
               "the digits and the report cannot go to one file: './sub/../pi.txt'"},
          Case{"-o x --report link 1000", "the digits and the report cannot go to one file: 'link'"},
          Case{"-o - --report /dev/fd/1 1000",
               "the digits and the report cannot go to one file: '/dev/fd/1'"},
          Case{"-o - --report - 1000",
               "the digits and the report cannot both go to standard output"}}) {
      ProgramRun run = run_program(program, c.args, nullptr, "mkdir sub && echo x > x && ln -s x link");
      EXPECT_EQ(run.status, 2) << c.args;
      EXPECT_EQ(run.out, "") << c.args;
      EXPECT_EQ(run.err, mistake(program, c.what)) << c.args;
      EXPECT_FALSE(run.wrote_pi_file) << c.args;
    }
  }
}

TEST(Targets, WhatTheRenameWouldRefuseIsRefusedBeforeTheWork) {
  struct Case {
    std::string args, setup, prefix, reason;
    bool needs_root;
  };
  const std::string long_name(256, 'n');
  const std::string namespaced = "unshare -m " + under("mount --bind src tgt && exec \"$0\" \"$@\"");
  const std::string append_only = under("chattr +a sub && \"$0\" \"$@\"; s=$?; chattr -a sub; exit $s");
  const std::vector<Case> cases = {
      {"-o " + long_name + " 1048576", "", "", long_name + ": File name too long", false},
      {"-o tgt 1048576", "echo a > src && echo b > tgt", namespaced,
       "tgt: Device or resource busy", true},
      {"-o sub/x --report sub/r.json 1048576", "mkdir sub", append_only,
       "sub/x: Operation not permitted", true}};
  const bool chattr = std::system("d=$(mktemp -d) && chattr +a $d 2>/dev/null && chattr -a $d; "
                                  "s=$?; rmdir $d 2>/dev/null; exit $s") == 0;
  for (const std::string& program : kPrograms) {
    for (const Case& c : cases) {
      if (c.needs_root && (!root_with_namespaces() || !chattr)) continue;
      ProgramRun run = run_program(program, c.args, nullptr, c.setup, c.prefix, "sub/x");
      EXPECT_EQ(run.status, 1) << c.reason;
      EXPECT_EQ(run.out, "file open error!\n") << c.reason;  // before the sizing line
      EXPECT_EQ(run.err, name_of(program) + ": " + c.reason + "\n");
      EXPECT_EQ(run.temporary_files, 0) << c.reason;
    }
  }
}

TEST(Targets, AFolderRenamedDuringTheRunKeepsNoTemporaryFile) {
  const std::string moved = under(
      "mkdir sub && \"$0\" \"$@\" & p=$!; n=0; until ls -A sub 2>/dev/null | grep -q tmp || "
      "[ $n -ge 6000 ]; do sleep 0.01; n=$((n+1)); done; mv sub moved; wait $p && ls -A moved >&2");
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-q -o sub/x --report sub/r.json 1048576", nullptr, "",
                                 moved, "moved/x");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "r.json\nx\n");
    EXPECT_TRUE(whole_pi_file(run, 1048576 - 20));
  }
}

TEST(Targets, AReplacedFileKeepsItsMode) {
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-q --report r.json 1000", nullptr,
                                 "echo x > pi.txt && echo y > r.json && chmod 600 pi.txt r.json",
                                 under("\"$0\" \"$@\" && stat -c %a pi.txt r.json >&2"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "600\n600\n");
    EXPECT_TRUE(whole_pi_file(run, 1000));
  }
}

TEST(Targets, AsTheFirstProcessOfAPidNamespaceASignalStillEndsTheRun) {
  if (!root_with_namespaces() || std::system("unshare -pf --mount-proc true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and PID namespaces";
  }
  struct Case {
    const char* args;
    const char* signal_name;
    int status;
    const char* ready;  // the file whose presence says the work is under way
  };
  for (const std::string& program : kPrograms) {
    for (const Case& c : {Case{"4194304", "TERM", 128 + SIGTERM, ".pi-*"},
                          Case{"-r 0 65536", "HUP", 128 + SIGHUP, "pi.txt"}}) {
      const std::string signalled = under(
          std::string("echo earlier > old.txt; unshare -pf --mount-proc \"$0\" \"$@\" & u=$!; "
                      "n=0; until ls ") +
          c.ready + " >/dev/null 2>&1 || [ $n -ge 6000 ]; do sleep 0.01; n=$((n+1)); done; " +
          "pkill -" + c.signal_name + " -P $u; wait $u");
      ProgramRun run = run_program(program, std::string("-q ") + c.args, nullptr, "", signalled);
      EXPECT_EQ(run.status, c.status) << c.args << run.err;
      EXPECT_EQ(run.temporary_files, 0) << c.args;
    }
  }
}

TEST(Threads, LimitsOnThreadsAreTheProgramsOwnFailures) {
  for (const std::string& program : kPrograms) {
    // OMP_NUM_THREADS has the bounds of -t; -t overrides it.
    ProgramRun many = run_program(program, "-q 1000", nullptr, "", "OMP_NUM_THREADS=2000");
    EXPECT_EQ(many.status, 2);
    EXPECT_EQ(many.err, mistake(program, "invalid OMP_NUM_THREADS '2000' (a whole number from 1 "
                                         "to 1024)"));
    EXPECT_FALSE(many.wrote_pi_file);
    EXPECT_EQ(run_program(program, "-q -t 2 1000", nullptr, "", "OMP_NUM_THREADS=2000").status, 0);
    // An OMP_THREAD_LIMIT below -t: the report gives the threads that ran.
    ProgramRun limited = run_program(program, "-q -t 2 --report r.json 524288", nullptr, "",
                                     "OMP_THREAD_LIMIT=1", "r.json");
    EXPECT_EQ(nlohmann::json::parse(limited.pi_file)["threads"], 1);
#if !defined(__SANITIZE_ADDRESS__)
    // A stack limit too low for the run is refused; a low soft limit is raised.
    ProgramRun stack = run_program(program, "-q 65536", nullptr, "",
                                   "bash -c 'ulimit -s 36; exec \"$0\" \"$@\"'");
    EXPECT_EQ(stack.status, 1);
    EXPECT_EQ(stack.out, "Memory Allocation Failure!\n");
    EXPECT_EQ(stack.err, name_of(program) + ": a stack limit of 36 KiB; the run needs 64 KiB\n");
    EXPECT_EQ(stack.temporary_files, 0);
    ProgramRun soft = run_program(program, "-q -t 2 1048576", nullptr, "",
                                  "bash -c 'ulimit -S -s 36; exec \"$0\" \"$@\"'");
    EXPECT_EQ(soft.status, 0) << soft.err;
#endif
  }
  // A CPU quota of one CPU: one thread, where the count is the program's to choose.
  const std::string quota = make_cgroup("cpu", "cpu.cfs_quota_us", "100000");
  for (const std::string& program : kPrograms) {
    if (quota.empty()) break;
    ProgramRun run = run_program(program, "-q --report r.json 524288", nullptr, "",
                                 "env -u OMP_NUM_THREADS " + inside_cgroup(quota), "r.json");
    EXPECT_EQ(nlohmann::json::parse(run.pi_file)["threads"], 1);
  }
  if (!quota.empty()) std::system(("rmdir " + quota).c_str());
  // A team that a limit on processes forbids.
  const std::string group = make_cgroup("pids", "pids.max", "3");
  if (group.empty()) GTEST_SKIP() << "needs root and a cgroup v1 pids controller";
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "-t 8 1048576", nullptr, "", inside_cgroup(group));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.ends_with("\nThread Creation Failure!\n")) << run.out;  // no stage
    EXPECT_EQ(run.err, name_of(program) + ": 8 threads: Resource temporarily unavailable\n");
    EXPECT_EQ(run.temporary_files, 0);
  }
  std::system(("rmdir " + group).c_str());
}

TEST(Report, WrittenOnlyWhenTheInvocationSucceedsAndBoundedInARepeat) {
  for (const std::string& program : kPrograms) {
    for (const char* output : {"> /dev/full", ">&- 2>&-"}) {
      ProgramRun run = run_program(program, "--report r.json 4096", nullptr, "",
                                   under(std::string("exec \"$0\" \"$@\" ") + output), "r.json");
      EXPECT_EQ(run.status, 1) << output;
      EXPECT_FALSE(run.wrote_pi_file) << output;
      EXPECT_EQ(run.temporary_files, 0) << output;
    }
    // A long repeat lists its last thousand runs and counts them all.
    ProgramRun repeat = run_program(program, "-q -r 1500 --report r.json 1", nullptr, "", "",
                                    "r.json");
    ASSERT_EQ(repeat.status, 0);
    const nlohmann::json report = nlohmann::json::parse(repeat.pi_file);
    EXPECT_EQ(report["runs"].size(), 1000u);
    EXPECT_EQ(report["runs_finished"], 1500);
  }
}

TEST(Console, AStandardInputThatCannotBeReadIsNamed) {
  for (const std::string& program : kPrograms) {
    for (const char* input : {"< /", "0>/dev/null"}) {
      ProgramRun run = run_program(program, "", nullptr, "", under(std::string("exec \"$0\" ") + input));
      EXPECT_EQ(run.status, 1) << input;
      EXPECT_EQ(run.out, "length of pi =? file read error!\n") << input;
      EXPECT_TRUE(run.err.starts_with(name_of(program) + ": standard input: ")) << run.err;
    }
  }
}

TEST(Stress, AWorkerACoreALineARunAndASummary) {
  const std::string run_line = R"(^ +[0-9]+\.[0-9] s  worker [1-3] \(core [0-9]+\)  4096 digits  ok$)";
  for (const std::string& program : kPrograms) {
    for (int workers : {2, 3}) {
      ProgramRun run = run_program(program, "--stress -r 2 -t " + std::to_string(workers) + " 4096",
                                   nullptr);
      EXPECT_EQ(run.status, 0) << run.out << run.err;
      const std::vector<std::string> lines = lines_of(run.out);
      ASSERT_EQ(lines.size(), size_t(2 * workers + 1)) << run.out;
      for (size_t k = 0; k + 1 < lines.size(); ++k) {
        EXPECT_THAT(lines[k], testing::MatchesRegex(run_line));
      }
      EXPECT_EQ(lines.back().substr(0, lines.back().rfind(';')),
                "Stress : " + std::to_string(workers) + " workers of one thread, " +
                    std::to_string(2 * workers) + " runs (" + (workers == 2 ? "2, 2" : "2, 2, 2") +
                    "); the digits of every run agreed");
      EXPECT_FALSE(run.wrote_pi_file);
      EXPECT_EQ(run.temporary_files, 0);
    }
    // Quiet: the summary alone; with -o, the first run's digits.
    ProgramRun quiet = run_program(program, "--stress -q -r 1 -t 2 -o x.txt 1000", nullptr, "", "",
                                   "x.txt");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(lines_of(quiet.out).size(), 1u) << quiet.out;
    EXPECT_TRUE(whole_pi_file(quiet, 1000));
    EXPECT_EQ(run_program(program, "--stress --report r.json 1000", nullptr).status, 2);
    // Stopped before the first run wrote the digits asked for: a failure, nothing left.
    ProgramRun early = run_program(program, "--stress -t 2 -o x.txt 4194304", nullptr, "",
                                   under("\"$0\" \"$@\" & p=$!; n=0; until ls .pi-* >/dev/null "
                                         "2>&1 || [ $n -ge 6000 ]; do n=$((n+1)); sleep 0.01; "
                                         "done; kill -TERM $p; wait $p"),
                                   "x.txt");
    EXPECT_EQ(early.status, 1);
    EXPECT_TRUE(early.out.ends_with("stopped before its first run wrote the digits\nerror stress\n"))
        << early.out;
    EXPECT_FALSE(early.wrote_pi_file);
    EXPECT_EQ(early.temporary_files, 0);
  }
}

TEST(Console, ALogThroughAPipeHoldsEveryFinishedLine) {
  // The run ends by SIGTERM once its third iteration is in the log.
  const std::string killed = under(
      "mkfifo p; cat p > log & c=$!; \"$0\" \"$@\" > p & t=$!; "
      "n=0; until grep -q \"^ 3 \" log 2>/dev/null || [ $n -ge 6000 ]; do sleep 0.01; n=$((n+1)); "
      "done; kill -TERM $t; wait $t; "
      "wait $c");
  for (const std::string& program : kPrograms) {
    ProgramRun run = run_program(program, "4194304", nullptr, "", killed, "log");
    const std::vector<std::string> lines = lines_of(run.pi_file);
    ASSERT_GE(lines.size(), 5u) << run.pi_file;
    EXPECT_EQ(lines[0], "bx = 4194304  use memory = 29360176");
    EXPECT_EQ(without_times(lines[1]), "-- Nmsec");
    EXPECT_EQ(without_times(lines[2]), " 1 Nmsec");
    EXPECT_EQ(run.temporary_files, 0);
  }
}
