// Fast Fourier transforms on doubles, in place, with no scratch memory: the pass every product
// of long numbers takes (spectrum_pass), and the library's general transforms of real and
// complex data in natural order.
#pragma once

#include <cstdint>

#include "complex.h"

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
//
// A forward array may come unfilled, with fill set: fill(source[x], forward[x], from, to, slot)
// writes its elements from to to - 1 before the transform reads them. A pass shared among
// threads has each thread fill the elements that its part of the top stage reads, right
// before it reads them, slot being the thread's number in the team (below kFillSlots, one
// thread a slot, for what the fill gathers as it goes: sums of words, say); a pass in one
// thread fills the whole array at once, slot 0.
constexpr int32_t kFillSlots = 64;
using FillElements = void (*)(void* source, double* a, int32_t from, int32_t to,
                              int32_t slot);
struct SpectrumPass {
  FillElements fill = nullptr;
  void* fill_source[2] = {nullptr, nullptr};
  double* forward[2] = {nullptr, nullptr};
  double* product = nullptr;
  const double* factor = nullptr;
  double* square = nullptr;
  double* inverse[2] = {nullptr, nullptr};
};
void spectrum_pass(int32_t n, const SpectrumPass& pass);
// How many threads share a pass (those OpenMP would start, at most kFillSlots).
int32_t spectrum_pass_team();
// The elements that thread t of a team of `team` sharing a pass of n doubles fills, and
// transforms first and last: in each quarter of n/8 elements, quarter-local elements low[0] to
// low[1] - 1 and high[0] to high[1] - 1 (within a few elements: the halves of the quarters'
// elements cut where the threads' stretches of the top stage meet). A pass over the terms that
// gives each thread its own elements finds them in that thread's cache.
struct SpectrumShare {
  int32_t low[2];
  int32_t high[2];
};
SpectrumShare spectrum_pass_share(int32_t n, int32_t team, int32_t t);

// The general transforms, which no product needs: real data (real_fft), and complex data in
// natural order (cfft_forward, cfft_backward, in the module's internal header).
//
// isgn >= 0: n real values become their packed half spectrum with the exponent e^(+2 pi i jk/n):
//   a[0] = R_0, a[1] = R_(n/2), a[2k] = R_k and a[2k+1] = I_k for 1 <= k < n/2.
// isgn < 0: the inverse, unnormalised: forward then inverse multiplies every value by n/2.
// n is a power of two, at least 2.
void real_fft(int32_t n, int32_t isgn, double* a);
