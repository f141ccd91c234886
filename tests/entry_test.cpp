#include <gtest/gtest.h>
#include <omp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "entry.h"

TEST(Length, AcceptsOneDecimalIntegerWithBlanks) {
  EXPECT_EQ(parse_length("1000"), 1000);
  EXPECT_EQ(parse_length("  77 \t"), 77);
  EXPECT_EQ(parse_length("1\r"), 1);
  EXPECT_EQ(parse_length("0001073741824"), 1073741824);
}

TEST(Length, RefusesEverythingElse) {
  for (const char* bad : {"", "   ", "0", "-5", "+5", "12x", "1 2", "x12", "1.5", "1e6",
                          "1073741825", "99999999999999999999999"}) {
    EXPECT_EQ(parse_length(bad), 0) << '"' << bad << '"';
  }
}

TEST(Length, RoundsUpToAPowerOfTwoOfAtLeast128) {
  EXPECT_EQ(round_length(1), 128);
  EXPECT_EQ(round_length(127), 128);
  EXPECT_EQ(round_length(128), 128);
  EXPECT_EQ(round_length(129), 256);
  EXPECT_EQ(round_length(1000), 1024);
  EXPECT_EQ(round_length(1025), 2048);
  EXPECT_EQ(round_length(1073741824), 1073741824);
  EXPECT_EQ(round_length(536870913), 1073741824);
  // No 32-bit power of two lies above 2^30; below 1 the least length is the answer.
  for (int32_t above : {1073741825, 2147483647}) EXPECT_EQ(round_length(above), 0) << above;
  for (int32_t below : {0, -1, -2147483647 - 1}) EXPECT_EQ(round_length(below), 128) << below;
}

TEST(Length, WritesTheDigitsAskedForButNeverTheLast20OfARun) {
  EXPECT_EQ(written_digits(1, 128), 1);
  EXPECT_EQ(written_digits(100, 128), 100);
  EXPECT_EQ(written_digits(108, 128), 108);
  EXPECT_EQ(written_digits(128, 128), 108);
  EXPECT_EQ(written_digits(1000, 1024), 1000);
  EXPECT_EQ(written_digits(1048576, 1048576), 1048556);
  EXPECT_EQ(written_digits(1073741824, 1073741824), 1073741804);
}

TEST(Memory, RunBytesCountEveryBufferAndRunsThatDoNotFitAreRefused) {
  // 2^20 digits: five numbers of 262148 words, 262158 work words, two arrays of 262144
  // doubles, each rounded up to 64 bytes.
  EXPECT_EQ(run_bytes(1 << 20), 5 * 524352 + 524352 + 2 * 2097152);
  // 2^30 digits: 28 bytes a word and the rounding, past 32 bits.
  const int64_t longest = run_bytes(1 << 30);
  EXPECT_EQ(longest, 6 * int64_t{536870976} + 2 * (int64_t{1} << 31));
  EXPECT_TRUE(memory_suffices(longest, longest));
  EXPECT_FALSE(memory_suffices(longest + 1, longest));
  EXPECT_TRUE(memory_suffices(longest, -1));  // unknown memory is no bar
}

TEST(Memory, AvailableMemoryIsReadFromMeminfo) {
  char path[] = "/tmp/meminfo_test.XXXXXX";
  const int fd = mkstemp(path);
  const std::string text = "MemTotal:       24000000 kB\nMemFree:  100 kB\n"
                           "MemAvailable:    2048 kB\nBuffers: 5 kB\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(available_memory(path), 2048 * 1024);
  std::remove(path);
  EXPECT_EQ(available_memory(path), -1);
  EXPECT_GT(available_memory("/proc/meminfo"), 0);
}

namespace fs = std::filesystem;

// Writes text to file, making the folders on its way: a fake tree of /proc or /sys files.
void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

TEST(Memory, WhatACgroupStillAllowsIsTheLeastAlongItsPath) {
  char pattern[] = "/tmp/cgroup_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const std::string proc = (dir / "cgroup").string(), root = dir.string();
  // v1: the memory line names its controller; the limit of a group above counts too, and
  // inactive file pages count as free.
  write(dir / "cgroup", "9:name=systemd:/\n4:cpu,memory:/a/b\n0::/\n");
  write(dir / "memory/a/b/memory.limit_in_bytes", "9223372036854771712\n");
  write(dir / "memory/a/b/memory.usage_in_bytes", "1000\n");
  write(dir / "memory/a/memory.limit_in_bytes", "10000000\n");
  write(dir / "memory/a/memory.usage_in_bytes", "4000000\n");
  write(dir / "memory/a/memory.stat", "cache 5\ninactive_file 7\ntotal_inactive_file 1000000\n");
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), 7000000);
  // A usage past the limit leaves nothing.
  write(dir / "memory/a/b/memory.limit_in_bytes", "500\n");
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), 0);
  // v2: "max" is no limit; memory.current is the usage.
  write(dir / "cgroup", "0::/c\n");
  write(dir / "c/memory.max", "max\n");
  write(dir / "c/memory.current", "5\n");
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), -1);
  write(dir / "c/memory.max", "6291456\n");
  write(dir / "c/memory.current", "1048576\n");
  write(dir / "c/memory.stat", "anon 9\ninactive_file 1048576\n");
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), 6291456);
  // Inside a namespace the listed path is not under the root: the root's own files speak.
  write(dir / "cgroup", "0::/elsewhere/deep\n");
  write(dir / "memory.max", "3000\n");
  write(dir / "memory.current", "1000\n");
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), 2000);
  fs::remove_all(dir);
  EXPECT_EQ(cgroup_memory_left(proc.c_str(), root.c_str()), -1);
}

TEST(Load, ACgroupsCpuQuotaGivesWholeCpusTheLeastAlongItsPath) {
  char pattern[] = "/tmp/cgroup_cpu_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const std::string proc = (dir / "cgroup").string(), root = dir.string();
  // v1: the quota over the period, rounded down; a group above with a smaller one counts.
  write(dir / "cgroup", "4:memory:/a/b\n3:cpu,cpuacct:/a/b\n0::/\n");
  write(dir / "cpu/a/b/cpu.cfs_quota_us", "350000\n");
  write(dir / "cpu/a/b/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), 3);
  write(dir / "cpu/a/cpu.cfs_quota_us", "200000\n");
  write(dir / "cpu/a/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), 2);
  // Half a CPU still runs one thread; -1 is no quota.
  write(dir / "cpu/a/b/cpu.cfs_quota_us", "50000\n");
  write(dir / "cpu/a/cpu.cfs_quota_us", "-1\n");
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), 1);
  // v2: cpu.max, "max" for none.
  write(dir / "cgroup", "0::/c/d\n");
  write(dir / "c/d/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), -1);
  write(dir / "c/cpu.max", "150000 100000\n");
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), 1);
  fs::remove_all(dir);
  EXPECT_EQ(cgroup_cpu_threads(proc.c_str(), root.c_str()), -1);
}

TEST(Load, OmpNumThreadsCountsOnlyWhenItIsAPlainCount) {
  struct Case {
    const char* text;
    int64_t threads;
  };
  for (const Case& c : {Case{"3", 3}, Case{" 4,2 ", 4}, Case{"1024", 1024}, Case{"3x", -1},
                        Case{"1.5", -1}, Case{"0", -1}, Case{"", -1}, Case{"-2", -1}}) {
    setenv("OMP_NUM_THREADS", c.text, 1);
    EXPECT_EQ(environment_threads(), c.threads) << c.text;
  }
  setenv("OMP_NUM_THREADS", "99999999999999999999", 1);
  EXPECT_GT(environment_threads(), kMaxThreads);
  unsetenv("OMP_NUM_THREADS");
  EXPECT_EQ(environment_threads(), 0);
}

TEST(Load, ReadyTasksAreReadFromStatAndTaskFiles) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/load_test.XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  std::ofstream(dir / "stat") << "cpu  1 2 3\nctxt 99\nprocs_running 3\nprocs_blocked 1\n";
  EXPECT_EQ(ready_tasks((dir / "stat").c_str()), 3);
  // Task states follow the last parenthesis: names may hold blanks and parentheses.
  const std::vector<std::string> tasks = {"7 (tallow) R 1 7", "8 (tallow) S 1 7",
                                          "9 (a) R (b) S 1 7", "10 (x y)) R 1 7"};
  for (size_t i = 0; i < tasks.size(); ++i) {
    fs::create_directories(dir / "task" / std::to_string(i));
    std::ofstream(dir / "task" / std::to_string(i) / "stat") << tasks[i] << "\n";
  }
  EXPECT_EQ(ready_tasks_in((dir / "task").c_str()), 2);
  fs::remove_all(dir);
  EXPECT_EQ(ready_tasks((dir / "stat").c_str()), -1);
  EXPECT_EQ(ready_tasks_in((dir / "task").c_str()), -1);
  // This test's own thread is running as it reads.
  EXPECT_GE(ready_tasks("/proc/stat"), 1);
  EXPECT_GE(ready_tasks_in("/proc/self/task"), 1);
}

TEST(Load, ThreadsTakeTheCoresThatOtherTasksLeaveAndBusyProcessesLeaveOne) {
  EXPECT_EQ(threads_beside(2, 2, 0), 2);
  EXPECT_EQ(threads_beside(2, 2, 1), 1);
  EXPECT_EQ(threads_beside(2, 2, 7), 1);
  EXPECT_EQ(threads_beside(4, 8, 3), 4);
  EXPECT_EQ(threads_beside(8, 8, 3), 5);
  const int before = omp_get_max_threads();
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  std::vector<pid_t> busy;
  for (long i = 0; i < cores; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (;;) {
      }
    }
    ASSERT_GT(pid, 0);
    busy.push_back(pid);
  }
  usleep(100000);  // until they run
  omp_set_num_threads(2);
  ThreadFit fit = {2};
  fit_threads_to_load(fit);
  const int first_look = omp_get_max_threads();  // a run's first stage gives way at once
  fit.busy_before = false;
  fit_threads_to_load(fit);
  const int later_look = omp_get_max_threads();  // later, one look might be a passing task's
  fit_threads_to_load(fit);
  const int fitted = omp_get_max_threads();
  for (pid_t pid : busy) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(first_look, 1);
  EXPECT_EQ(later_look, 2);
  EXPECT_EQ(fitted, 1);
  // With most at 1 or less the count is left as it is.
  omp_set_num_threads(3);
  ThreadFit fixed = {1};
  fit_threads_to_load(fixed);
  EXPECT_EQ(omp_get_max_threads(), 3);
  omp_set_num_threads(before);
}

// The report is written by hand in the layout a JSON library's two-space dump gives: parsing it
// and dumping it again must give the same text, whatever the processor's name holds.
TEST(Report, IsJsonInTheLayoutOfATwoSpaceDump) {
  const std::string cpuinfo = testing::TempDir() + "report_cpuinfo";
  {
    std::ofstream out(cpuinfo);
    // Quotes, a backslash, control bytes, UTF-8, and bytes that are no UTF-8 (a stray
    // continuation, a cut sequence, an overlong form, a surrogate).
    out << "processor\t: 0\nmodel name\t: Odd \"CPU\" \\ with\ttab \x01 \xc3\xa9 \x80\xe2\x82 "
           "\xc0\xaf\xed\xa0\x80!\n";
  }
  RunPlan plan;
  plan.bx = 8192;
  plan.digits = 5000;
  plan.length = 5000;
  plan.repeat = 2;
  plan.program = "tallow";
  RunLog logs[2];
  logs[0].stages = 3;
  logs[0].stage_ms[1] = 7;
  logs[1].stages = 1;
  logs[1].stage_ms[0] = 12;
  const int32_t totals[2] = {9, 12};
  uint8_t digest[32];
  for (int32_t i = 0; i < 32; ++i) digest[i] = static_cast<uint8_t>(i * 7);
  RunsReported reported;
  reported.logs = logs;
  reported.runs = 2;
  reported.finished = 7;
  reported.totals_ms = totals;
  reported.most_threads = 2;
  reported.sha256 = digest;
  const std::string text = report_json(plan, reported, cpuinfo.c_str());
  const nlohmann::json report = nlohmann::json::parse(text);
  EXPECT_EQ(report.dump(2) + "\n", text);
  const std::string replaced = "\xef\xbf\xbd";
  EXPECT_EQ(report["cpu"], "Odd \"CPU\" \\ with\ttab \x01 \xc3\xa9 " + replaced + replaced + " " +
                               replaced + replaced + replaced + replaced + replaced + "!");
  EXPECT_EQ(report["runs_finished"], 7);
  EXPECT_EQ(report["runs"][0]["stages_ms"], nlohmann::json::array({0, 7, 0}));
  EXPECT_EQ(report["runs"][1]["total_ms"], 12);
  EXPECT_EQ(report["sha256"].get<std::string>().substr(0, 8), "00070e15");
  EXPECT_EQ(report["layout"], "lines");
  EXPECT_EQ(report["repeat"], 2);
  // Without a model name the processor is null.
  reported.runs = 1;
  const std::string none = report_json(plan, reported, "/nonexistent/cpuinfo");
  EXPECT_TRUE(nlohmann::json::parse(none)["cpu"].is_null());
  EXPECT_EQ(nlohmann::json::parse(none).dump(2) + "\n", none);
}
