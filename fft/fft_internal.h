// The FFT module's own routines, beneath real_fft. Lengths and offsets count doubles; an array
// of n doubles holds n/2 complex elements, real part first. w_K = e^(+2 pi i / K).
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

// One split stage of a block of n >= 64 doubles: normal block, the same on the conjugated
// block, and odd-frequency block.
void fft_stage(int32_t n, double* a);
void fft_stage_conj(int32_t n, double* a);
void fft_stage_odd(int32_t n, double* a);
// Completes a staged block of 512 or 256 doubles; is_normal is 0 for an odd-frequency block.
void fft_leaf(int32_t n, int32_t is_normal, double* a);
// Completes an array of n > 512 doubles after its first stage, leaf by leaf, depth first; from
// kParallelFrom doubles with more than one thread, its sixteenths in parallel.
void fft_recursive(int32_t n, double* a);
void fft_recursive_parallel(int32_t n, double* a);
// Stages what the k-th next leaf of m doubles, ending at offset j, needs; returns its is_normal.
int32_t fft_tree_step(int32_t m, int32_t j, int32_t k, double* a);

// Straight-line kernels; plain ones leave X[k] in element rev(k), the odd ones evaluate at the
// odd multiples of half a bin.
void fft_leaf_small(int32_t n, double* a);  // n = 128 or 64: four quarter kernels
void fft_kernel32(double* a);
void fft_kernel32_odd(double* a);
void fft_kernel16(double* a);
void fft_kernel16_odd(double* a);
void fft_kernel8_fwd(double* a);
void fft_kernel8_bwd(double* a);
void fft_kernel4(double* a);

// Bit-reversal permutations of the elements, in place.
void bitrev_permute(int32_t n, double* a);       // n >= 64
void bitrev_permute_conj(int32_t n, double* a);  // the same, conjugating every element
void bitrev32(double* a);
void bitrev32_neg(double* a);  // out[e] = in[rev((16 - e) mod 16)]
void bitrev16(double* a);
void bitrev16_neg(double* a);  // out[e] = in[rev((8 - e) mod 8)]
