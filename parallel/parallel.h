// Loops shared among OpenMP's threads, or run plainly: with one thread, or below the length
// where threads pay, no OpenMP construct is entered at all (even an inactive parallel region
// costs a team's set-up and tear-down).
#pragma once

#include <omp.h>

#include <cstdint>

#include "thresholds.h"

// Whether this code may hand work to other threads: there are some, and it does not already
// run on one thread of a team (side_by_side below).
inline bool threads_to_spare() { return omp_get_max_threads() > 1 && !omp_in_parallel(); }

// Whether work over `size` elements, at least `from`, should use the threads: not when it
// already runs on one thread of a team (side_by_side below).
inline bool use_threads(int64_t size, int64_t from) {
  return size >= from && threads_to_spare();
}

// A pass cut into ranges has at most this many.
constexpr int32_t kMaxRanges = 64;

// Ranges a thread: threads take them as they finish the last, so that one slowed by the rest
// of the machine, or by its share of the memory traffic, hands work over to the others.
constexpr int32_t kRangesPerThread = 4;

// How many ranges a pass is cut into: kRangesPerThread a thread, at most kMaxRanges.
inline int32_t range_count() {
  const int32_t ranges = omp_get_max_threads() * kRangesPerThread;
  return ranges < kMaxRanges ? ranges : kMaxRanges;
}

// Cuts first to end - 1 into kRangesPerThread ranges a thread: range r is bound[r] to
// bound[r + 1] - 1 (bound holds kMaxRanges + 1 values). Returns the number of ranges.
inline int32_t cut_ranges(int32_t first, int32_t end, int32_t* bound) {
  const int32_t ranges = range_count();
  for (int32_t r = 0; r <= ranges; ++r) {
    bound[r] = first + static_cast<int32_t>(int64_t{end - first} * r / ranges);
  }
  return ranges;
}

// The parallel loop takes its body by value and stays out of line: a parallel region takes the
// address of what it shares, and the plain loop keeps its body's values in registers only if
// that address is never taken in its own function. Threads take chunk steps at a time as they
// finish the last.
template <typename Body>
[[gnu::noinline]] void parallel_steps_dynamic(int32_t begin, int32_t end, int32_t step,
                                              int32_t chunk, Body body) {
#pragma omp parallel for schedule(dynamic, chunk)
  for (int32_t i = begin; i < end; i += step) body(i);
}

// body(i) for i = begin, begin + step, ... below end; shared among the threads a step at a time
// when parallel is true. Every body must touch only its own data.
template <typename Body>
inline void for_each_step(bool parallel, int32_t begin, int32_t end, int32_t step, Body body) {
  if (parallel) {
    parallel_steps_dynamic(begin, end, step, 1, body);
  } else {
    for (int32_t i = begin; i < end; i += step) body(i);
  }
}

// The one shape of a pass that threads share: first to end - 1 cut into ranges (cut_ranges, into
// bound, which holds kMaxRanges + 1 values), body(r, from, to) for range r of words from to
// to - 1, the ranges taken by threads as they come free. Returns the number of ranges; whatever
// body leaves for range r (a carry, a sum) the caller keeps in arrays of kMaxRanges.
template <typename Body>
inline int32_t share_ranges(int32_t first, int32_t end, int32_t* bound, Body body) {
  const int32_t ranges = cut_ranges(first, end, bound);
  parallel_steps_dynamic(0, ranges, 1, 1,
                         [bound, &body](int32_t r) { body(r, bound[r], bound[r + 1]); });
  return ranges;
}

// body(r) for r = 0 to count - 1, each on thread owner[r] of a team of `team` (owners past
// the team's size, should it start fewer, wrap round): a pass whose ranges go to the threads
// whose caches hold their data.
template <typename Body>
[[gnu::noinline]] void run_by_owner(int32_t count, const int32_t* owner, int32_t team,
                                    Body body) {
#pragma omp parallel num_threads(team)
  {
    const int32_t t = omp_get_thread_num(), size = omp_get_num_threads();
    for (int32_t r = 0; r < count; ++r) {
      if (owner[r] % size == t) body(r);
    }
  }
}

template <typename First, typename Second>
[[gnu::noinline]] void run_side_by_side(First first, Second second) {
#pragma omp parallel sections num_threads(2)
  {
#pragma omp section
    first();
#pragma omp section
    second();
  }
}

// first() and second() at once on two threads when parallel is true, else one after the
// other. The two must touch separate data (reading the same data is fine).
template <typename First, typename Second>
inline void side_by_side(bool parallel, First first, Second second) {
  if (parallel) {
    run_side_by_side(first, second);
  } else {
    first();
    second();
  }
}
