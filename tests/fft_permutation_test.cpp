#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fft_internal.h"

namespace {

int32_t reverse_bits(int32_t e, int32_t bits) {
  int32_t r = 0;
  for (int32_t b = 0; b < bits; ++b) r |= ((e >> b) & 1) << (bits - 1 - b);
  return r;
}

int32_t log2_of(int32_t n) {
  int32_t b = 0;
  while ((1 << b) < n) ++b;
  return b;
}

// Element e holds (e + 0.25, -(e + 0.5)): every value distinct and every imaginary part non-zero.
std::vector<double> numbered(int32_t n) {
  std::vector<double> a(n);
  for (int32_t e = 0; e < n / 2; ++e) {
    a[2 * e] = e + 0.25;
    a[2 * e + 1] = -(e + 0.5);
  }
  return a;
}

}  // namespace

TEST(BitReversal, GeneralRoutinesMatchPlainReversalUpToTwoToThe21) {
  for (int32_t n = 64; n <= (1 << 21); n *= 2) {
    const int32_t bits = log2_of(n / 2);
    std::vector<double> a = numbered(n);
    bitrev_permute(n, a.data());
    int32_t wrong = 0;
    for (int32_t e = 0; e < n / 2; ++e) {
      int32_t src = reverse_bits(e, bits);
      wrong += a[2 * e] != src + 0.25 || a[2 * e + 1] != -(src + 0.5);
    }
    EXPECT_EQ(wrong, 0) << "n = " << n;
  }
}

TEST(BitReversal, FixedRoutinesForSixteenAndThirtyTwoDoubles) {
  struct Case {
    void (*permute)(double*);
    int32_t elements;
  };
  for (Case c : {Case{bitrev16, 8}, Case{bitrev32, 16}}) {
    std::vector<double> a = numbered(2 * c.elements);
    c.permute(a.data());
    for (int32_t e = 0; e < c.elements; ++e) {
      int32_t src = reverse_bits(e, log2_of(c.elements));
      EXPECT_EQ(a[2 * e], src + 0.25) << c.elements << " elements, e = " << e;
      EXPECT_EQ(a[2 * e + 1], -(src + 0.5)) << c.elements << " elements, e = " << e;
    }
  }
}
