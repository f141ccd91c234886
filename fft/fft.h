// Real-data fast Fourier transform on doubles, in place, with no tables and no scratch memory.
#pragma once

#include <cstdint>

// isgn >= 0: n real values become their packed half spectrum with the exponent e^(+2 pi i jk/n):
//   a[0] = R_0, a[1] = R_(n/2), a[2k] = R_k and a[2k+1] = I_k for 1 <= k < n/2.
// isgn < 0: the inverse, unnormalised: forward then inverse multiplies every value by n/2.
// n is a power of two, at least 2.
void real_fft(int32_t n, int32_t isgn, double* a);
