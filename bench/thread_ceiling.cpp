// What a second core can give a product, measured beside what the product gets from it: the
// squarings (m1604xxh) a second of n words
//   alone:     one thread, one squaring after another;
//   shared:    both threads inside each squaring, as a run with every core does it;
//   threads:   two threads of this process, each squaring its own operands in its own buffers
//              (one thread inside each squaring, nothing shared): the ceiling for threads;
//   processes: two processes doing what alone does: what the machine gives.
// Each figure is the work over alone's. Rounds alternate the four, a fixed time each, and the
// medians of the rounds are printed, so that a slow minute shows in every column alike.
//
// usage: thread_ceiling [--rounds R] [--seconds S] WORDS...   (WORDS a power of two, >= 64)
#include <omp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mp.h"

namespace {

// One squarer's operand, result and work arrays, aligned as the programs allocate them.
struct Squarer {
  std::vector<int16_t> a, c;
  std::unique_ptr<double, decltype(&std::free)> w1{nullptr, std::free}, w2{nullptr, std::free};
};

Squarer make_squarer(int32_t n, uint32_t seed) {
  Squarer s;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> word(0, 9999);
  s.a.assign(n + 4, 0);
  s.c.assign(n + 4, 0);
  for (int32_t i = 0; i < n; ++i) s.a[i] = static_cast<int16_t>(word(rng));
  const size_t bytes = (n * sizeof(double) + 63) / 64 * 64;
  s.w1.reset(static_cast<double*>(std::aligned_alloc(64, bytes)));
  s.w2.reset(static_cast<double*>(std::aligned_alloc(64, bytes)));
  return s;
}

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Squarings of s for `seconds`, with the thread count set; returns the squarings a second.
double square_for(Squarer& s, int32_t n, double seconds) {
  const double start = now_seconds();
  int64_t done = 0;
  double elapsed = 0.0;
  do {
    m1604xxh(s.a.data(), s.c.data(), n, s.w1.get(), s.w2.get());
    ++done;
    elapsed = now_seconds() - start;
  } while (elapsed < seconds);
  return done / elapsed;
}

double alone(Squarer& s, int32_t n, double seconds) {
  omp_set_num_threads(1);
  return square_for(s, n, seconds);
}

double shared(Squarer& s, int32_t n, double seconds) {
  omp_set_num_threads(2);
  const double rate = square_for(s, n, seconds);
  omp_set_num_threads(1);
  return rate;
}

// Two threads, each its own squarer: inside the parallel region every product runs in one
// thread.
double two_threads(Squarer* pair, int32_t n, double seconds) {
  double rates[2] = {0.0, 0.0};
#pragma omp parallel num_threads(2)
  {
    const int t = omp_get_thread_num();
    rates[t] = square_for(pair[t], n, seconds);
  }
  return rates[0] + rates[1];
}

// Two processes, each squaring its own operands with one thread.
double two_processes(int32_t n, double seconds) {
  int pipes[2][2];
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    if (pipe(pipes[p]) != 0) std::exit(1);
    children[p] = fork();
    if (children[p] == 0) {
      Squarer s = make_squarer(n, 7 + p);
      const double rate = alone(s, n, seconds);
      if (write(pipes[p][1], &rate, sizeof rate) != sizeof rate) _exit(1);
      _exit(0);
    }
    close(pipes[p][1]);
  }
  double total = 0.0;
  for (int p = 0; p < 2; ++p) {
    double rate = 0.0;
    if (read(pipes[p][0], &rate, sizeof rate) != sizeof rate) std::exit(1);
    close(pipes[p][0]);
    waitpid(children[p], nullptr, 0);
    total += rate;
  }
  return total;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t k = values.size();
  return k % 2 == 1 ? values[k / 2] : (values[k / 2 - 1] + values[k / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int32_t rounds = 5;
  double seconds = 0.5;
  std::vector<int32_t> lengths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      const int32_t n = std::atoi(argv[i]);
      if (n < 64 || (n & (n - 1)) != 0) {
        std::fprintf(stderr, "usage: thread_ceiling [--rounds R] [--seconds S] WORDS...\n");
        return 2;
      }
      lengths.push_back(n);
    }
  }
  if (lengths.empty() || rounds < 1 || seconds <= 0.0) {
    std::fprintf(stderr, "usage: thread_ceiling [--rounds R] [--seconds S] WORDS...\n");
    return 2;
  }
  std::printf("%10s %12s %8s %8s %10s %14s\n", "words", "alone /s", "shared", "threads",
              "processes", "shared/threads");
  for (const int32_t n : lengths) {
    Squarer one = make_squarer(n, 1);
    Squarer pair[2] = {make_squarer(n, 2), make_squarer(n, 3)};
    std::vector<double> rate_alone, share, threads, processes;
    for (int32_t r = 0; r < rounds; ++r) {
      const double base = alone(one, n, seconds);
      rate_alone.push_back(base);
      share.push_back(shared(one, n, seconds) / base);
      threads.push_back(two_threads(pair, n, seconds) / base);
      processes.push_back(two_processes(n, seconds) / base);
    }
    const double s = median(share), t = median(threads);
    std::printf("%10d %12.1f %8.2f %8.2f %10.2f %14.2f\n", n, median(rate_alone), s, t,
                median(processes), s / t);
    std::fflush(stdout);
  }
  return 0;
}
