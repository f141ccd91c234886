// The butterflies of the split stages, normal and odd-frequency, on one element (Cx) or on
// two neighbouring ones (Cx2), and their adjoints: shared by the general stages and the fixed
// blocks.
#pragma once

#include <type_traits>

#include "complex_pair.h"
#include "fft_internal.h"

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
