// The stress test: one independent worker a core, each a process of its own with one thread and
// its own buffers, pinned to its core, computing pi again and again; every run is checked as
// any run is, and its digits are compared with the worker's first run at that length and with
// the other workers' there. Processes rather than threads: two threads of one process squaring
// independent operands get 1.6 to 1.8 times the work of one on these machines, two processes
// 1.9 to 2.0. A worker tells the program what it does in lines down a pipe; its failure
// messages come down the same pipe.
#include <poll.h>
#include <sys/prctl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <omp.h>

#include "entry.h"

namespace {

// Without a length the workers go through these in turn: within the caches, then main memory,
// up to runs of about a minute on one core, as far as the memory at hand holds them for all.
constexpr int32_t kStressLengths[] = {1 << 16, 1 << 18, 1 << 20, 1 << 22, 1 << 24, 1 << 26};

constexpr int32_t kHashBytes = 32;

// A worker's life, in its own process: pinned to `core`, one thread, its buffers for the
// longest of `lengths`; runs them in turn, `runs` runs (0: until ended), and says
// "start BX" before and "ok BX MSEC HASH" after each on standard output, which is its pipe.
[[noreturn]] void work(const StressPlan& plan, ComputePi compute, int32_t worker, int32_t core,
                       const std::vector<int32_t>& lengths) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(0, sizeof set, &set);
  omp_set_num_threads(1);
  // Only the first worker writes the digit file, once.
  if (worker != 0 || !plan.write_digits) forget_pending_files();
  int32_t longest = 0;
  for (int32_t bx : lengths) longest = bx > longest ? bx : longest;
  std::FILE* quiet = null_stream();
  const RunBuffers buffers = allocate_run(longest, quiet, 1);
  ThreadFit fit;
  bool written = false;
  for (int32_t run = 0; plan.runs == 0 || run < plan.runs; ++run) {
    const int32_t bx = lengths[run % lengths.size()];
    std::printf("start %d\n", bx);
    std::fflush(stdout);
    const int64_t start = clock_ms();
    RunLog log;
    const int16_t* pi = compute(bx, buffers, quiet, fit, log);
    uint8_t hash[kHashBytes];
    sha256_of(pi, static_cast<size_t>(bx / 4 - 1) * sizeof(int16_t), hash);
    if (worker == 0 && plan.write_digits && !written) {
      write_pi_file(pi, written_digits(plan.length > 0 ? plan.length : bx, bx), plan.layout, nullptr,
                    reinterpret_cast<char*>(buffers.d1), int64_t{bx / 4} * 8);
      written = true;
    }
    std::printf("ok %d %lld %s\n", bx, static_cast<long long>(clock_ms() - start),
                hex_text(hash, kHashBytes).c_str());
    std::fflush(stdout);
  }
  std::fflush(stdout);
  _exit(0);
}

struct Worker {
  pid_t pid = -1;
  int pipe = -1;  // its output, until it ends
  int32_t core = 0;
  int32_t length = 0;  // of the run in progress
  int64_t runs = 0;
  std::string pending;  // what came down the pipe after the last line end
  std::map<int32_t, std::string> first_hash;  // of its first run at each length
};

// What went wrong, for the line that says so; empty while nothing has.
struct Failure {
  int32_t worker = -1;
  std::string what;
};

}  // namespace

int32_t usable_cores(int32_t* cores, int32_t most) {
  cpu_set_t set;
  int32_t count = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    for (int32_t cpu = 0; cpu < CPU_SETSIZE && count < most; ++cpu) {
      if (CPU_ISSET(cpu, &set)) cores[count++] = cpu;
    }
  }
  if (count == 0) cores[count++] = 0;
  return count;
}

int run_stress(const StressPlan& plan, ComputePi compute) {
  std::vector<int32_t> lengths;
  if (plan.length > 0) {
    lengths.push_back(round_length(plan.length));
  } else {
    // The lengths that every worker's buffers hold at once; the shortest at least.
    for (int32_t bx : kStressLengths) {
      if (lengths.empty() || memory_suffices(run_bytes(bx) * plan.workers, memory_at_hand())) {
        lengths.push_back(bx);
      }
    }
  }
  int32_t longest = 0;
  for (int32_t bx : lengths) longest = bx > longest ? bx : longest;
  refuse_unless_memory_holds(run_bytes(longest) * plan.workers);
  int32_t cores[kMaxThreads];
  const int32_t core_count = usable_cores(cores, kMaxThreads);
  catch_stop_signals();
  const int64_t start = clock_ms();
  std::vector<Worker> workers(plan.workers);
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t parent = getpid();
  for (int32_t w = 0; w < plan.workers; ++w) {
    int ends[2];
    if (pipe(ends) != 0) fatal("Thread Creation Failure!\n", "a pipe", errno);
    workers[w].core = cores[w % core_count];
    workers[w].length = lengths[0];
    const pid_t pid = fork();
    if (pid < 0) fatal("Thread Creation Failure!\n", "a worker", errno);
    if (pid == 0) {
      close(ends[0]);
      for (int32_t other = 0; other < w; ++other) close(workers[other].pipe);
      dup2(ends[1], STDOUT_FILENO);
      dup2(ends[1], STDERR_FILENO);
      close(ends[1]);
      std::signal(SIGINT, SIG_DFL);
      std::signal(SIGTERM, SIG_DFL);
      // A worker does not outlive the program, however it ends.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      work(plan, compute, w, workers[w].core, lengths);
    }
    close(ends[1]);
    workers[w].pid = pid;
    workers[w].pipe = ends[0];
  }
  std::map<int32_t, std::pair<int32_t, std::string>> first_at;  // length: worker, hash
  Failure failure;
  auto say_run = [&](int32_t w, const char* what) {
    const Worker& worker = workers[w];
    std::fprintf(what == nullptr ? plan.console : plan.summary,
                 "%9.1f s  worker %d (core %d)  %d digits  %s\n",
                 static_cast<double>(clock_ms() - start) / 1000.0, w + 1, worker.core,
                 worker.length, what == nullptr ? "ok" : what);
  };
  // One line from worker w.
  auto take_line = [&](int32_t w, const std::string& line) {
    Worker& worker = workers[w];
    int32_t bx = 0;
    long long ms = 0;
    char hash[2 * kHashBytes + 1] = {};
    if (std::sscanf(line.c_str(), "start %d", &bx) == 1) {
      worker.length = bx;
    } else if (std::sscanf(line.c_str(), "ok %d %lld %64s", &bx, &ms, hash) == 3) {
      ++worker.runs;
      auto own = worker.first_hash.emplace(bx, hash);
      auto all = first_at.emplace(bx, std::make_pair(w, std::string(hash)));
      if (own.first->second != hash) {
        failure = {w, "its digits differ from its first run's at this length"};
      } else if (all.first->second.second != hash) {
        failure = {w, "its digits differ from worker " +
                          std::to_string(all.first->second.first + 1) + "'s"};
      } else {
        say_run(w, nullptr);
        (void)ms;
      }
    } else if (failure.worker < 0 && !line.empty()) {
      failure = {w, "failed: " + line};  // the check's own message comes first
    }
  };
  int32_t running = plan.workers;
  while (running > 0 && failure.worker < 0) {
    std::vector<pollfd> watched;
    std::vector<int32_t> owner;
    for (int32_t w = 0; w < plan.workers; ++w) {
      if (workers[w].pipe >= 0) {
        watched.push_back({workers[w].pipe, POLLIN, 0});
        owner.push_back(w);
      }
    }
    if (stop_requested()) break;
    // A signal ends the wait; a second's bound covers one that came just before it.
    if (poll(watched.data(), watched.size(), 1000) < 0) continue;
    for (size_t i = 0; i < watched.size() && failure.worker < 0; ++i) {
      if (watched[i].revents == 0) continue;
      Worker& worker = workers[owner[i]];
      char chunk[4096];
      const ssize_t got = read(worker.pipe, chunk, sizeof chunk);
      if (got > 0) {
        worker.pending.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
          take_line(owner[i], worker.pending.substr(0, end));
          worker.pending.erase(0, end + 1);
          if (failure.worker >= 0) break;
        }
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // The worker is done, or gone.
      close(worker.pipe);
      worker.pipe = -1;
      --running;
      int status = 0;
      waitpid(worker.pid, &status, 0);
      worker.pid = -1;
      if (failure.worker >= 0 || stop_requested()) continue;
      if (!worker.pending.empty()) take_line(owner[i], worker.pending);
      if (failure.worker < 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        failure = {owner[i], WIFSIGNALED(status)
                                 ? std::string("ended by signal ") + std::to_string(WTERMSIG(status))
                                 : "ended with status " + std::to_string(WEXITSTATUS(status))};
      }
    }
  }
  // Every worker stops: at a failure, at a stop asked for, or having done its runs.
  for (Worker& worker : workers) {
    if (worker.pid > 0) kill(worker.pid, SIGKILL);
  }
  for (Worker& worker : workers) {
    if (worker.pid > 0) waitpid(worker.pid, nullptr, 0);
    if (worker.pipe >= 0) close(worker.pipe);
  }
  // Stopped before the first worker wrote the digit file asked for: the run failed.
  if (failure.worker < 0 && plan.write_digits && workers[0].runs == 0) {
    failure = {0, "stopped before its first run wrote the digits"};
  }
  if (failure.worker >= 0) {
    say_run(failure.worker, failure.what.c_str());
    std::fflush(nullptr);
    fatal("error stress\n");
  }
  std::string each;
  int64_t total = 0;
  for (const Worker& worker : workers) {
    each += (each.empty() ? "" : ", ") + std::to_string(worker.runs);
    total += worker.runs;
  }
  std::fprintf(plan.summary,
               "Stress : %d workers of one thread, %lld runs (%s); the digits of every run "
               "agreed; %.1f s.\n",
               plan.workers, static_cast<long long>(total), each.c_str(),
               static_cast<double>(clock_ms() - start) / 1000.0);
  return 0;
}
