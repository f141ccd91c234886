// Long products through the real-data transform: words to doubles, pointwise spectrum products,
// and the rounding release of the inverse transform back into words.
#include <cmath>

#include "carry_chain.h"
#include "fft.h"
#include "mp_internal.h"

void mp_to_doubles(const int16_t* w, int32_t k, double* d, int32_t L) {
  for (int32_t i = 0; i < k; ++i) d[i] = w[i];
  for (int32_t i = k; i < L; ++i) d[i] = 0.0;
}

void spectrum_mul(double* d, const double* e, int32_t L) {
  d[0] *= e[0];
  d[1] *= e[1];
  for (int32_t k = 2; k < L; k += 2) {
    double p = d[k], q = d[k + 1], u = e[k], v = e[k + 1];
    d[k] = p * u - q * v;
    d[k + 1] = q * u + p * v;
  }
}

void spectrum_square(double* d, int32_t L) {
  d[0] *= d[0];
  d[1] *= d[1];
  for (int32_t k = 2; k < L; k += 2) {
    double p = d[k], q = d[k + 1];
    d[k] = p * p - q * q;
    d[k + 1] = (p * q) * 2.0;
  }
}

namespace {

enum class ReleaseMode { overwrite, add, add_twice };

// From 2^52 on a double has no fractional part left, so a term's distance from the nearest
// integer no longer shows the transform's error; such a term counts as a failure.
constexpr double kLargestCheckableTerm = 4503599627370496.0;

// Terms are rounded, checked and split into digits a block at a time, in loops without a
// dependency from one term to the next, which the compiler vectorises.
constexpr int32_t kReleaseBlock = 64;

// Splits the integers r (below 2^52, as doubles) into their quotient by 10^8 and the
// remainder. Both are exact: the product with 1e-8 lands within 1e-8 of the true quotient,
// and the remainder, formed exactly, corrects a quotient one off.
inline void split_parts(const double* __restrict r, uint32_t* __restrict high,
                        uint32_t* __restrict low, int32_t len) {
  constexpr double base = static_cast<double>(kTwoWordBase);
  for (int32_t i = 0; i < len; ++i) {
    double q = std::floor(r[i] * 1e-8);
    double rest = r[i] - q * base;
    q = rest < 0.0 ? q - 1.0 : (rest >= base ? q + 1.0 : q);
    high[i] = static_cast<uint32_t>(static_cast<int32_t>(q));
    low[i] = static_cast<uint32_t>(static_cast<int32_t>(r[i] - q * base));
  }
}

// Rounds the inverse transform d into words: term p belongs to word p + 1; terms at cnt - 1
// and beyond (up to three look-ahead terms) only pass on their carries. A term further than
// kRoundingLimit from an integer stops the run.
template <ReleaseMode mode>
int32_t release(int16_t* c, int32_t cnt, const double* d, int32_t L) {
  const double scale = mode == ReleaseMode::add_twice ? 2.0 / L * 2.0 : 2.0 / L;
  const int32_t look_ahead = L - cnt < 3 ? L - cnt : 3;
  const int32_t terms = cnt - 1 + (look_ahead > 0 ? look_ahead : 0);
  int32_t failed = 0;
  CarryChain chain;
  double rounded[kReleaseBlock];
  uint32_t high[kReleaseBlock], low[kReleaseBlock];
  for (int32_t end = terms; end > 0; end -= kReleaseBlock) {
    const int32_t first = end > kReleaseBlock ? end - kReleaseBlock : 0;
    const int32_t len = end - first;
    for (int32_t i = 0; i < len; ++i) {
      const double x = scale * d[first + i];
      const double r = std::floor(x + 0.5);
      // Also refuses what no digit can hold: negative terms, terms from 2^52 on, NaN.
      const bool ok =
          (std::fabs(x - r) <= kRoundingLimit) & (r >= 0.0) & (x < kLargestCheckableTerm);
      failed |= !ok;
      rounded[i] = r;
    }
    if (failed != 0) fatal("error fft rounding\n");
    split_parts(rounded, high, low, len);
    // The carry chain, from the block's last term up.
    for (int32_t i = len - 1; i >= 0; --i) {
      const int32_t p = first + i;
      const bool stored = p <= cnt - 2;
      const uint32_t old_word =
          mode != ReleaseMode::overwrite && stored ? static_cast<uint32_t>(c[p + 1]) : 0;
      const int16_t word = add_place_parts(chain, low[i], high[i], old_word);
      if (stored) c[p + 1] = word;
    }
  }
  const uint64_t top = carry_out(chain);
  if constexpr (mode == ReleaseMode::overwrite) {
    c[0] = static_cast<int16_t>(top);
    return 0;
  } else {
    // An operand with an integer part folded into word 0 can carry 10000 or more into word 0
    // even with a word 0 that was not 0: the whole quotient goes back to the caller.
    const int32_t sum = c[0] + static_cast<int32_t>(top);
    const int32_t out = sum / kWordBase;
    c[0] = static_cast<int16_t>(sum - out * kWordBase);
    return out;
  }
}

}  // namespace

void mp_from_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L) {
  release<ReleaseMode::overwrite>(c, cnt, d, L);
}

int32_t mp_add_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L) {
  return release<ReleaseMode::add>(c, cnt, d, L);
}

int32_t mp_add_doubles2(int16_t* c, int32_t cnt, const double* d, int32_t L) {
  return release<ReleaseMode::add_twice>(c, cnt, d, L);
}

void mp_mul_2x2(const int16_t* a, const int16_t* b, int16_t* d) {
  int32_t t[4] = {0, a[0] * b[0], a[0] * b[1] + a[1] * b[0], a[1] * b[1]};
  int32_t carry = 0;
  for (int32_t k = 3; k >= 0; --k) {
    int32_t sum = t[k] + carry;
    carry = sum / kWordBase;
    t[k] = sum - carry * kWordBase;
  }
  d[0] = static_cast<int16_t>(t[0]);
  d[1] = static_cast<int16_t>(t[1]);
}

void mp_mul_by_spectrum(const int16_t* p, int32_t k, int16_t* out, int32_t cnt, double* w1,
                        const double* w2, int32_t L) {
  mp_to_doubles(p, k, w1, L);
  real_fft(L, 1, w1);
  spectrum_mul(w1, w2, L);
  real_fft(L, -1, w1);
  mp_from_doubles(out, cnt, w1, L);
}

void mp_mul(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2) {
  const int32_t L = 2 * n;
  mp_to_doubles(a, n, w1, L);
  real_fft(L, 1, w1);
  mp_to_doubles(b, n, w2, L);
  real_fft(L, 1, w2);
  spectrum_mul(w1, w2, L);
  real_fft(L, -1, w1);
  mp_from_doubles(c, n, w1, L);
}

void carry_into_head(int16_t* c, int32_t h, int32_t carry) {
  if (carry == 1) {
    kuriage(c, h);
  } else if (carry > 1) {
    kuriage_h(c, h, carry);
  }
}

void m1604h(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2) {
  if (c == a || c == b) fatal("error m1604h\n");
  const int32_t h = n / 2;
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  // a b = aH bH + (aL bH + aH bL) 10000^-h + aL bL 10000^-n; of aL bL only the head counts.
  mp_mul_2x2(a + h, b + h, c + n);
  mp_to_doubles(a + h, h, w1, n);
  real_fft(n, 1, w1);  // aL
  mp_to_doubles(b, h, w2, n);
  real_fft(n, 1, w2);  // bH, kept for aH bH
  spectrum_mul(w1, w2, n);
  real_fft(n, -1, w1);
  carry_into_head(c, h, mp_add_doubles(c + h, h + 2, w1, n));
  mp_to_doubles(a, h, w1, n);
  real_fft(n, 1, w1);  // aH, kept for aH bL
  spectrum_mul(w2, w1, n);
  real_fft(n, -1, w2);
  mp_add_doubles(c, n, w2, n);
  mp_to_doubles(b + h, h, w2, n);
  real_fft(n, 1, w2);  // bL
  spectrum_mul(w1, w2, n);
  real_fft(n, -1, w1);
  carry_into_head(c, h, mp_add_doubles(c + h, h + 2, w1, n));
  c[n] = 0;
  c[n + 1] = 0;
}

int32_t m1604xxh(const int16_t* a, int16_t* c, int32_t n, double* w1, double* w2) {
  if (c == a) fatal("error m1604xxh\n");
  const int32_t h = n / 2;
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  mp_mul_2x2(a + h, a + h, c + n);
  mp_to_doubles(a + h, h, w1, n);
  real_fft(n, 1, w1);  // aL
  mp_to_doubles(a, h, w2, n);
  real_fft(n, 1, w2);  // aH, kept for its square
  spectrum_mul(w1, w2, n);
  real_fft(n, -1, w1);
  carry_into_head(c, h, mp_add_doubles2(c + h, h + 2, w1, n));  // 2 aL aH
  spectrum_square(w2, n);
  real_fft(n, -1, w2);
  int32_t flag = mp_add_doubles(c, n, w2, n);
  c[n] = 0;
  c[n + 1] = 0;
  return flag;
}
