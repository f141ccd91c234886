// Split-radix complex transform by decimation in frequency, worked depth first in leaves of 256
// or 512 doubles, finished by the straight-line kernels and a bit-reversal permutation.
#include <cmath>
#include <type_traits>

#include "complex_pair.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

constexpr int32_t kRunElements = 64;  // twiddles are refreshed from cos and sin this often

// The end of the run that starts at p, in a stage whose runs cover elements 1 to h - 2.
inline int32_t run_end(int32_t p, int32_t h) {
  return p + kRunElements < h - 2 ? p + kRunElements : h - 2;
}

// Element e, or elements e and e + 1 when V is a pair.
template <typename V>
inline V load_at(const double* a, int32_t e) {
  if constexpr (std::is_same_v<V, Cx2>) {
    return load_pair(a, e);
  } else {
    return load(a, e);
  }
}
inline void store_at(double* a, int32_t e, Cx z) { store(a, e, z); }
inline void store_at(double* a, int32_t e, Cx2 z) { store_pair(a, e, z); }

// Butterfly of a normal block at element k of quarter length q (at k and k + 1 when V is a
// pair); conjugate_input reads conj(v) in place of v.
template <bool conjugate_input, typename V>
inline void butterfly(double* a, int32_t k, int32_t q, V w1, V w3) {
  V v0 = load_at<V>(a, k), v1 = load_at<V>(a, k + q);
  V v2 = load_at<V>(a, k + 2 * q), v3 = load_at<V>(a, k + 3 * q);
  if constexpr (conjugate_input) {
    v0 = conj(v0), v1 = conj(v1), v2 = conj(v2), v3 = conj(v3);
  }
  V x0 = v0 + v2, x1 = v0 - v2, x2 = v1 + v3, x3 = v1 - v3;
  store_at(a, k, x0 + x2);
  store_at(a, k + q, x0 - x2);
  store_at(a, k + 2 * q, (x1 + times_i(x3)) * w1);
  store_at(a, k + 3 * q, (x1 - times_i(x3)) * w3);
}

// The butterfly at the middle element h, where w1 = w_8 and w3 = w_8^3.
template <bool conjugate_input>
inline void butterfly_eighth(double* a, int32_t k, int32_t q) {
  Cx v0 = load(a, k), v1 = load(a, k + q), v2 = load(a, k + 2 * q), v3 = load(a, k + 3 * q);
  if constexpr (conjugate_input) {
    v0 = conj(v0), v1 = conj(v1), v2 = conj(v2), v3 = conj(v3);
  }
  Cx x0 = v0 + v2, x1 = v0 - v2, x2 = v1 + v3, x3 = v1 - v3;
  store(a, k, x0 + x2);
  store(a, k + q, x0 - x2);
  store(a, k + 2 * q, times_w8(x1 + times_i(x3)));
  store(a, k + 3 * q, times_w8_cubed(x1 - times_i(x3)));
}

// Runs of kRunElements butterflies restart their twiddles from cos and sin, so every run
// computes the same values whichever thread runs it and in whatever order: a stage of at least
// kParallelFrom doubles shares its runs among the threads. Such a stage runs its runs through
// one out-of-line copy of their code whatever the thread count, for a compiler may round two
// inlined copies of the same arithmetic differently; smaller stages keep theirs inline.

// The butterflies of elements p + 1 to end, two at a time, and of their mirrors, in a normal
// stage of quarter length q. The twiddles A_k ~ w_L^k and B_k ~ conj(w_L^(3k)) of two
// successive elements form one pair, stepping by two: A_(k+2) = A_(k-2) + i f1 A_k with
// f1 = 2 sin(2 theta), B likewise with f3. A run starts them at p from cos and sin (at p = 0
// from 1) and w = w_L, w2 = w^2, so it computes the same values wherever it runs. a_end, b_end:
// the twiddles of element end + 1.
template <bool conjugate_input>
[[gnu::always_inline]] inline void normal_run(double* a, int32_t q, int32_t p, int32_t end,
                                              double ew, Cx w, Cx w2, double f1, double f3,
                                              Cx& a_end, Cx& b_end) {
  Cx start = {1.0, 0.0};
  if (p > 0) {
    const double angle = static_cast<double>(2 * p) * ew;
    start = {std::cos(angle), std::sin(angle)};
  }
  Cx2 a_before = make_pair(start * conj(w), start), a_now = make_pair(start * w, start * w2);
  Cx2 b_before = conj_cube(a_before), b_now = conj_cube(a_now);
  for (int32_t k = p + 1; k < end; k += 2) {
    // Elements k, k + 1 and their mirrors Q - k - 1, Q - k;
    // w_L^(Q-k) = i conj(w_L^k) and w_L^(3(Q-k)) = -i w_L^(-3k).
    butterfly<conjugate_input>(a, k, q, a_now, conj(b_now));
    butterfly<conjugate_input>(a, q - k - 1, q, swap_halves(times_i(conj(a_now))),
                               swap_halves(times_minus_i(b_now)));
    step_by(a_before, a_now, f1);
    step_by(b_before, b_now, f3);
  }
  a_end = first_element(a_now);
  b_end = first_element(b_now);
}

template <bool conjugate_input>
[[gnu::noinline]] void normal_run_out_of_line(double* a, int32_t q, int32_t p, int32_t end,
                                              double ew, Cx w, Cx w2, double f1, double f3,
                                              Cx& a_end, Cx& b_end) {
  normal_run<conjugate_input>(a, q, p, end, ew, w, w2, f1, f3, a_end, b_end);
}

template <bool conjugate_input>
void stage_normal(int32_t n, double* a) {
  const int32_t q = n / 8, h = n / 16;
  butterfly<conjugate_input>(a, 0, q, Cx{1.0, 0.0}, Cx{1.0, 0.0});

  const double ew = kHalfPi / static_cast<double>(n / 4);
  const Cx w = half_turn_over(n / 4), w2 = w * w;  // angle 2 ew
  const double f1 = 2.0 * w2.im, f3 = 2.0 * conj_cube(w2).im;
  // The twiddles after the last run, for the butterflies at h - 1 and h + 1.
  Cx a_last = w, b_last = conj_cube(w);
  if (n < kParallelFrom) {
    for (int32_t p = 0; p < h - 2; p += kRunElements) {
      const int32_t end = run_end(p, h);
      normal_run<conjugate_input>(a, q, p, end, ew, w, w2, f1, f3, a_last, b_last);
    }
  } else {
    // Every run through one out-of-line copy of its code, with one thread or many alike.
    auto run = [=, &a_last, &b_last](int32_t p) {
      const int32_t end = run_end(p, h);
      Cx a_end, b_end;
      normal_run_out_of_line<conjugate_input>(a, q, p, end, ew, w, w2, f1, f3, a_end, b_end);
      if (end == h - 2) a_last = a_end, b_last = b_end;
    };
    for_each_step(use_threads(n, kParallelFrom), 0, h - 2, kRunElements, run);
  }
  butterfly<conjugate_input>(a, h - 1, q, a_last, conj(b_last));
  butterfly_eighth<conjugate_input>(a, h, q);
  butterfly<conjugate_input>(a, h + 1, q, times_i(conj(a_last)), times_minus_i(b_last));
}

// Butterfly of an odd-frequency block at element k (at k and k + 1 when V is a pair).
template <typename V>
inline void butterfly_odd(double* a, int32_t k, int32_t q, V z0, V z2, V w1, V w3) {
  V v0 = load_at<V>(a, k), v1 = load_at<V>(a, k + q);
  V v2 = load_at<V>(a, k + 2 * q), v3 = load_at<V>(a, k + 3 * q);
  V y0 = v0 + times_i(v2), y1 = v0 - times_i(v2);
  V y2 = v1 + times_i(v3), y3 = v1 - times_i(v3);
  V u0 = y0 * z0, u2 = y2 * z2, u1 = y1 * w1, u3 = y3 * w3;
  store_at(a, k, u0 + u2);
  store_at(a, k + q, u0 - u2);
  store_at(a, k + 2 * q, u1 + u3);
  store_at(a, k + 3 * q, u1 - u3);
}

// The four twiddles of an odd-frequency butterfly, for one element (Cx) or two (Cx2).
template <typename T>
struct OddSet {
  T z0, z2, w1, w3;
};
using OddTwiddles = OddSet<Cx>;

// The twiddles derived from z0 = w_(2L)^k: w1 = z0^3, z2 = w_8 z0, w3 = w_8^3 w1.

template <typename T>
inline OddSet<T> odd_twiddles_from(T z0) {
  T w1 = conj(conj_cube(z0));
  return {z0, times_w8(z0), w1, times_w8_cubed(w1)};
}

// The twiddles of the mirrored element Q - k: those of k reflected about w_8.
template <typename T>
inline OddSet<T> mirror(const OddSet<T>& t) {
  return {times_i(conj(t.z2)), times_i(conj(t.z0)), times_minus_i(conj(t.w3)),
          times_minus_i(conj(t.w1))};
}

// Butterflies at k, k + 1 (twiddles t) and at their mirrors Q - k - 1, Q - k.
inline void butterfly_odd_pairs(double* a, int32_t k, int32_t q, const OddSet<Cx2>& t) {
  butterfly_odd(a, k, q, t.z0, t.z2, t.w1, t.w3);
  // The mirrors Q - k - 1, Q - k take the twiddles of k + 1, k: reflected, halves swapped.
  const OddSet<Cx2> m = mirror(t);
  butterfly_odd(a, q - k - 1, q, swap_halves(m.z0), swap_halves(m.z2), swap_halves(m.w1),
                swap_halves(m.w3));
}

}  // namespace

void fft_stage(int32_t n, double* a) { stage_normal<false>(n, a); }
void fft_stage_conj(int32_t n, double* a) { stage_normal<true>(n, a); }

namespace {

// The butterflies of elements p + 1 to end and their mirrors in an odd-frequency stage: z0 of two
// successive elements steps by two as in normal_run, the other twiddles follow from it.
// Returns the twiddles of element end + 1.
[[gnu::always_inline]] inline OddTwiddles odd_run(double* a, int32_t q, int32_t p, int32_t end,
                                                  double ew, Cx w, Cx w2, double f) {
  Cx start = {1.0, 0.0};
  if (p > 0) {
    const double angle = static_cast<double>(2 * p) * ew;
    start = {std::cos(angle), std::sin(angle)};
  }
  Cx2 z_before = make_pair(start * conj(w), start), z_now = make_pair(start * w, start * w2);
  for (int32_t k = p + 1; k < end; k += 2) {
    butterfly_odd_pairs(a, k, q, odd_twiddles_from(z_now));
    step_by(z_before, z_now, f);
  }
  return odd_twiddles_from(first_element(z_now));
}

[[gnu::noinline]] OddTwiddles odd_run_out_of_line(double* a, int32_t q, int32_t p, int32_t end,
                                                  double ew, Cx w, Cx w2, double f) {
  return odd_run(a, q, p, end, ew, w, w2, f);
}

}  // namespace

void fft_stage_odd(int32_t n, double* a) {
  const int32_t q = n / 8, h = n / 16;
  butterfly_odd(a, 0, q, Cx{1.0, 0.0}, Cx{kC4, kC4}, Cx{1.0, 0.0}, Cx{-kC4, kC4});

  const double ew = kHalfPi / static_cast<double>(n / 2);
  const Cx w = half_turn_over(n / 2), w2 = w * w;  // angle 2 ew
  const double f = 2.0 * w2.im;
  OddTwiddles last = odd_twiddles_from(w);  // after the last run
  if (n < kParallelFrom) {
    for (int32_t p = 0; p < h - 2; p += kRunElements) {
      const int32_t end = run_end(p, h);
      last = odd_run(a, q, p, end, ew, w, w2, f);
    }
  } else {
    // As for the normal stage: one out-of-line copy for one thread or many.
    auto run = [=, &last](int32_t p) {
      const int32_t end = run_end(p, h);
      const OddTwiddles after = odd_run_out_of_line(a, q, p, end, ew, w, w2, f);
      if (end == h - 2) last = after;
    };
    for_each_step(use_threads(n, kParallelFrom), 0, h - 2, kRunElements, run);
  }
  butterfly_odd(a, h - 1, q, last.z0, last.z2, last.w1, last.w3);
  // At h: z0 = w_16, z2 = w1 = w_16^3, w3 = w_16^9.
  butterfly_odd(a, h, q, Cx{kC8, kS8}, Cx{kS8, kC8}, Cx{kS8, kC8}, Cx{-kC8, -kS8});
  const OddTwiddles m = mirror(last);
  butterfly_odd(a, h + 1, q, m.z0, m.z2, m.w1, m.w3);
}

void fft_leaf(int32_t n, int32_t is_normal, double* a) {
  // Four sub-blocks of n/4 doubles, each staged and finished by four kernels of n/16.
  const int32_t sub = n / 4, piece = n / 16;
  void (*kernel)(double*) = n == 512 ? fft_kernel32 : fft_kernel16;
  void (*kernel_odd)(double*) = n == 512 ? fft_kernel32_odd : fft_kernel16_odd;

  fft_stage(sub, a);
  kernel(a), kernel_odd(a + piece), kernel(a + 2 * piece), kernel(a + 3 * piece);
  double* b = a + sub;
  fft_stage_odd(sub, b);
  kernel(b), kernel_odd(b + piece), kernel(b + 2 * piece), kernel_odd(b + 3 * piece);
  b += sub;
  fft_stage(sub, b);
  kernel(b), kernel_odd(b + piece), kernel(b + 2 * piece), kernel(b + 3 * piece);
  b += sub;
  if (is_normal != 0) {
    fft_stage(sub, b);
    kernel(b + 3 * piece);
  } else {
    fft_stage_odd(sub, b);
    kernel_odd(b + 3 * piece);
  }
  kernel(b), kernel_odd(b + piece), kernel(b + 2 * piece);
}

int32_t fft_tree_step(int32_t m, int32_t j, int32_t k, double* a) {
  int32_t kind;
  int32_t mm = m;
  if ((k & 3) != 0) {
    kind = k & 1;
  } else {
    int32_t kk = k;
    while ((kk & 3) == 0) {
      mm *= 4;
      kk >>= 2;
    }
    kind = kk & 1;
  }
  // Stage the not yet staged block ending at j and its nested last quarters, down to size m.
  for (; mm > 128; mm /= 4) {
    if (kind != 0) {
      fft_stage(mm, a + j - mm);
    } else {
      fft_stage_odd(mm, a + j - mm);
    }
  }
  return kind;
}

namespace {

// The kind of quarter i of a block of the given kind: normal, odd, normal, and the block's own.
inline int32_t quarter_kind(int32_t i, int32_t kind) { return i == 3 ? kind : (i == 1 ? 0 : 1); }

// Stages a block of m doubles as normal (kind 1) or odd-frequency (kind 0).
void stage_block(int32_t m, int32_t kind, double* a) {
  if (kind != 0) {
    fft_stage(m, a);
  } else {
    fft_stage_odd(m, a);
  }
}

// Completes a staged block of m > 512 doubles: its quarters, normal, odd, normal and of the
// block's own kind, are staged and completed depth first. Every stage and leaf reads only its
// own block, so the order of the blocks does not change a value.
void complete_block(int32_t m, int32_t kind, double* a) {
  const int32_t sub = m / 4;
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t sub_kind = quarter_kind(i, kind);
    stage_block(sub, sub_kind, a + i * sub);
    if (sub > 512) {
      complete_block(sub, sub_kind, a + i * sub);
    } else {
      fft_leaf(sub, sub_kind, a + i * sub);
    }
  }
}

}  // namespace

void fft_recursive_parallel(int32_t n, double* a) {
  // The quarters are staged side by side, then their sixteen quarters are staged and completed
  // as separate pieces of work, enough to keep several threads busy.
  const int32_t sub = n / 4, subsub = n / 16;
#pragma omp parallel
  {
#pragma omp for schedule(static)
    for (int32_t i = 0; i < 4; ++i) stage_block(sub, quarter_kind(i, 1), a + i * sub);
#pragma omp for schedule(dynamic, 1)
    for (int32_t t = 0; t < 16; ++t) {
      const int32_t kind = quarter_kind(t % 4, quarter_kind(t / 4, 1));
      double* b = a + t * subsub;
      stage_block(subsub, kind, b);
      if (subsub > 512) {
        complete_block(subsub, kind, b);
      } else {
        fft_leaf(subsub, kind, b);
      }
    }
  }
}

void fft_recursive(int32_t n, double* a) {
  if (use_threads(n, kParallelFrom)) {
    fft_recursive_parallel(n, a);
    return;
  }
  int32_t m = n;
  while (m > 512) {
    m /= 4;
    fft_stage(m, a + n - m);
  }
  fft_leaf(m, 1, a + n - m);
  int32_t k = 0;
  for (int32_t j = n - m; j > 0; j -= m) {
    ++k;
    int32_t kind = fft_tree_step(m, j, k, a);
    fft_leaf(m, kind, a + j - m);
  }
}

void cfft_forward(int32_t n, double* a) {
  if (n > 512) {
    fft_stage(n, a);
    fft_recursive(n, a);
    bitrev_permute(n, a);
  } else if (n > 128) {
    fft_stage(n, a);
    fft_leaf(n, 1, a);
    bitrev_permute(n, a);
  } else if (n > 32) {
    fft_stage(n, a);
    fft_leaf_small(n, a);
    bitrev_permute(n, a);
  } else if (n == 32) {
    fft_kernel32(a);
    bitrev32(a);
  } else if (n > 8) {
    fft_kernel16(a);
    bitrev16(a);
  } else if (n == 8) {
    fft_kernel8_fwd(a);
  } else if (n == 4) {
    fft_kernel4(a);
  }
}

void cfft_backward(int32_t n, double* a) {
  // conj(forward(conj(x))): the conjugations ride on the first stage and the permutation.
  if (n > 512) {
    fft_stage_conj(n, a);
    fft_recursive(n, a);
    bitrev_permute_conj(n, a);
  } else if (n > 128) {
    fft_stage_conj(n, a);
    fft_leaf(n, 1, a);
    bitrev_permute_conj(n, a);
  } else if (n > 32) {
    fft_stage_conj(n, a);
    fft_leaf_small(n, a);
    bitrev_permute_conj(n, a);
  } else if (n == 32) {
    fft_kernel32(a);
    bitrev32_neg(a);
  } else if (n > 8) {
    fft_kernel16(a);
    bitrev16_neg(a);
  } else if (n == 8) {
    fft_kernel8_bwd(a);
  } else if (n == 4) {
    fft_kernel4(a);
  }
}
