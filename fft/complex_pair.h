// Two adjacent complex elements handled as one value, so that the butterflies of two elements
// run in one set of vector instructions: AVX (with FMA where the build has it), or a portable
// pair of scalar values otherwise. The build's target flags make the choice.
#pragma once

#include "complex.h"

#if defined(__AVX__)
#include <immintrin.h>

struct Cx2 {
  __m256d v;  // re0, im0, re1, im1
};

inline Cx2 load_pair(const double* a, int e) { return {_mm256_loadu_pd(a + 2 * e)}; }
inline void store_pair(double* a, int e, Cx2 z) { _mm256_storeu_pd(a + 2 * e, z.v); }
inline Cx2 make_pair(Cx first, Cx second) {
  return {_mm256_setr_pd(first.re, first.im, second.re, second.im)};
}
inline Cx2 operator+(Cx2 a, Cx2 b) { return {_mm256_add_pd(a.v, b.v)}; }
inline Cx2 operator-(Cx2 a, Cx2 b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline Cx2 operator*(Cx2 z, Cx2 w) {
  __m256d re = _mm256_movedup_pd(z.v);         // re0, re0, re1, re1
  __m256d im = _mm256_permute_pd(z.v, 0xF);    // im0, im0, im1, im1
  __m256d swapped = _mm256_permute_pd(w.v, 0x5);  // w.im, w.re per element
#if defined(__FMA__)
  return {_mm256_fmaddsub_pd(re, w.v, _mm256_mul_pd(im, swapped))};
#else
  return {_mm256_addsub_pd(_mm256_mul_pd(re, w.v), _mm256_mul_pd(im, swapped))};
#endif
}
inline Cx2 times_i(Cx2 z) {
  const __m256d negate_real = _mm256_setr_pd(-0.0, 0.0, -0.0, 0.0);
  return {_mm256_xor_pd(_mm256_permute_pd(z.v, 0x5), negate_real)};
}
inline Cx2 times_minus_i(Cx2 z) {
  const __m256d negate_imag = _mm256_setr_pd(0.0, -0.0, 0.0, -0.0);
  return {_mm256_xor_pd(_mm256_permute_pd(z.v, 0x5), negate_imag)};
}
inline Cx2 conj(Cx2 z) {
  const __m256d negate_imag = _mm256_setr_pd(0.0, -0.0, 0.0, -0.0);
  return {_mm256_xor_pd(z.v, negate_imag)};
}
// The two elements in the opposite order.
inline Cx2 swap_halves(Cx2 z) { return {_mm256_permute2f128_pd(z.v, z.v, 1)}; }
// The first elements of a and b, and the second elements of a and b.
inline Cx2 firsts(Cx2 a, Cx2 b) { return {_mm256_permute2f128_pd(a.v, b.v, 0x20)}; }
inline Cx2 seconds(Cx2 a, Cx2 b) { return {_mm256_permute2f128_pd(a.v, b.v, 0x31)}; }
inline Cx first_element(Cx2 z) {
  const __m128d low = _mm256_castpd256_pd128(z.v);
  return {_mm_cvtsd_f64(low), _mm_cvtsd_f64(_mm_unpackhi_pd(low, low))};
}
// conj_cube and times_w8 per element.
inline Cx2 conj_cube(Cx2 z) {
  const __m256d swapped = _mm256_permute_pd(z.v, 0x5);  // im, re per element
  const __m256d t = _mm256_mul_pd(_mm256_set1_pd(4.0), _mm256_mul_pd(z.v, swapped));
#if defined(__FMA__)
  return {_mm256_fnmadd_pd(t, swapped, z.v)};
#else
  return {_mm256_sub_pd(z.v, _mm256_mul_pd(t, swapped))};
#endif
}
inline Cx2 times_w8(Cx2 z) { return {_mm256_mul_pd((z + times_i(z)).v, _mm256_set1_pd(kC4))}; }
inline Cx2 times_w8_cubed(Cx2 z) {
  return {_mm256_mul_pd((times_i(z) - z).v, _mm256_set1_pd(kC4))};
}
// prev, cur = cur, prev + i f cur for both elements.
inline void step_by(Cx2& prev, Cx2& cur, double f) {
#if defined(__FMA__)
  const Cx2 next = {_mm256_fmadd_pd(_mm256_set1_pd(f), times_i(cur).v, prev.v)};
#else
  const Cx2 next = {_mm256_add_pd(prev.v, _mm256_mul_pd(_mm256_set1_pd(f), times_i(cur).v))};
#endif
  prev = cur;
  cur = next;
}

// Twiddles of two elements held as their real parts and their imaginary parts, each repeated
// over its element's two lanes: a product by them takes one shuffle instead of three, and
// stepping them takes none.
struct Tw2 {
  __m256d re;  // re0, re0, re1, re1
  __m256d im;  // im0, im0, im1, im1
};

inline Tw2 twiddles(Cx first, Cx second) {
  return {_mm256_setr_pd(first.re, first.re, second.re, second.re),
          _mm256_setr_pd(first.im, first.im, second.im, second.im)};
}
inline Cx2 operator*(Cx2 z, Tw2 w) {
  const __m256d swapped = _mm256_permute_pd(z.v, 0x5);  // im, re per element
#if defined(__FMA__)
  return {_mm256_fmaddsub_pd(z.v, w.re, _mm256_mul_pd(swapped, w.im))};
#else
  return {_mm256_addsub_pd(_mm256_mul_pd(z.v, w.re), _mm256_mul_pd(swapped, w.im))};
#endif
}
// z conj(w).
inline Cx2 mul_conj(Cx2 z, Tw2 w) {
  const __m256d swapped = _mm256_permute_pd(z.v, 0x5);
#if defined(__FMA__)
  return {_mm256_fmsubadd_pd(z.v, w.re, _mm256_mul_pd(swapped, w.im))};
#else
  const __m256d negate_real = _mm256_setr_pd(-0.0, 0.0, -0.0, 0.0);
  return {_mm256_addsub_pd(_mm256_mul_pd(z.v, w.re),
                           _mm256_xor_pd(_mm256_mul_pd(swapped, w.im), negate_real))};
#endif
}
inline __m256d negated(__m256d x) { return _mm256_xor_pd(x, _mm256_set1_pd(-0.0)); }
inline Tw2 conj(Tw2 w) { return {w.re, negated(w.im)}; }
inline Tw2 times_i(Tw2 w) { return {negated(w.im), w.re}; }
inline Tw2 times_minus_i(Tw2 w) { return {w.im, negated(w.re)}; }
inline Tw2 swap_halves(Tw2 w) {
  return {_mm256_permute2f128_pd(w.re, w.re, 1), _mm256_permute2f128_pd(w.im, w.im, 1)};
}
inline Cx first_element(Tw2 w) {
  return {_mm_cvtsd_f64(_mm256_castpd256_pd128(w.re)),
          _mm_cvtsd_f64(_mm256_castpd256_pd128(w.im))};
}
inline Tw2 conj_cube(Tw2 w) {
  const __m256d t = _mm256_mul_pd(_mm256_set1_pd(4.0), _mm256_mul_pd(w.re, w.im));
#if defined(__FMA__)
  return {_mm256_fnmadd_pd(t, w.im, w.re), _mm256_fnmadd_pd(t, w.re, w.im)};
#else
  return {_mm256_sub_pd(w.re, _mm256_mul_pd(t, w.im)),
          _mm256_sub_pd(w.im, _mm256_mul_pd(t, w.re))};
#endif
}
inline Tw2 times_w8(Tw2 w) {
  const __m256d c = _mm256_set1_pd(kC4);
  return {_mm256_mul_pd(_mm256_sub_pd(w.re, w.im), c),
          _mm256_mul_pd(_mm256_add_pd(w.re, w.im), c)};
}
inline Tw2 times_w8_cubed(Tw2 w) {
  const __m256d c = _mm256_set1_pd(kC4);
  return {_mm256_mul_pd(negated(_mm256_add_pd(w.re, w.im)), c),
          _mm256_mul_pd(_mm256_sub_pd(w.re, w.im), c)};
}
inline void step_by(Tw2& prev, Tw2& cur, double f) {
  const __m256d factor = _mm256_set1_pd(f);
#if defined(__FMA__)
  const Tw2 next = {_mm256_fnmadd_pd(factor, cur.im, prev.re),
                    _mm256_fmadd_pd(factor, cur.re, prev.im)};
#else
  const Tw2 next = {_mm256_sub_pd(prev.re, _mm256_mul_pd(factor, cur.im)),
                    _mm256_add_pd(prev.im, _mm256_mul_pd(factor, cur.re))};
#endif
  prev = cur;
  cur = next;
}

#else

struct Cx2 {
  Cx lo, hi;
};

inline Cx2 load_pair(const double* a, int e) { return {load(a, e), load(a, e + 1)}; }
inline void store_pair(double* a, int e, Cx2 z) {
  store(a, e, z.lo);
  store(a, e + 1, z.hi);
}
inline Cx2 make_pair(Cx first, Cx second) { return {first, second}; }
inline Cx2 operator+(Cx2 a, Cx2 b) { return {a.lo + b.lo, a.hi + b.hi}; }
inline Cx2 operator-(Cx2 a, Cx2 b) { return {a.lo - b.lo, a.hi - b.hi}; }
inline Cx2 operator*(Cx2 z, Cx2 w) { return {z.lo * w.lo, z.hi * w.hi}; }
inline Cx2 times_i(Cx2 z) { return {times_i(z.lo), times_i(z.hi)}; }
inline Cx2 times_minus_i(Cx2 z) { return {times_minus_i(z.lo), times_minus_i(z.hi)}; }
inline Cx2 conj(Cx2 z) { return {conj(z.lo), conj(z.hi)}; }
inline Cx2 swap_halves(Cx2 z) { return {z.hi, z.lo}; }
inline Cx2 firsts(Cx2 a, Cx2 b) { return {a.lo, b.lo}; }
inline Cx2 seconds(Cx2 a, Cx2 b) { return {a.hi, b.hi}; }
inline Cx first_element(Cx2 z) { return z.lo; }
inline Cx2 conj_cube(Cx2 z) { return {conj_cube(z.lo), conj_cube(z.hi)}; }
inline Cx2 times_w8(Cx2 z) { return {times_w8(z.lo), times_w8(z.hi)}; }
inline Cx2 times_w8_cubed(Cx2 z) { return {times_w8_cubed(z.lo), times_w8_cubed(z.hi)}; }
inline void step_by(Cx2& prev, Cx2& cur, double f) {
  const Cx2 next = {{prev.lo.re - f * cur.lo.im, prev.lo.im + f * cur.lo.re},
                    {prev.hi.re - f * cur.hi.im, prev.hi.im + f * cur.hi.re}};
  prev = cur;
  cur = next;
}

// The portable build keeps twiddles as plain pairs.
using Tw2 = Cx2;
inline Tw2 twiddles(Cx first, Cx second) { return make_pair(first, second); }
inline Cx2 mul_conj(Cx2 z, Cx2 w) { return z * conj(w); }

#endif

