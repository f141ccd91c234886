// The weights of the products' transforms: the powers of theta = e^(i pi / L) that turn the
// transform's cyclic convolution into the negacyclic product of words, shared by the conversion
// of words into doubles and the release of the terms.
#pragma once

#include <cmath>
#include <cstdint>

#include "fft.h"

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
