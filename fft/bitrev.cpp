// Bit-reversal permutations of complex elements, in place, with no index table: the partner
// index is carried by a counter that steps through the bit-reversed sequence.
#include "complex.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

// Advances x (an index in doubles) to the next value of the bit-reversed sequence.
int32_t reversed_increment(int32_t x, int32_t nh) {
  int32_t i = nh / 2;
  x ^= i;
  while (i > x) {
    i /= 2;
    x ^= i;
  }
  return x;
}

// Exchanges the elements starting at doubles j and k.
inline void swap_elements(double* a, int32_t j, int32_t k) {
  double re = a[j], im = a[j + 1];
  a[j] = a[k];
  a[k] = re;
  a[j + 1] = a[k + 1];
  a[k + 1] = im;
}

// log2 n odd: 16 swaps of an inner group, 6 of a tail group.
void inner_group_odd(double* a, int32_t j, int32_t k, int32_t m, int32_t nh) {
  auto swap = swap_elements;
  swap(a, j, k);
  j += m, k += 2 * m, swap(a, j, k);
  j += m, k -= m, swap(a, j, k);
  j += m, k += 2 * m, swap(a, j, k);
  j += nh, k += 2, swap(a, j, k);
  j -= m, k -= 2 * m, swap(a, j, k);
  j -= m, k += m, swap(a, j, k);
  j -= m, k -= 2 * m, swap(a, j, k);
  j += 2, k += nh, swap(a, j, k);
  j += m, k += 2 * m, swap(a, j, k);
  j += m, k -= m, swap(a, j, k);
  j += m, k += 2 * m, swap(a, j, k);
  j -= nh, k -= 2, swap(a, j, k);
  j -= m, k -= 2 * m, swap(a, j, k);
  j -= m, k += m, swap(a, j, k);
  j -= m, k -= 2 * m, swap(a, j, k);
}

void tail_group_odd(double* a, int32_t base, int32_t m, int32_t nh) {
  auto swap = swap_elements;
  int32_t j = base + 2, k = base + nh;
  swap(a, j, k);
  j += m, k += 2 * m, swap(a, j, k);
  j += m, k -= m, swap(a, j, k);
  j -= 2, k -= nh, swap(a, j, k);
  j += nh + 2, k += nh + 2, swap(a, j, k);
  j -= nh - m, k += 2 * m - 2, swap(a, j, k);
  // The four elements that stay in place.
}

// log2 n even: 8 swaps of an inner group, 2 of a tail group.
void inner_group_even(double* a, int32_t j, int32_t k, int32_t m, int32_t nh) {
  auto swap = swap_elements;
  swap(a, j, k);
  j += m, k += m, swap(a, j, k);
  j += nh, k += 2, swap(a, j, k);
  j -= m, k -= m, swap(a, j, k);
  j += 2, k += nh, swap(a, j, k);
  j += m, k += m, swap(a, j, k);
  j -= nh, k -= 2, swap(a, j, k);
  j -= m, k -= m, swap(a, j, k);
}

void tail_group_even(double* a, int32_t base, int32_t m, int32_t nh) {
  auto swap = swap_elements;
  swap(a, base + 2, base + nh);
  swap(a, base + 2 + m, base + nh + m);
}

// The t-th value of the bit-reversed sequence that reversed_increment steps through.
int32_t reversed_index(int32_t t, int32_t nh) {
  int32_t x = 0;
  for (int32_t bit = nh / 2; t != 0; t >>= 1, bit >>= 1) {
    if ((t & 1) != 0) x |= bit;
  }
  return x;
}

void permute_elements(int32_t n, double* a) {
  int32_t m = 4, l = n / 4;
  while (l > 8) {
    l /= 4;
    m *= 2;
  }
  const int32_t nh = n / 2;
  const bool odd_log = l == 8;
  auto row = [=](int32_t k0) {
    const int32_t j0 = reversed_index(k0 / 4, nh);
    int32_t k = k0;
    for (int32_t j = j0; j < j0 + k0; j += 4) {
      if (odd_log) {
        inner_group_odd(a, j, k, m, nh);
      } else {
        inner_group_even(a, j, k, m, nh);
      }
      k = reversed_increment(k, nh);
    }
    if (odd_log) {
      tail_group_odd(a, j0 + k0, m, nh);
    } else {
      tail_group_even(a, j0 + k0, m, nh);
    }
  };
  if (use_threads(n, kParallelFrom)) {
    // Every group exchanges its own elements. Row k0 holds k0 / 4 inner groups: later rows are
    // longer, hence the dynamic schedule.
    parallel_steps_dynamic(0, m, 4, 8, row);
  } else {
    for (int32_t k0 = 0; k0 < m; k0 += 4) row(k0);
  }
}

}  // namespace

void bitrev_permute(int32_t n, double* a) { permute_elements(n, a); }

void bitrev16(double* a) {
  const Cx x1 = load(a, 1), x3 = load(a, 3), x4 = load(a, 4), x6 = load(a, 6);
  store(a, 1, x4);
  store(a, 3, x6);
  store(a, 4, x1);
  store(a, 6, x3);
}

void bitrev32(double* a) {
  const Cx x1 = load(a, 1), x2 = load(a, 2), x3 = load(a, 3), x4 = load(a, 4), x5 = load(a, 5), x7 = load(a, 7), x8 = load(a, 8), x10 = load(a, 10), x11 = load(a, 11), x12 = load(a, 12), x13 = load(a, 13), x14 = load(a, 14);
  store(a, 1, x8);
  store(a, 2, x4);
  store(a, 3, x12);
  store(a, 4, x2);
  store(a, 5, x10);
  store(a, 7, x14);
  store(a, 8, x1);
  store(a, 10, x5);
  store(a, 11, x13);
  store(a, 12, x3);
  store(a, 13, x11);
  store(a, 14, x7);
}

