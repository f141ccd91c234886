// The general split stage of a block of 64 doubles or more, forward or its adjoint, cut into
// items of runs of elements whose twiddles are refreshed from cos and sin at each run's start
// and stepped by a stable recurrence between, so that any item computes the same values
// wherever and by whichever thread it runs.
#include <cmath>

#include "butterflies.h"
#include "fft_internal.h"

namespace {

// The end of the run that starts at p, in a stage whose runs cover elements 1 to h - 2.
inline int32_t run_end(int32_t p, int32_t h) {
  return p + kStageRunElements < h - 2 ? p + kStageRunElements : h - 2;
}

// The runs of a stage of n doubles.
inline int32_t run_count(int32_t n) {
  return (n / 16 - 2 + kStageRunElements - 1) / kStageRunElements;
}

// The work items of a stage: each run, then the butterflies at 0 and in the middle with
// twiddles of their own; a stage of one run does everything in one item, the middle with the
// run's twiddles.
inline int32_t stage_items(int32_t n) {
  const int32_t runs = run_count(n);
  return runs > 1 ? runs + 1 : 1;
}

// The butterflies of elements p + 1 to end, two at a time, and of their mirrors, in a normal
// stage of quarter length q. The twiddles A_k ~ w_L^k and B_k ~ conj(w_L^(3k)) of two
// successive elements form one pair, stepping by two: A_(k+2) = A_(k-2) + i f1 A_k with
// f1 = 2 sin(2 theta), B likewise with f3. A run starts them at p from cos and sin (at p = 0
// from 1) and w = w_L, w2 = w^2, so it computes the same values wherever it runs. a_end, b_end:
// the twiddles of element end + 1.
template <Direction direction>
[[gnu::always_inline]] inline void normal_run(double* a, int32_t q, int32_t p, int32_t end,
                                              double ew, Cx w, Cx w2, double f1, double f3,
                                              Cx& a_end, Cx& b_end) {
  Cx start = {1.0, 0.0};
  if (p > 0) {
    const double angle = static_cast<double>(2 * p) * ew;
    start = {std::cos(angle), std::sin(angle)};
  }
  Tw2 a_before = twiddles(start * conj(w), start), a_now = twiddles(start * w, start * w2);
  Tw2 b_before = conj_cube(a_before), b_now = conj_cube(a_now);
  for (int32_t k = p + 1; k < end; k += 2) {
    // Elements k, k + 1 and their mirrors Q - k - 1, Q - k;
    // w_L^(Q-k) = i conj(w_L^k) and w_L^(3(Q-k)) = -i w_L^(-3k).
    butterfly<direction, Cx2>(a, k, q, a_now, conj(b_now));
    butterfly<direction, Cx2>(a, q - k - 1, q, swap_halves(times_i(conj(a_now))),
                              swap_halves(times_minus_i(b_now)));
    step_by(a_before, a_now, f1);
    step_by(b_before, b_now, f3);
  }
  a_end = first_element(a_now);
  b_end = first_element(b_now);
}

// Item `item` of a normal stage of n doubles (see stage_items).
template <Direction direction>
[[gnu::always_inline]] inline void normal_item(int32_t n, double* a, int32_t item) {
  const int32_t q = n / 8, h = n / 16, runs = run_count(n);
  const double ew = kHalfPi / static_cast<double>(n / 4);
  const Cx w = half_turn_over(n / 4), w2 = w * w;  // angle 2 ew
  Cx a_last, b_last;                               // the twiddles of element h - 1
  if (item < runs) {
    const int32_t p = item * kStageRunElements;
    const double f1 = 2.0 * w2.im, f3 = 2.0 * conj_cube(w2).im;
    normal_run<direction>(a, q, p, run_end(p, h), ew, w, w2, f1, f3, a_last, b_last);
    if (runs > 1) return;
  } else {
    const double angle = static_cast<double>(2 * (h - 1)) * ew;
    a_last = {std::cos(angle), std::sin(angle)};
    b_last = conj_cube(a_last);
  }
  butterfly<direction, Cx>(a, 0, q, Cx{1.0, 0.0}, Cx{1.0, 0.0});
  butterfly<direction, Cx>(a, h - 1, q, a_last, conj(b_last));
  butterfly_eighth<direction>(a, h, q);
  butterfly<direction, Cx>(a, h + 1, q, times_i(conj(a_last)), times_minus_i(b_last));
}

// The butterflies of elements p + 1 to end and their mirrors in an odd-frequency stage: z0 of two
// successive elements steps by two as in normal_run, the other twiddles follow from it.
// Returns the twiddles of element end + 1.
template <Direction direction>
[[gnu::always_inline]] inline OddTwiddles odd_run(double* a, int32_t q, int32_t p, int32_t end,
                                                  double ew, Cx w, Cx w2, double f) {
  Cx start = {1.0, 0.0};
  if (p > 0) {
    const double angle = static_cast<double>(2 * p) * ew;
    start = {std::cos(angle), std::sin(angle)};
  }
  Tw2 z_before = twiddles(start * conj(w), start), z_now = twiddles(start * w, start * w2);
  for (int32_t k = p + 1; k < end; k += 2) {
    butterfly_odd_pairs<direction>(a, k, q, odd_twiddles_from(z_now));
    step_by(z_before, z_now, f);
  }
  return odd_twiddles_from(first_element(z_now));
}

// Item `item` of an odd-frequency stage of n doubles.
template <Direction direction>
[[gnu::always_inline]] inline void odd_item(int32_t n, double* a, int32_t item) {
  const int32_t q = n / 8, h = n / 16, runs = run_count(n);
  const double ew = kHalfPi / static_cast<double>(n / 2);
  const Cx w = half_turn_over(n / 2), w2 = w * w;  // angle 2 ew
  OddTwiddles last;                                // of element h - 1
  if (item < runs) {
    const int32_t p = item * kStageRunElements;
    last = odd_run<direction>(a, q, p, run_end(p, h), ew, w, w2, 2.0 * w2.im);
    if (runs > 1) return;
  } else {
    const double angle = static_cast<double>(2 * (h - 1)) * ew;
    last = odd_twiddles_from(Cx{std::cos(angle), std::sin(angle)});
  }
  butterfly_odd<direction, Cx>(a, 0, q, Cx{1.0, 0.0}, Cx{kC4, kC4}, Cx{1.0, 0.0},
                               Cx{-kC4, kC4});
  butterfly_odd<direction, Cx>(a, h - 1, q, last);
  // At h: z0 = w_16, z2 = w1 = w_16^3, w3 = w_16^9.
  butterfly_odd<direction, Cx>(a, h, q, Cx{kC8, kS8}, Cx{kS8, kC8}, Cx{kS8, kC8},
                               Cx{-kC8, -kS8});
  butterfly_odd<direction, Cx>(a, h + 1, q, mirror(last));
}

template <Direction direction>
inline void stage_item(int32_t n, Kind kind, double* a, int32_t item) {
  if (kind == Kind::normal) {
    normal_item<direction>(n, a, item);
  } else {
    odd_item<direction>(n, a, item);
  }
}

// The one compiled copy of the items of every stage, whichever thread runs them: this file keeps
// the compiler's fused multiply-adds, and two inlined copies could fuse differently.
template <Direction direction>
[[gnu::noinline]] void stage_item_once(int32_t n, Kind kind, double* a, int32_t item) {
  stage_item<direction>(n, kind, a, item);
}

template <Direction direction>
void stage(int32_t n, Kind kind, double* a) {
  const int32_t items = stage_items(n);
  for (int32_t item = 0; item < items; ++item) stage_item_once<direction>(n, kind, a, item);
}

}  // namespace

void fft_stage(int32_t n, Kind kind, Direction direction, double* a) {
  if (direction == Direction::forward) {
    stage<Direction::forward>(n, kind, a);
  } else {
    stage<Direction::inverse>(n, kind, a);
  }
}

void fft_stage_item(int32_t n, Kind kind, Direction direction, double* a, int32_t item) {
  if (direction == Direction::forward) {
    stage_item_once<Direction::forward>(n, kind, a, item);
  } else {
    stage_item_once<Direction::inverse>(n, kind, a, item);
  }
}

int32_t fft_stage_items(int32_t n) { return stage_items(n); }

int32_t fft_stage_item_spans(int32_t n, int32_t from, int32_t to, int32_t spans[4][2]) {
  const int32_t q = n / 8, h = n / 16, runs = run_count(n);
  int32_t count = 0;
  if (runs == 1) {
    spans[count][0] = 0;  // one item: the whole stage
    spans[count++][1] = q;
    return count;
  }
  // Run i: elements 64 i + 1 to 64 i + 64 and their mirrors q - 64 i - 64 to q - 64 i - 1,
  // the last run ending at h - 2 and its mirrors at h + 2.
  const int32_t last_run = to < runs ? to : runs;
  if (from < last_run) {
    const int32_t forward_end = kStageRunElements * last_run + 1;
    const int32_t mirror_start = q - kStageRunElements * last_run;
    spans[count][0] = kStageRunElements * from + 1;
    spans[count++][1] = forward_end < h - 1 ? forward_end : h - 1;
    spans[count][0] = mirror_start > h + 2 ? mirror_start : h + 2;
    spans[count++][1] = q - kStageRunElements * from;
  }
  if (to > runs) {
    // The item of its own: elements 0 and h - 1 to h + 1. Element 0 and the run from 1 meet,
    // as do the mirrors' end at q and element 0 of the next quarter; the spans stay apart.
    spans[count][0] = h - 1;
    spans[count++][1] = h + 2;
    spans[count][0] = 0;
    spans[count++][1] = 1;
  }
  return count;
}
