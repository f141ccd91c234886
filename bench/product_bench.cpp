// Time of the programs' long products, m1604xxh (a square) and m1604h (a product), for 2^10 to
// 2^22 words of random digits, and of the square root whose Newton steps run at every length
// below its own.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>

#include "mp.h"

namespace {

struct Buffers {
  std::unique_ptr<int16_t[]> a, b, c, t;
  std::unique_ptr<double, decltype(&std::free)> w1{nullptr, std::free}, w2{nullptr, std::free};
};

// Operands of n words below 1 and work arrays aligned as the programs allocate them.
Buffers make_buffers(int32_t n) {
  Buffers buffers;
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> word(0, 9999);
  buffers.a = std::make_unique<int16_t[]>(n + 4);
  buffers.b = std::make_unique<int16_t[]>(n + 4);
  buffers.c = std::make_unique<int16_t[]>(n + 4);
  buffers.t = std::make_unique<int16_t[]>(n + 8);
  for (int32_t i = 0; i < n + 4; ++i) {
    buffers.a[i] = static_cast<int16_t>(i < n ? word(rng) : 0);
    buffers.b[i] = static_cast<int16_t>(i < n ? word(rng) : 0);
  }
  const size_t bytes = (n * sizeof(double) + 63) / 64 * 64;
  buffers.w1.reset(static_cast<double*>(std::aligned_alloc(64, bytes)));
  buffers.w2.reset(static_cast<double*>(std::aligned_alloc(64, bytes)));
  return buffers;
}

void square(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  Buffers x = make_buffers(n);
  for (auto _ : state) {
    m1604xxh(x.a.get(), x.c.get(), n, x.w1.get(), x.w2.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{n});
}

void product(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  Buffers x = make_buffers(n);
  for (auto _ : state) {
    m1604h(x.a.get(), x.b.get(), x.c.get(), n, x.w1.get(), x.w2.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{n});
}

void square_root(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  Buffers x = make_buffers(n);
  x.a[0] = 5000;  // an argument between 1/2 and 1, as the programs' are
  for (auto _ : state) {
    mp_sqrt(x.a.get(), x.b.get(), x.c.get(), x.t.get(), n, x.w1.get(), x.w2.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{n});
}

}  // namespace

BENCHMARK(square)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->Unit(benchmark::kMicrosecond);
BENCHMARK(product)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->Unit(benchmark::kMicrosecond);
BENCHMARK(square_root)->RangeMultiplier(4)->Range(1 << 10, 1 << 22)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
