// Time of real_fft forward and inverse, and of the pass every product takes (spectrum_pass:
// forward, pointwise square, inverse, in bit-reversed order), for 2^10 to 2^22 doubles,
// reported per double.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "fft.h"

// Times body(n, a) on a fresh copy of the same random doubles every call.
template <typename Body>
static void time_on_copies(benchmark::State& state, Body body) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  std::vector<double> input(n);
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (auto& v : input) v = value(rng);
  // Aligned to a cache line, as the programs allocate their transform arrays.
  std::unique_ptr<double, decltype(&std::free)> storage(
      static_cast<double*>(std::aligned_alloc(64, (n * sizeof(double) + 63) / 64 * 64)), std::free);
  std::span<double> a(storage.get(), n);
  for (auto _ : state) {
    // Every call transforms the same data (repeated transforms would drift toward overflow or
    // toward subnormal values, which run far slower); only the transform is timed.
    std::copy(input.begin(), input.end(), a.begin());
    auto start = std::chrono::steady_clock::now();
    body(n, a.data());
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * int64_t{n});
}

static void forward(benchmark::State& state) {
  time_on_copies(state, [](int32_t n, double* a) { real_fft(n, 1, a); });
}
static void inverse(benchmark::State& state) {
  time_on_copies(state, [](int32_t n, double* a) { real_fft(n, -1, a); });
}
static void square_pass(benchmark::State& state) {
  time_on_copies(state, [](int32_t n, double* a) {
    SpectrumPass pass;
    pass.forward[0] = pass.square = pass.inverse[0] = a;
    spectrum_pass(n, pass);
  });
}

BENCHMARK(forward)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(inverse)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(square_pass)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
