// Fast Fourier transforms on doubles, in place, with no scratch memory.
#pragma once

#include <cmath>
#include <cstdint>

#include "complex.h"

// isgn >= 0: n real values become their packed half spectrum with the exponent e^(+2 pi i jk/n):
//   a[0] = R_0, a[1] = R_(n/2), a[2k] = R_k and a[2k+1] = I_k for 1 <= k < n/2.
// isgn < 0: the inverse, unnormalised: forward then inverse multiplies every value by n/2.
// n is a power of two, at least 2.
void real_fft(int32_t n, int32_t isgn, double* a);

// The transforms of products: arrays of n doubles (n a power of two, at least 2) read as n/2
// complex elements, real part first. The forward transform (exponent e^(+2 pi i jk/(n/2)))
// leaves its spectrum in bit-reversed order, which pointwise products do not mind, and the
// inverse takes that order back to natural order with the opposite exponent; forward, then
// inverse multiplies by n/2, so forward transforms of two arrays, their pointwise product and
// the inverse give n/2 times their cyclic convolution, with no permutation anywhere.
//
// One pass: the forward arrays are transformed, then product = product * factor and
// square = square * square pointwise (in this order), then the inverse arrays are transformed
// back. The pointwise products run block by block while the blocks are in cache. Unused
// entries are null; the arrays are distinct but for factor, which may be a forward array or a
// spectrum kept from an earlier pass, and square, which may be the factor.
struct SpectrumPass {
  double* forward[2] = {nullptr, nullptr};
  double* product = nullptr;
  const double* factor = nullptr;
  double* square = nullptr;
  double* inverse[2] = {nullptr, nullptr};
};
void spectrum_pass(int32_t n, const SpectrumPass& pass);

// Below this many doubles a transform's walk stays in one thread. A walk does several times a
// pass's work on each double, yet its threads pay from no shorter length: from 2^15, where the
// passes between walks stay in one thread long enough for the other to fall asleep, 2^17
// digits took 1.3 times as long.
constexpr int32_t kWalkParallelFrom = 1 << 16;

// A product of words in a transform of L doubles is the negacyclic product of length L: the
// words x_j enter as complex elements x_j theta^j (j < L/2, theta = e^(i pi / L)), the
// transform's cyclic convolution of L/2 elements then holds c_j + i c_(j+L/2) times theta^j,
// and the terms come back as the parts of element j times conj(theta^j). The linear product
// of two operands of at most L/2 words has fewer than L terms, so nothing wraps.
//
// theta^j = theta^(4096 s) theta^(64 m) theta^i for j = 4096 s + 64 m + i: the first from cos
// and sin once every 4096 elements, the others from two tables of 64 made for each call. Long
// transforms fill the tables from cos and sin, since a weight's error lands on every term;
// shorter ones, whose terms are small, build them from exact powers theta^(2^k) by products,
// which costs far less than a call per entry.
constexpr int32_t kWeightBlock = 64;

struct Weights {
  Cx fine[kWeightBlock];  // theta^i
  Cx mid[kWeightBlock];   // theta^(64 m)
};
// The tables for a transform of L doubles.
Weights make_weights(int32_t L);

constexpr int32_t kSuperBlock = kWeightBlock * kWeightBlock;

// theta^(4096 s) of the super-block that the last block lay in, kept from block to block.
struct SuperStart {
  int32_t index = 0;
  Cx value = {1.0, 0.0};
};

// The weights theta^j of the block of elements from `first` (a multiple of kWeightBlock).
// Only entries from to to - 1 are formed: a partial block needs no more.
inline void block_weights(const Weights& weights, int32_t first, int32_t L, SuperStart& super,
                          double* re, double* im, int32_t from = 0, int32_t to = kWeightBlock) {
  const int32_t index = first / kSuperBlock;
  if (index != super.index) {
    const double angle = kPi * (static_cast<double>(index) * kSuperBlock) / L;
    super = {index, index == 0 ? Cx{1.0, 0.0} : Cx{std::cos(angle), std::sin(angle)}};
  }
  const Cx start = super.value * weights.mid[(first / kWeightBlock) % kWeightBlock];
  for (int32_t i = from; i < to; ++i) {
    re[i] = start.re * weights.fine[i].re - start.im * weights.fine[i].im;
    im[i] = start.re * weights.fine[i].im + start.im * weights.fine[i].re;
  }
}
