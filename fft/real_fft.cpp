// Real-data transform: n reals read as n/2 complex values, transformed, then the two interleaved
// spectra separated (forward) or joined (inverse) by a pass over mirrored pairs.
#include <cmath>

#include "complex_pair.h"
#include "fft.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

constexpr double kPi = 3.141592653589793;
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
// t(e - 1) = t(e + 1) + (ss Im t(e), ss (1/2 - Re t(e))) with ss = 2 sin(2 pi/n).
// Every block restarts its twiddles from sin and cos (the first from its own start values), so
// the blocks of a pass of at least this many doubles are shared among the threads.
constexpr int32_t kParallelPassFrom = 1 << 15;

template <bool inverse>
void separate_spectra(int32_t n, double* a) {
  const double ec = kPi / n;
  const double c = std::cos(ec), s = std::sin(ec);
  const double first_wdi = s * c, first_wdr = s * s;  // t(n/4 - 1)
  const double w1r = 1.0 - 2.0 * first_wdr, w1i = 2.0 * first_wdi;
  const double ss = 2.0 * w1i;
  // Blocks of kBlockDoubles from n/2 down to 4; the twiddle after the last one serves index 2.
  const int32_t blocks = (n / 2 - 4 + kBlockDoubles - 1) / kBlockDoubles;
  double last_wdr = first_wdr, last_wdi = first_wdi;
  auto block = [=, &last_wdr, &last_wdi](int32_t b) {
    const int32_t i = n / 2 - b * kBlockDoubles;
    const int32_t i0 = i - kBlockDoubles < 4 ? 4 : i - kBlockDoubles;
    double wdr = first_wdr, wdi = first_wdi, wkr = 0.0, wki = 0.0;  // t(n/4 - 1), t(n/4)
    if (b > 0) {
      const double sr = 0.5 * std::sin(ec * i), cr = 0.5 * std::cos(ec * i);
      wdr = 0.5 - (sr * w1r - cr * w1i);
      wdi = sr * w1i + cr * w1r;
      wkr = 0.5 - sr;
      wki = cr;
    }
    for (int32_t j = i - 4; j >= i0; j -= 4) {
      // The steps at j + 2 (twiddle wd) and at j (wk, advanced first) touch distinct elements,
      // so they run together.
      const Cx wd = {wdr, wdi};
      wkr += ss * wdi;
      wki += ss * (0.5 - wdr);
      pair_step_twice<inverse>(a, n, j, make_pair(Cx{wkr, wki}, wd));
      wdr += ss * wki;
      wdi += ss * (0.5 - wkr);
    }
    if (i0 == 4) last_wdr = wdr, last_wdi = wdi;
  };
  for_each_step(use_threads(n, kParallelPassFrom), 0, blocks, 1, block);
  pair_step<inverse>(a, 2, n - 2, last_wdr, last_wdi);
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
