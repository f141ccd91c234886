// The entry both programs share: the command line, the length from it or the dialogue, checked
// and rounded to a power of two, then the program's own driver. Also the clock, the checked
// allocation and the thread fitting the drivers use.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "mp.h"

constexpr int32_t kMinDigits = 128;         // the arithmetic needs at least 32 words
constexpr int32_t kMaxDigits = 1073741824;  // 2^30: the largest power of two bx can hold

constexpr int32_t kMaxThreads = 1024;

// Reads one decimal integer, surrounded by blanks at most, from 1 to largest (kMaxDigits for a
// length); returns 0 for anything else.
int32_t parse_count(const char* text, int32_t largest);
// The same from 0: the count, or -1 for anything else.
int32_t parse_count_from_zero(const char* text, int32_t largest);
int32_t parse_length(const char* text);
// The least power of two of at least kMinDigits that is not below length; 0 for a length above
// kMaxDigits, which no 32-bit power of two holds.
int32_t round_length(int32_t length);
// The digits a run of bx digits asked for length writes: the last kUncertainDigits of bx,
// which truncation may touch, never; length digits, at most bx - kUncertainDigits. The spot
// check's window ends where the longest file ends.
constexpr int32_t kUncertainDigits = 20;
int32_t written_digits(int32_t length, int32_t bx);

constexpr int32_t kMostRepeats = 1000000;

// What the command line asks for.
struct CommandLine {
  int32_t threads = 0;             // -t N; 0 when not given
  const char* output = nullptr;    // -o FILE; pi.txt when not given, - for standard output
  bool quiet = false;              // -q
  int32_t repeat = -1;             // -r N; 0 until interrupted, -1 when not given
  const char* report = nullptr;    // --report FILE
  bool plain = false;              // --plain
  bool stress = false;             // --stress
  const char* length = nullptr;    // LENGTH; typed into the dialogue when not given
};
// Reads argv into line (name is the program's, for --version). Returns -1 when the run goes
// on; otherwise the exit status after --help or --version (0, or 1 when standard output
// failed), or after a mistake (2: one line naming it and a pointer to --help on standard
// error).
int parse_command_line(int argc, char** argv, const char* name, CommandLine* line);
void print_usage(std::FILE* out);

// What a run notes of its stages as they go: the time of each, as its console line gives it,
// and the most threads any of them had.
constexpr int32_t kMostStages = 34;  // the set-up, at most 31 iterations, the last stage
struct RunLog {
  int32_t stages = 0;
  int32_t stage_ms[kMostStages] = {};       // as the console line gives it
  int64_t stage_us[kMostStages] = {};
  int32_t stage_threads[kMostStages] = {};  // the threads it ran
  int32_t stage_gave_way[kMostStages] = {}; // the other processes' ready tasks it gave way to
  int32_t most_threads = 1;
  int64_t last_stage_start = 0;  // of the stage that the caller of the computation ends
  int32_t threads_now = 1, gave_way_now = 0;  // of the stage in progress
  int64_t cpu_us = 0;  // the process's CPU time over the run, every thread's
};

// The buffers of a run (allocate_run).
struct RunBuffers;
struct ThreadFit;

// Computes pi to bx digits in the run's buffers, printing and logging every stage but the last, which it leaves open
// (log.last_stage_start) for the digits to be written in; returns the fraction's words
// (bx / 4 - 1, spot-checked), or nullptr when a stop request dropped the run between stages.
using ComputePi = const int16_t* (*)(int32_t bx, const RunBuffers& buffers,
                                     std::FILE* console, ThreadFit& fit, RunLog& log);

// Starts a stage: fits the thread count to the load and notes it; returns the clock
// (clock_us).
int64_t begin_stage(ThreadFit& fit, RunLog& log);
// Ends the stage that started at start: prints its line ("-- Nmsec" for label 0, the
// iteration's number otherwise) and logs its time. False when a stop was asked for: the run is
// to be dropped.
bool end_stage(std::FILE* console, int32_t label, int64_t start, RunLog& log);
// body() as one timed stage between begin_stage and end_stage; false when the run is to be
// dropped.
template <typename Body>
bool timed_stage(ThreadFit& fit, RunLog& log, std::FILE* console, int32_t label, Body body) {
  const int64_t start = begin_stage(fit, log);
  body();
  return end_stage(console, label, start, log);
}

// What an invocation runs: the computation `repeat` times (0: until SIGINT or SIGTERM), the
// digits written once, after the first run, and compared by their hash in every other.
struct RunPlan {
  int32_t bx = 0;
  int32_t digits = 0;        // written
  int32_t length = 0;        // asked for
  std::FILE* console = stdout;  // the stages and run times
  std::FILE* summary = stdout;  // a repeat's summary line, printed even when console is quiet
  int32_t most_threads = 0;  // for fit_threads_to_load; 0 leaves the count as it is
  int32_t threads = 1;       // the most a stage may run, for the memory their stacks take
  int32_t repeat = -1;       // -1: one run, with no summary
  PiLayout layout = PiLayout::lines;
  bool report = false;       // the caller writes a report
  const char* program = "";
};
// Allocates the buffers, runs compute as the plan says, prints the first run's stages, each
// run's "Total time" line and, with a repeat, a summary line. Returns the report's text when the plan asks for one (empty
// otherwise), for the caller to write once the invocation has succeeded. Fatal ("error repeat:
// run K differs from run 1\n") when a run's digits differ from the first's.
std::string run_pi(const RunPlan& plan, ComputePi compute);

// A stress test: `workers` processes, one a core, each computing pi with one thread again and
// again, `runs` runs each (0: until SIGINT or SIGTERM), at `length` or, for 0, at lengths from
// 2^16 digits up in turn, as far as the memory holds them for every worker.
struct StressPlan {
  int32_t workers = 1;
  int32_t length = 0;
  int32_t runs = 0;
  std::FILE* console = stdout;  // a line a finished run
  std::FILE* summary = stdout;  // the summary, and the line that names a failure
  bool write_digits = false;    // the first worker's first run fills the prepared digit file
  PiLayout layout = PiLayout::lines;
};
// Runs the stress test; 0 when every run agreed and the workers ended or were stopped. Fatal
// ("error stress\n", after a line that names the worker, its core, the length and the check)
// when a worker fails: every worker stops.
int run_stress(const StressPlan& plan, ComputePi compute);
// The processors this process may run on, at most `most` of them, into cores; their count.
int32_t usable_cores(int32_t* cores, int32_t most);

// The program called name: reads the command line, then with no length argument prompts for
// the length, with one takes it from there, and runs compute through run_pi; most_threads is
// what the runs pass to fit_threads_to_load before each stage (0 when the thread count was
// given by -t or OMP_NUM_THREADS, or the run is too short to share work among threads).
// Returns the exit status.
int run_pi_program(int argc, char** argv, const char* name, ComputePi compute);

// Whether SIGINT or SIGTERM asked a repeat to stop (catch_stop_signals): a stage's end drops
// the run then.
bool stop_requested();
// From now on the first SIGINT or SIGTERM asks to stop; a second ends the process by it.
void catch_stop_signals();
// A stream that takes everything and keeps nothing, with no descriptor behind it.
std::FILE* null_stream();

// The thread count of a plain OMP_NUM_THREADS (a positive count, or a list of them whose first
// counts, blanks around; a count past kMaxThreads comes back above it); 0 where it is not set,
// -1 where it is set to anything else, which OpenMP warns of and ignores.
int64_t environment_threads();
// threads, or fewer where the CPU quota of the process's cgroups allows fewer.
int32_t within_cpu_quota(int32_t threads);
// The threads a team would have now: the count set, within OMP_THREAD_LIMIT.
int32_t running_threads();
// Makes sure a team of `threads` can be made, and makes OpenMP's, which it keeps for the run;
// fatal ("Thread Creation Failure!\n" and the reason) where a limit on processes or on address
// space forbids it, rather than OpenMP's own message at the first shared stage.
void start_threads(int32_t threads);

// What a report tells of the runs: the last `runs` of the `finished` ones, their statistics,
// and the digits written.
struct RunsReported {
  const RunLog* logs = nullptr;
  int32_t runs = 0;
  int64_t finished = 0;
  const int32_t* totals_ms = nullptr;
  int32_t most_threads = 1;
  int32_t fastest_ms = 0, median_ms = 0, slowest_ms = 0;
  const uint8_t* sha256 = nullptr;  // of the bytes written, 32
  std::string first_digits, last_digits;
};
// The JSON report of an invocation: what was asked and run, each reported run's stages (name,
// threads, microseconds, load given way to) and CPU time, the statistics, the SHA-256 and the
// first and last digits written, the checks, the machine (the processor from cpuinfo_path),
// the build and the date.
std::string report_json(const RunPlan& plan, const RunsReported& runs, const char* cpuinfo_path);
// count bytes as lowercase hexadecimal.
std::string hex_text(const uint8_t* bytes, int32_t count);
// Flushes standard output; 0 when all it was given got out, otherwise 1 after saying so (with
// the reason where the flush gives one) on standard error.
int finish_standard_output();

// The default thread count gives way to other busy processes. Two threads that share a run's
// memory traffic gain 20 to 60% over one on these machines; beside a process that holds a core,
// each gets two thirds of a core at best and waits for its descheduled partner, and the run is
// slower than one thread alone. So before each stage a run that was not given its thread count
// takes one thread for each core that no other process's ready task holds.
//
// Tasks ready to run on the machine: procs_running of a /proc/stat file; -1 if it cannot be read.
int32_t ready_tasks(const char* stat_path);
// Tasks in state R under a task directory (/proc/self/task); -1 if it cannot be read.
int32_t ready_tasks_in(const char* tasks_path);
// Threads for a stage: at most `most`, one for each of the machine's cores that the `others`
// ready tasks leave, at least one.
int32_t threads_beside(int32_t most, int32_t cores, int32_t others);
// What a run keeps of the load from one stage to the next.
struct ThreadFit {
  int32_t most = 0;          // the most threads; 1 or less leaves the count as it was set
  int32_t gave_way_to = 0;   // the other processes' ready tasks the last fit gave way to
  // The look before the last saw other processes' tasks ready; true at first, so that a run
  // that starts beside a busy process gives way at once (its first stage spun beside one
  // costs more than a whole run of 2^20 digits gains from a second core).
  bool busy_before = true;
};
// Sets the thread count for the stage that follows: fit.most, or fewer threads when this look
// and the one before it both saw other processes' tasks ready.
void fit_threads_to_load(ThreadFit& fit);

// The number that format (one %lld) reads from the first line of the file at path that it
// matches; -1 where the file cannot be read or no line matches.
long long scan_file(const char* path, const char* format);

// Milliseconds and microseconds of a monotonic clock; only differences mean anything.
int64_t clock_ms();
int64_t clock_us();
// The CPU time of the process so far, every thread's, in microseconds.
int64_t cpu_time_us();

// The eight buffers of a run, for count = bx / 4 words a number: five numbers of count + 4
// words, the Newton work array of count + 14 words and the two transform arrays of count
// doubles, allocated in this order and freed in the same order.
struct RunBuffers {
  int16_t* numbers[5];
  int16_t* work;
  double* d1;
  double* d2;
};

// Bytes the buffers of a run of bx digits take, each rounded up to whole cache lines.
int64_t run_bytes(int32_t bx);
// Whether needed bytes fit in the available ones; available < 0 means unknown, and fits.
bool memory_suffices(int64_t needed, int64_t available);
// MemAvailable of a meminfo file (/proc/meminfo) in bytes; -1 where it cannot be read.
int64_t available_memory(const char* meminfo_path);
// What the memory cgroups of the process (as listed in a /proc/self/cgroup file) still allow
// it, the least over the process's cgroup and those above it: the limit less the usage that
// the kernel cannot simply drop (inactive file pages are), for cgroup v2 (memory.max,
// memory.current) under cgroup_root and v1 (memory.limit_in_bytes, memory.usage_in_bytes)
// under cgroup_root/memory; -1 where no limit can be read.
int64_t cgroup_memory_left(const char* proc_cgroup_path, const char* cgroup_root);
// The whole CPUs that the CPU quotas of the process's cgroups allow it, the least along the
// path as above (v2 cpu.max, v1 cpu.cfs_quota_us over cpu.cfs_period_us under cgroup_root/cpu),
// rounded down and at least 1; -1 where no quota is set.
int32_t cgroup_cpu_threads(const char* proc_cgroup_path, const char* cgroup_root);
// Calls visit(folder, v2) for every cgroup folder of the process that governs v1_controller
// (v1, under cgroup_root/v1_controller) or every controller (v2, under cgroup_root), from the
// process's own up to the root.
void for_each_cgroup(const char* proc_cgroup_path, const char* cgroup_root,
                     const char* v1_controller,
                     const std::function<void(const std::string& folder, bool v2)>& visit);
// Checks first that the available memory (the machine's, or the cgroup's where less) holds the
// run ("Memory Allocation Failure!\n" and a line with the MiB needed and available, status 1,
// if not), allocates the buffers (a failure ends the run with the first line alone) and prints
// the sizing line to console.
RunBuffers allocate_run(int32_t bx, std::FILE* console, int32_t threads);
// What a run of bx digits with `threads` threads takes: its buffers and the threads' stacks.
int64_t run_bytes_with_threads(int32_t bx, int32_t threads);
// The bytes the process may still take: the machine's available memory, or its memory
// cgroups' where less; -1 where neither can be read.
int64_t memory_at_hand();
// Fatal ("Memory Allocation Failure!\n", and the MiB needed and available on standard error)
// unless the memory at hand holds needed bytes.
void refuse_unless_memory_holds(int64_t needed);
// Gives the threads OpenMP starts stacks of a fixed size, which allocate_run counts, and raises
// a stack limit too low for the main thread's frames; fatal ("Memory Allocation Failure!\n")
// where the hard limit leaves too little.
void prepare_stacks();
void free_run(const RunBuffers& buffers);
// The number of the iteration's steps i, the least i >= 1 with 2^i >= bx; the loop runs i - 1.
int32_t log2_steps(int32_t bx);
