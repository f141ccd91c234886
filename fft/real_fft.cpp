// Real-data transform: n reals read as n/2 complex values, transformed, then the two interleaved
// spectra separated (forward) or joined (inverse) by a pass over mirrored pairs.
#include <cmath>

#include "complex_pair.h"
#include "fft.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

constexpr int32_t kBlockDoubles = 256;  // twiddles are refreshed from sin and cos this often

// The pair step at double index j and its mirror n - j with the twiddle (wr, wi): with
// x = Z - conj W and y = t x (post) or conj(t) x (pre), Z becomes Z - y and W becomes W + conj y.
template <bool inverse>
inline void pair_step(double* a, int32_t j, int32_t k, double wr, double wi) {
  double xr = a[j] - a[k];
  double xi = a[j + 1] + a[k + 1];
  double yr, yi;
  if constexpr (inverse) {
    yr = wr * xr + wi * xi;
    yi = wr * xi - wi * xr;
  } else {
    yr = wr * xr - wi * xi;
    yi = wr * xi + wi * xr;
  }
  a[j] -= yr;
  a[j + 1] -= yi;
  a[k] += yr;
  a[k + 1] -= yi;
}

// The pair step on two neighbouring elements at once: elements e and e + 1 (double index j
// and j + 2) with their mirrors, twiddles tw = (t for e, t for e + 1).
template <bool inverse>
inline void pair_step_twice(double* a, int32_t n, int32_t j, Cx2 tw) {
  const int32_t e = j / 2, mirror = n / 2 - e - 1;  // elements N - e - 1 and N - e
  Cx2 z = load_pair(a, e);
  Cx2 w = swap_halves(load_pair(a, mirror));
  Cx2 x = z - conj(w);
  Cx2 y = inverse ? conj(tw) * x : tw * x;
  store_pair(a, e, z - y);
  store_pair(a, mirror, swap_halves(w + conj(y)));
}

// Twiddle t(e) = (1/2 - sin(2 pi e/n)/2, cos(2 pi e/n)/2). Two sequences leapfrog downward:
// t(e - 1) = t(e + 1) + (ss Im t(e), ss (1/2 - Re t(e))) with ss = 2 sin(2 pi/n). They restart
// from sin and cos at every block bound, so the blocks of a pass of at least kParallelFrom
// doubles can be shared among threads.

// The pair steps from double index top (n/2, or a block bound) down to bottom (4, or a block
// bound), block by block; returns the twiddle wd after the last step.
template <bool inverse>
[[gnu::always_inline]] inline Cx separate_range(int32_t n, double* a, int32_t top,
                                                int32_t bottom) {
  const double ec = kPi / n;
  const Cx root = half_turn_over(n);  // angle ec
  const double c = root.re, s = root.im;
  double wdi = s * c, wdr = s * s;  // t(n/4 - 1)
  const double w1r = 1.0 - 2.0 * wdr, w1i = 2.0 * wdi;
  const double ss = 2.0 * w1i;
  double wkr = 0.0, wki = 0.0;  // t(n/4)
  for (int32_t i = top;;) {
    if (i != n / 2) {
      // Restart both sequences at the block bound from sin and cos.
      const double sr = 0.5 * std::sin(ec * i), cr = 0.5 * std::cos(ec * i);
      wdr = 0.5 - (sr * w1r - cr * w1i);
      wdi = sr * w1i + cr * w1r;
      wkr = 0.5 - sr;
      wki = cr;
    }
    int32_t i0 = i - kBlockDoubles;
    if (i0 < bottom) i0 = bottom;
    for (int32_t j = i - 4; j >= i0; j -= 4) {
      // The steps at j + 2 (twiddle wd) and at j (wk, advanced first) touch distinct elements,
      // so they run together.
      const Cx wd = {wdr, wdi};
      wkr = std::fma(ss, wdi, wkr);
      wki = std::fma(ss, 0.5 - wdr, wki);
      pair_step_twice<inverse>(a, n, j, make_pair(Cx{wkr, wki}, wd));
      wdr = std::fma(ss, wki, wdr);
      wdi = std::fma(ss, 0.5 - wkr, wdi);
    }
    if (i0 == bottom) break;
    i = i0;
  }
  return {wdr, wdi};
}

template <bool inverse>
void separate_spectra(int32_t n, double* a) {
  Cx last;
  if (!use_threads(n, kParallelFrom)) {
    last = separate_range<inverse>(n, a, n / 2, 4);
  } else {
    // Each thread takes whole blocks: bounds at n/2 less multiples of kBlockDoubles.
    const int32_t blocks = (n / 2 - 4 + kBlockDoubles - 1) / kBlockDoubles;
    const int32_t parts = omp_get_max_threads() < blocks ? omp_get_max_threads() : blocks;
    auto part = [=, &last](int32_t t) {
      const int32_t top = n / 2 - static_cast<int32_t>(int64_t{blocks} * t / parts) * kBlockDoubles;
      const int32_t end_block = static_cast<int32_t>(int64_t{blocks} * (t + 1) / parts);
      const int32_t bottom = end_block == blocks ? 4 : n / 2 - end_block * kBlockDoubles;
      const Cx after = separate_range<inverse>(n, a, top, bottom);
      if (end_block == blocks) last = after;
    };
    for_each_step(true, 0, parts, 1, part);
  }
  pair_step<inverse>(a, 2, n - 2, last.re, last.im);
}

}  // namespace

void real_fft_post(int32_t n, double* a) { separate_spectra<false>(n, a); }
void real_fft_pre(int32_t n, double* a) { separate_spectra<true>(n, a); }

void real_fft(int32_t n, int32_t isgn, double* a) {
  if (isgn >= 0) {
    if (n > 4) {
      cfft_forward(n, a);
      real_fft_post(n, a);
    } else if (n == 4) {
      cfft_forward(4, a);
    }
    double d = a[0] - a[1];
    a[0] += a[1];
    a[1] = d;
  } else {
    a[1] = 0.5 * (a[0] - a[1]);
    a[0] -= a[1];
    if (n > 4) {
      real_fft_pre(n, a);
      cfft_backward(n, a);
    } else if (n == 4) {
      cfft_backward(4, a);
    }
  }
}
