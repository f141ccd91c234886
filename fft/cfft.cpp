// Split-radix complex transform by decimation in frequency, worked depth first and finished by
// straight-line kernels, with its output in bit-reversed order; the inverse is the adjoint of
// the same network, run in the opposite order, which takes that order back to natural order.
// One walk of the tree serves both, and products: the pointwise product runs block by block
// between the forward and the inverse walk while each block is still in cache.
#include <cmath>
#include <type_traits>

#include "complex_pair.h"
#include "fft.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

constexpr int32_t kRunElements = 64;  // twiddles are refreshed from cos and sin this often

// The end of the run that starts at p, in a stage whose runs cover elements 1 to h - 2.
inline int32_t run_end(int32_t p, int32_t h) {
  return p + kRunElements < h - 2 ? p + kRunElements : h - 2;
}

// The runs of a stage of n doubles.
inline int32_t run_count(int32_t n) { return (n / 16 - 2 + kRunElements - 1) / kRunElements; }

// The work items of a stage: each run, then the butterflies at 0 and in the middle with
// twiddles of their own; a stage of one run does everything in one item, the middle with the
// run's twiddles.
inline int32_t stage_items(int32_t n) {
  const int32_t runs = run_count(n);
  return runs > 1 ? runs + 1 : 1;
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
// pair, with twiddles W of two elements). The inverse is its adjoint: the transpose with
// conjugate twiddles.
template <Direction direction, typename V, typename W>
inline void butterfly(double* a, int32_t k, int32_t q, W w1, W w3) {
  V v0 = load_at<V>(a, k), v1 = load_at<V>(a, k + q);
  V v2 = load_at<V>(a, k + 2 * q), v3 = load_at<V>(a, k + 3 * q);
  if constexpr (direction == Direction::forward) {
    V x0 = v0 + v2, x1 = v0 - v2, x2 = v1 + v3, x3 = v1 - v3;
    store_at(a, k, x0 + x2);
    store_at(a, k + q, x0 - x2);
    store_at(a, k + 2 * q, (x1 + times_i(x3)) * w1);
    store_at(a, k + 3 * q, (x1 - times_i(x3)) * w3);
  } else {
    V p = mul_conj(v2, w1), r = mul_conj(v3, w3);
    V e0 = v0 + v1, e1 = v0 - v1, s = p + r, t = times_i(p - r);
    store_at(a, k, e0 + s);
    store_at(a, k + q, e1 - t);
    store_at(a, k + 2 * q, e0 - s);
    store_at(a, k + 3 * q, e1 + t);
  }
}

// The butterfly at the middle element h, where w1 = w_8 and w3 = w_8^3.
template <Direction direction>
inline void butterfly_eighth(double* a, int32_t k, int32_t q) {
  if constexpr (direction == Direction::forward) {
    Cx v0 = load(a, k), v1 = load(a, k + q), v2 = load(a, k + 2 * q), v3 = load(a, k + 3 * q);
    Cx x0 = v0 + v2, x1 = v0 - v2, x2 = v1 + v3, x3 = v1 - v3;
    store(a, k, x0 + x2);
    store(a, k + q, x0 - x2);
    store(a, k + 2 * q, times_w8(x1 + times_i(x3)));
    store(a, k + 3 * q, times_w8_cubed(x1 - times_i(x3)));
  } else {
    butterfly<direction, Cx>(a, k, q, Cx{kC4, kC4}, Cx{-kC4, kC4});
  }
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
    const int32_t p = item * kRunElements;
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

// Butterfly of an odd-frequency block at element k (at k and k + 1 when V is a pair, with
// twiddles W of two elements), or its adjoint.
template <Direction direction, typename V, typename W>
inline void butterfly_odd(double* a, int32_t k, int32_t q, W z0, W z2, W w1, W w3) {
  V v0 = load_at<V>(a, k), v1 = load_at<V>(a, k + q);
  V v2 = load_at<V>(a, k + 2 * q), v3 = load_at<V>(a, k + 3 * q);
  if constexpr (direction == Direction::forward) {
    V y0 = v0 + times_i(v2), y1 = v0 - times_i(v2);
    V y2 = v1 + times_i(v3), y3 = v1 - times_i(v3);
    V u0 = y0 * z0, u2 = y2 * z2, u1 = y1 * w1, u3 = y3 * w3;
    store_at(a, k, u0 + u2);
    store_at(a, k + q, u0 - u2);
    store_at(a, k + 2 * q, u1 + u3);
    store_at(a, k + 3 * q, u1 - u3);
  } else {
    V s0 = mul_conj(v0 + v1, z0), s1 = mul_conj(v2 + v3, w1);
    V d0 = mul_conj(v0 - v1, z2), d1 = mul_conj(v2 - v3, w3);
    store_at(a, k, s0 + s1);
    store_at(a, k + q, d0 + d1);
    store_at(a, k + 2 * q, times_minus_i(s0 - s1));
    store_at(a, k + 3 * q, times_minus_i(d0 - d1));
  }
}

// The four twiddles of an odd-frequency butterfly, for one element (Cx) or two (Tw2).
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

template <Direction direction, typename V, typename T>
inline void butterfly_odd(double* a, int32_t k, int32_t q, const OddSet<T>& t) {
  butterfly_odd<direction, V>(a, k, q, t.z0, t.z2, t.w1, t.w3);
}

// Butterflies at k, k + 1 (twiddles t) and at their mirrors Q - k - 1, Q - k.
template <Direction direction>
inline void butterfly_odd_pairs(double* a, int32_t k, int32_t q, const OddSet<Tw2>& t) {
  butterfly_odd<direction, Cx2>(a, k, q, t);
  // The mirrors Q - k - 1, Q - k take the twiddles of k + 1, k: reflected, halves swapped.
  const OddSet<Tw2> m = mirror(t);
  butterfly_odd<direction, Cx2>(a, q - k - 1, q, swap_halves(m.z0), swap_halves(m.z2),
                                swap_halves(m.w1), swap_halves(m.w3));
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
    const int32_t p = item * kRunElements;
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
inline void stage_item(int32_t n, int32_t kind, double* a, int32_t item) {
  if (kind != 0) {
    normal_item<direction>(n, a, item);
  } else {
    odd_item<direction>(n, a, item);
  }
}

template <Direction direction>
void stage(int32_t n, int32_t kind, double* a) {
  const int32_t items = stage_items(n);
  for (int32_t item = 0; item < items; ++item) stage_item<direction>(n, kind, a, item);
}

// The kind of quarter i of a block of the given kind: normal, odd, normal, and the block's own.
inline int32_t quarter_kind(int32_t i, int32_t kind) { return i == 3 ? kind : (i == 1 ? 0 : 1); }

// A block of 32 doubles or fewer: a kernel, or its adjoint.
inline void small_block(int32_t n, int32_t kind, Direction direction, double* a) {
  const bool forward = direction == Direction::forward;
  if (n == 32) {
    if (kind != 0) {
      forward ? fft_kernel32(a) : fft_kernel32_inverse(a);
    } else {
      forward ? fft_kernel32_odd(a) : fft_kernel32_odd_inverse(a);
    }
  } else if (n == 16) {
    if (kind != 0) {
      forward ? fft_kernel16(a) : fft_kernel16_inverse(a);
    } else {
      forward ? fft_kernel16_odd(a) : fft_kernel16_odd_inverse(a);
    }
  } else if (n == 8) {
    forward ? fft_kernel8_fwd(a) : fft_kernel8_bwd(a);
  } else if (n == 4) {
    fft_kernel4(a);
  }
}

// Blocks of 64 and 128 doubles are straight-line code: the block's stage with exact twiddles
// from fixed tables, all its butterflies on pairs of elements, and the kernels of its quarters.
// A general stage that small would spend half its butterflies on single elements with twiddles
// of their own. Twiddles of element k below q = n/8, as powers of w_n: normal blocks w_n^(2k)
// and w_n^(6k); odd-frequency blocks z0 = w_n^k, z2 = w_8 z0, w1 = z0^3 and w3 = w_8^3 w1.
// The compiler computes the tables; the angle in long double keeps every entry the correctly
// rounded root (a double angle misses it in the last bit for a third of them).
constexpr Cx root_of_unity(int32_t k, int32_t n) {
  constexpr long double kPiLong = 3.141592653589793238462643383279502884L;
  const long double angle = 2.0L * kPiLong * k / n;
  return {static_cast<double>(std::cos(angle)), static_cast<double>(std::sin(angle))};
}

template <int32_t n>
struct FixedTwiddles {
  static constexpr int32_t q = n / 8;
  Cx normal[2][q];
  Cx odd[4][q];
  constexpr FixedTwiddles() : normal{}, odd{} {
    for (int32_t k = 0; k < q; ++k) {
      normal[0][k] = root_of_unity(2 * k, n);
      normal[1][k] = root_of_unity(6 * k, n);
      odd[0][k] = root_of_unity(k, n);
      odd[1][k] = root_of_unity(k + n / 8, n);
      odd[2][k] = root_of_unity(3 * k, n);
      odd[3][k] = root_of_unity(3 * k + 3 * n / 8, n);
    }
  }
};

template <int32_t n, Direction direction>
[[gnu::noinline]] void fixed_block(int32_t kind, double* a) {
  constexpr int32_t q = n / 8;
  if constexpr (direction == Direction::inverse) {
    for (int32_t i = 0; i < 4; ++i) small_block(n / 4, quarter_kind(i, kind), direction, a + i * (n / 4));
  }
  static constexpr FixedTwiddles<n> T;
  for (int32_t k = 0; k < q; k += 2) {
    if (kind != 0) {
      butterfly<direction, Cx2>(a, k, q, twiddles(T.normal[0][k], T.normal[0][k + 1]),
                                twiddles(T.normal[1][k], T.normal[1][k + 1]));
    } else {
      butterfly_odd<direction, Cx2>(
          a, k, q, twiddles(T.odd[0][k], T.odd[0][k + 1]), twiddles(T.odd[1][k], T.odd[1][k + 1]),
          twiddles(T.odd[2][k], T.odd[2][k + 1]), twiddles(T.odd[3][k], T.odd[3][k + 1]));
    }
  }
  if constexpr (direction == Direction::forward) {
    for (int32_t i = 0; i < 4; ++i) small_block(n / 4, quarter_kind(i, kind), direction, a + i * (n / 4));
  }
}

// A leaf of the tree, a block of 128 doubles or fewer: kernels or a fixed block, or their
// adjoints.
void leaf(int32_t n, int32_t kind, Direction direction, double* a) {
  const bool forward = direction == Direction::forward;
  if (n == 128) {
    forward ? fixed_block<128, Direction::forward>(kind, a)
            : fixed_block<128, Direction::inverse>(kind, a);
  } else if (n == 64) {
    forward ? fixed_block<64, Direction::forward>(kind, a)
            : fixed_block<64, Direction::inverse>(kind, a);
  } else {
    small_block(n, kind, direction, a);
  }
}

// The pointwise products of one block at offset `at` of `len` doubles.
inline void pointwise(const SpectrumPass& pass, int32_t at, int32_t len) {
  const int32_t elements = len / 2;
  if (pass.product != nullptr) {
    double* d = pass.product + at;
    const double* e = pass.factor + at;
    if (elements == 1) store(d, 0, load(d, 0) * load(e, 0));
    for (int32_t k = 0; k + 1 < elements; k += 2) {
      store_pair(d, k, load_pair(d, k) * load_pair(e, k));
    }
  }
  if (pass.square != nullptr) {
    double* d = pass.square + at;
    if (elements == 1) store(d, 0, load(d, 0) * load(d, 0));
    for (int32_t k = 0; k + 1 < elements; k += 2) {
      const Cx2 z = load_pair(d, k);
      store_pair(d, k, z * z);
    }
  }
}

// The stage of a block of m doubles at offset `at` of every array in `arrays` (null ones left
// out).
void stages(int32_t m, int32_t kind, int32_t at, double* const arrays[2], Direction direction) {
  for (int32_t x = 0; x < 2; ++x) {
    if (arrays[x] != nullptr) fft_stage(m, kind, direction, arrays[x] + at);
  }
}

// Blocks of at least this many doubles below the top are walked as tasks when a team walks the
// tree: each walks its own stages and hands its four quarters to whichever threads are free, so
// that a thread slowed by the rest of the machine hands its share over, and more threads than
// four find work.
constexpr int32_t kTaskBlockFrom = 1 << 14;

// The one walk of the tree below a block of m doubles at offset `at`, depth first: the forward
// arrays' stage before the quarters, the inverse arrays' after them, and at each leaf the
// forward kernels, the pointwise products and the inverse kernels while the leaf is in cache.
// In a team (in_tasks), the quarters of blocks from 4 kTaskBlockFrom doubles on are tasks: the
// same calls on the same data in the same order within each block, so the same results.
void walk(int32_t m, int32_t kind, int32_t at, const SpectrumPass& pass, bool in_tasks) {
  if (m <= 128) {
    for (double* f : pass.forward) {
      if (f != nullptr) leaf(m, kind, Direction::forward, f + at);
    }
    pointwise(pass, at, m);
    for (double* b : pass.inverse) {
      if (b != nullptr) leaf(m, kind, Direction::inverse, b + at);
    }
    return;
  }
  stages(m, kind, at, pass.forward, Direction::forward);
  const int32_t sub = m / 4;
  if (in_tasks && sub >= kTaskBlockFrom) {
    for (int32_t i = 0; i < 4; ++i) {
#pragma omp task default(none) firstprivate(sub, kind, at, i) shared(pass)
      walk(sub, quarter_kind(i, kind), at + i * sub, pass, true);
    }
#pragma omp taskwait
  } else {
    for (int32_t i = 0; i < 4; ++i) walk(sub, quarter_kind(i, kind), at + i * sub, pass, false);
  }
  stages(m, kind, at, pass.inverse, Direction::inverse);
}

// The top stage of both arrays (null ones left out), its items shared among the threads of the
// enclosing team: every thread calls it.
template <Direction direction>
void shared_stage(int32_t n, double* const arrays[2]) {
  const int32_t items = stage_items(n);
  double* block[2];
  int32_t count = 0;
  for (int32_t x = 0; x < 2; ++x) {
    if (arrays[x] != nullptr) block[count++] = arrays[x];
  }
  if (count == 0) return;  // every thread alike: no loop, no barrier
#pragma omp for schedule(dynamic, 4)
  for (int32_t i = 0; i < count * items; ++i) {
    stage_item<direction>(n, 1, block[i / items], i % items);
  }
}

// The walk with its top level shared among threads: the top stages item by item, then the
// four quarters as tasks, then the top inverse stages. Three waits a pass: a thread that is
// descheduled holds the others up at each of them.
void walk_shared(int32_t n, const SpectrumPass& pass) {
  const int32_t sub = n / 4;
#pragma omp parallel
  {
    shared_stage<Direction::forward>(n, pass.forward);
#pragma omp single
    for (int32_t i = 0; i < 4; ++i) {
#pragma omp task default(none) firstprivate(sub, i) shared(pass)
      walk(sub, quarter_kind(i, 1), i * sub, pass, true);
    }
    shared_stage<Direction::inverse>(n, pass.inverse);
  }
}

// The bit reversal of the elements of n doubles.
void permute(int32_t n, double* a) {
  if (n >= 64) {
    bitrev_permute(n, a);
  } else if (n == 32) {
    bitrev32(a);
  } else if (n == 16) {
    bitrev16(a);
  }
}

}  // namespace

void fft_stage(int32_t n, int32_t kind, Direction direction, double* a) {
  if (direction == Direction::forward) {
    stage<Direction::forward>(n, kind, a);
  } else {
    stage<Direction::inverse>(n, kind, a);
  }
}

void fft_block(int32_t n, int32_t kind, Direction direction, double* a) {
  SpectrumPass pass;
  (direction == Direction::forward ? pass.forward : pass.inverse)[0] = a;
  walk(n, kind, 0, pass, false);
}

void spectrum_pass(int32_t n, const SpectrumPass& pass) {
  if (use_threads(n, kWalkParallelFrom)) {
    walk_shared(n, pass);
  } else {
    walk(n, 1, 0, pass, false);
  }
}

void cfft_forward(int32_t n, double* a) {
  SpectrumPass pass;
  pass.forward[0] = a;
  spectrum_pass(n, pass);
  permute(n, a);
}

void cfft_backward(int32_t n, double* a) {
  // The adjoint of the forward network takes bit-reversed order to natural order.
  permute(n, a);
  SpectrumPass pass;
  pass.inverse[0] = a;
  spectrum_pass(n, pass);
}
