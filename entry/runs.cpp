// The runs of an invocation: each computation's stages, the digits written after the first
// run and compared in every other, the repeats, their summary and the report.
#include <omp.h>

#include <algorithm>
#include <map>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entry.h"

namespace {

// Set by the first SIGINT or SIGTERM of an endless repeat. A signal handler can reach nothing
// else: this and the pending output files are the program's process-wide state.
volatile std::sig_atomic_t stop_asked = 0;

// The first signal asks the repeat to stop at the end of the stage in progress; a second ends
// the process at once, by that signal, its temporary files removed.
void on_stop_signal(int signal_number) {
  if (stop_asked == 0) {
    stop_asked = 1;
    return;
  }
  remove_pending_files();
  end_by_signal(signal_number);
}

}  // namespace

bool stop_requested() { return stop_asked != 0; }

void catch_stop_signals() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction old = {};
    sigaction(signal_number, nullptr, &old);
    // One the caller ignores stays ignored (nohup, a shell's background job).
    if (old.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
  }
}

namespace {

constexpr int32_t kHashBytes = 32;

// The report keeps the last runs only, so that an endless repeat's memory stays bounded.
constexpr size_t kReportedRuns = 1000;

// The run times of a repeat, as a count of the runs that took each number of milliseconds: the
// fastest, median and slowest in memory that does not grow with the runs.
struct RunTimes {
  std::map<int32_t, int64_t> runs_taking;
  int64_t runs = 0;
};

void add_time(RunTimes& times, int32_t ms) {
  ++times.runs_taking[ms];
  ++times.runs;
}

// The run time at rank k (0 the fastest).
int32_t time_at(const RunTimes& times, int64_t k) {
  for (const auto& [ms, count] : times.runs_taking) {
    if (k < count) return ms;
    k -= count;
  }
  return 0;
}

// The median of the run times, the mean of the two middle ones for an even count.
int32_t median_ms(const RunTimes& times) {
  const int64_t n = times.runs;
  return n % 2 == 1 ? time_at(times, n / 2)
                    : (time_at(times, n / 2 - 1) + time_at(times, n / 2)) / 2;
}

// The first and the last ten (or fewer) of the `digits` digits after the point in words.
void digits_at_ends(const int16_t* words, int32_t digits, std::string* first, std::string* last) {
  auto digit = [words](int32_t k) {
    int32_t v = words[k / 4];
    for (int32_t i = k % 4; i < 3; ++i) v /= 10;
    return static_cast<char>('0' + v % 10);
  };
  const int32_t shown = digits < 10 ? digits : 10;
  for (int32_t k = 0; k < shown; ++k) *first += digit(k);
  for (int32_t k = digits - shown; k < digits; ++k) *last += digit(k);
}

}  // namespace

int64_t begin_stage(ThreadFit& fit, RunLog& log) {
  fit_threads_to_load(fit);
  // OMP_THREAD_LIMIT caps the teams below the count asked for.
  log.threads_now = running_threads();
  log.gave_way_now = fit.gave_way_to;
  log.most_threads = std::max(log.most_threads, log.threads_now);
  return clock_us();
}

bool end_stage(std::FILE* console, int32_t label, int64_t start, RunLog& log) {
  const int64_t us = clock_us() - start;
  const int32_t ms = static_cast<int32_t>(us / 1000);
  if (label == 0) {
    std::fprintf(console, "-- %dmsec\n", ms);
  } else {
    std::fprintf(console, "%2d %dmsec\n", label, ms);
  }
  if (log.stages < kMostStages) {
    log.stage_ms[log.stages] = ms;
    log.stage_us[log.stages] = us;
    log.stage_threads[log.stages] = log.threads_now;
    log.stage_gave_way[log.stages] = log.gave_way_now;
    ++log.stages;
  }
  return stop_asked == 0;
}

std::string run_pi(const RunPlan& plan, ComputePi compute) {
  int64_t start = clock_ms();
  const RunBuffers buffers = allocate_run(plan.bx, plan.console, plan.threads);
  start_threads(plan.threads);
  ThreadFit fit = {plan.most_threads};
  const int32_t words = plan.bx / 4 - 1;
  RunTimes times;
  std::vector<RunLog> logs;  // the last runs, for the report only
  std::vector<int32_t> totals;
  int32_t most_threads = 1;
  uint8_t first_hash[kHashBytes] = {}, file_hash[kHashBytes] = {};
  std::string first_digits, last_digits;
  const int32_t runs = plan.repeat < 0 ? 1 : plan.repeat;  // 0: until stopped
  // Later runs of a repeat print one line each, not their stages.
  std::FILE* quiet = plan.repeat >= 0 ? null_stream() : nullptr;
  for (int32_t run = 1; runs == 0 || run <= runs; ++run) {
    RunLog log;
    const int64_t cpu_start = cpu_time_us();
    std::FILE* stages = run == 1 ? plan.console : quiet;
    const int16_t* pi = compute(plan.bx, buffers, stages, fit, log);
    if (pi == nullptr) break;  // stopped: the run in progress is dropped
    // A single run hashes nothing: the bytes only for a report, the words only to compare.
    uint8_t hash[kHashBytes] = {};
    if (runs != 1) sha256_of(pi, static_cast<size_t>(words) * sizeof(int16_t), hash);
    if (run == 1) {
      std::memcpy(first_hash, hash, kHashBytes);
      if (plan.report) digits_at_ends(pi, plan.digits, &first_digits, &last_digits);
      // The transform's arrays are free by now: the text is laid out there.
      write_pi_file(pi, plan.digits, plan.layout, plan.report ? file_hash : nullptr,
                    reinterpret_cast<char*>(buffers.d1), int64_t{plan.bx / 4} * 8);
    } else if (std::memcmp(hash, first_hash, kHashBytes) != 0) {
      char message[80];
      std::snprintf(message, sizeof message, "error repeat: run %d differs from run 1\n", run);
      fatal(message);
    }
    end_stage(stages, 0, log.last_stage_start, log);  // a finished run counts
    const int64_t now = clock_ms();
    const int32_t total = static_cast<int32_t>(now - start);
    log.cpu_us = cpu_time_us() - cpu_start;
    add_time(times, total);
    std::fprintf(plan.console, "Total time : %d msec.\n", total);
    most_threads = std::max(most_threads, log.most_threads);
    if (plan.report) {
      // Once full, the oldest run's place takes the newest: a ring, put in order at the end.
      if (logs.size() < kReportedRuns) {
        logs.push_back(log);
        totals.push_back(total);
      } else {
        const size_t oldest = static_cast<size_t>((times.runs - 1) % kReportedRuns);
        logs[oldest] = log;
        totals[oldest] = total;
      }
    }
    // Only once the digits are written may a signal end a repeat as a success.
    if (run == 1 && plan.repeat >= 0) catch_stop_signals();
    if (stop_asked != 0) break;
    start = now;
  }
  free_run(buffers);
  if (quiet != nullptr) std::fclose(quiet);
  if (plan.repeat >= 0) {
    std::fprintf(plan.summary,
                 "Runs : %lld, fastest %d msec, median %d msec, slowest %d msec, %d %s; the "
                 "digits of every run agreed.\n",
                 static_cast<long long>(times.runs), time_at(times, 0), median_ms(times),
                 time_at(times, times.runs - 1), most_threads,
                 most_threads == 1 ? "thread" : "threads at most");
  }
  if (!plan.report) return "";
  const size_t oldest = static_cast<size_t>(times.runs % kReportedRuns);
  if (logs.size() == kReportedRuns) {
    std::rotate(logs.begin(), logs.begin() + oldest, logs.end());
    std::rotate(totals.begin(), totals.begin() + oldest, totals.end());
  }
  RunsReported reported;
  reported.logs = logs.data();
  reported.runs = static_cast<int32_t>(logs.size());
  reported.finished = times.runs;
  reported.totals_ms = totals.data();
  reported.most_threads = most_threads;
  reported.fastest_ms = time_at(times, 0);
  reported.median_ms = median_ms(times);
  reported.slowest_ms = time_at(times, times.runs - 1);
  reported.sha256 = file_hash;
  reported.first_digits = first_digits;
  reported.last_digits = last_digits;
  return report_json(plan, reported, "/proc/cpuinfo");
}
