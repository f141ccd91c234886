// The FFT module's own routines, beneath real_fft and spectrum_pass. Lengths and offsets count
// doubles; an array of n doubles holds n/2 complex elements, real part first.
// w_K = e^(+2 pi i / K).
#pragma once

#include <cstdint>

// Real-data passes: turn the spectrum of n/2 complex values into the half spectrum of n real
// values (post) and back (pre). n > 4.
void real_fft_post(int32_t n, double* a);
void real_fft_pre(int32_t n, double* a);

// Complex transforms of n doubles, unscaled, natural order; forward uses w_N^(jk), backward
// w_N^(-jk).
void cfft_forward(int32_t n, double* a);
void cfft_backward(int32_t n, double* a);

// The forward transform leaves element rev(k) holding X[k] (rev reverses the bits of the
// element index); the inverse is the adjoint of the same network, so it takes that order and
// returns natural order, and the two in turn multiply by n/2.
enum class Direction { forward, inverse };

// A block of the tree is normal, or odd-frequency: evaluated at the odd multiples of half a
// bin (the second quarter of every block, the fourth of an odd one).
enum class Kind { odd, normal };

// One split stage of a block of n >= 64 doubles of the given kind; the inverse is the stage's
// adjoint, applied after the quarters'.
void fft_stage(int32_t n, Kind kind, Direction direction, double* a);
// The same stage as fft_stage_items(n) items that touch separate elements, so that threads may
// share them; item by item in order, they are fft_stage.
int32_t fft_stage_items(int32_t n);
// A stage item's run of elements, whose twiddles are refreshed from cos and sin at its start.
constexpr int32_t kStageRunElements = 64;
void fft_stage_item(int32_t n, Kind kind, Direction direction, double* a, int32_t item);
// The elements that items from to to - 1 of a normal stage of n doubles read and write, within
// each of its four quarters: spans[s][0] to spans[s][1] - 1 (quarter-local element indices) for
// each span s returned; the items of a stage, cut anywhere, give the quarter's elements once.
int32_t fft_stage_item_spans(int32_t n, int32_t from, int32_t to, int32_t spans[4][2]);
// A leaf of the tree, a block of 128 doubles or fewer: its kernels, or their adjoints.
void fft_leaf(int32_t n, Kind kind, Direction direction, double* a);

// The kind of quarter i of a block of the given kind: normal, odd, normal, and the block's own.
inline Kind quarter_kind(int32_t i, Kind kind) {
  return i == 3 ? kind : (i == 1 ? Kind::odd : Kind::normal);
}

// The whole transform of a block of n doubles of the given kind, stages and kernels, depth
// first. Lengths below 16 are whole transforms only (Kind::normal).
void fft_block(int32_t n, Kind kind, Direction direction, double* a);

// Straight-line kernels; plain ones leave X[k] in element rev(k), the odd ones evaluate at the
// odd multiples of half a bin; the inverse ones are their adjoints.
void fft_kernel32(double* a);
void fft_kernel32_odd(double* a);
void fft_kernel16(double* a);
void fft_kernel16_odd(double* a);
void fft_kernel32_inverse(double* a);
void fft_kernel32_odd_inverse(double* a);
void fft_kernel16_inverse(double* a);
void fft_kernel16_odd_inverse(double* a);
void fft_kernel8_fwd(double* a);
void fft_kernel8_bwd(double* a);
void fft_kernel4(double* a);

// Bit-reversal permutations of the elements, in place.
void bitrev_permute(int32_t n, double* a);  // n >= 64
void bitrev32(double* a);
void bitrev16(double* a);
