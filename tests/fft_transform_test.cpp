#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "complex.h"
#include "fft.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

using LD = long double;
const LD kTwoPi = 6.283185307179586476925286766559L;

std::vector<double> random_values(int32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::vector<double> a(n);
  for (auto& v : a) v = value(rng);
  return a;
}

// Sum over j of x_j e^(sign 2 pi i j (k + offset) / N) for every k, evaluated in long double;
// offset 1/2 gives the odd-frequency transform. The angles come from a table of 2N steps.
std::vector<LD> direct_dft(const std::vector<double>& x, int sign, LD offset = 0) {
  const int64_t N = static_cast<int64_t>(x.size() / 2);
  std::vector<LD> cos_table(2 * N), sin_table(2 * N);
  for (int64_t m = 0; m < 2 * N; ++m) {
    cos_table[m] = std::cos(kTwoPi * m / (2 * N));
    sin_table[m] = sign * std::sin(kTwoPi * m / (2 * N));
  }
  const int64_t doubled_offset = static_cast<int64_t>(2 * offset);
  std::vector<LD> out(x.size());
  for (int64_t k = 0; k < N; ++k) {
    LD re = 0, im = 0;
    for (int64_t j = 0; j < N; ++j) {
      int64_t m = (j * (2 * k + doubled_offset)) % (2 * N);
      re += x[2 * j] * cos_table[m] - x[2 * j + 1] * sin_table[m];
      im += x[2 * j] * sin_table[m] + x[2 * j + 1] * cos_table[m];
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
  return out;
}

int32_t reverse_bits(int32_t e, int32_t bits) {
  int32_t r = 0;
  for (int32_t b = 0; b < bits; ++b) r |= ((e >> b) & 1) << (bits - 1 - b);
  return r;
}

// The largest difference between got (element e holds X[rev(e)] when bit_reversed) and want.
double max_error(const std::vector<double>& got, const std::vector<LD>& want, bool bit_reversed) {
  const int32_t N = static_cast<int32_t>(got.size() / 2);
  int32_t bits = 0;
  while ((1 << bits) < N) ++bits;
  LD worst = 0;
  for (int32_t e = 0; e < N; ++e) {
    int32_t k = bit_reversed ? reverse_bits(e, bits) : e;
    worst = std::max(worst, std::fabs(got[2 * e] - want[2 * k]));
    worst = std::max(worst, std::fabs(got[2 * e + 1] - want[2 * k + 1]));
  }
  return static_cast<double>(worst);
}

}  // namespace

TEST(Kernels, EachMatchesItsDirectTransform) {
  struct Case {
    void (*kernel)(double*);
    int32_t n;
    int sign;
    LD offset;
    bool bit_reversed;
  };
  const Case cases[] = {
      {fft_kernel4, 4, 1, 0, false},        {fft_kernel8_fwd, 8, 1, 0, false},
      {fft_kernel8_bwd, 8, -1, 0, false},   {fft_kernel16, 16, 1, 0, true},
      {fft_kernel16_odd, 16, 1, 0.5L, true}, {fft_kernel32, 32, 1, 0, true},
      {fft_kernel32_odd, 32, 1, 0.5L, true},
  };
  for (const Case& c : cases) {
    std::vector<double> x = random_values(c.n, 11);
    std::vector<LD> want = direct_dft(x, c.sign, c.offset);
    c.kernel(x.data());
    EXPECT_LT(max_error(x, want, c.bit_reversed), 1e-14) << c.n << " doubles";
  }
}

TEST(Kernels, ExactValuesOfTheEdgeCases) {
  std::vector<double> a = {1, 2, 3, 5};
  fft_kernel4(a.data());
  EXPECT_EQ(a, (std::vector<double>{4, 7, -2, -3}));
  std::vector<double> b = {0, 0, 1, 0, 0, 0, 0, 0};
  fft_kernel8_fwd(b.data());
  EXPECT_EQ(b, (std::vector<double>{1, 0, 0, 1, -1, 0, 0, -1}));
  std::vector<double> odd(32, 0.0);
  odd[2] = 1.0;  // impulse in element 1: element 0 becomes w_32
  fft_kernel32_odd(odd.data());
  EXPECT_EQ(odd[0], 0.9807852804032304);
  EXPECT_EQ(odd[1], 0.19509032201612828);
}

TEST(Blocks, TouchOnlyTheirBlockInBothDirections) {
  for (int32_t n : {16, 32, 64, 128, 1024}) {
    for (Direction direction : {Direction::forward, Direction::inverse}) {
      std::vector<double> a(n + 64, 7.0);
      fft_block(n, Kind::odd, direction, a.data() + 32);
      for (int32_t i = 0; i < 32; ++i) EXPECT_EQ(a[i], 7.0);
      for (int32_t i = n + 32; i < n + 64; ++i) EXPECT_EQ(a[i], 7.0);
    }
  }
}

// The adjoint identity <K x, y> = <x, K^H y> for complex x and y of n doubles, as the largest
// of the two parts' differences relative to n.
template <typename Forward, typename Inverse>
double adjoint_mismatch(int32_t n, Forward forward, Inverse inverse) {
  const std::vector<double> x = random_values(n, 21 + n), y = random_values(n, 22 + n);
  std::vector<double> kx = x, ky = y;
  forward(kx.data());
  inverse(ky.data());
  std::complex<LD> left = 0, right = 0;
  for (int32_t e = 0; e < n / 2; ++e) {
    left += std::conj(std::complex<LD>(kx[2 * e], kx[2 * e + 1])) *
            std::complex<LD>(y[2 * e], y[2 * e + 1]);
    right += std::conj(std::complex<LD>(x[2 * e], x[2 * e + 1])) *
             std::complex<LD>(ky[2 * e], ky[2 * e + 1]);
  }
  return static_cast<double>(std::abs(left - right)) / n;
}

TEST(Inverse, EveryPieceIsTheAdjointOfItsForwardPiece) {
  // The inverse network is the forward one transposed and conjugated piece by piece, so each
  // piece must be the adjoint of its forward twin: kernels, both stage kinds (up to the 2^19
  // doubles of a shared top stage) and whole blocks of either kind.
  struct KernelPair {
    void (*forward)(double*);
    void (*inverse)(double*);
    int32_t n;
  };
  for (const KernelPair& k : {KernelPair{fft_kernel32, fft_kernel32_inverse, 32},
                              KernelPair{fft_kernel32_odd, fft_kernel32_odd_inverse, 32},
                              KernelPair{fft_kernel16, fft_kernel16_inverse, 16},
                              KernelPair{fft_kernel16_odd, fft_kernel16_odd_inverse, 16},
                              KernelPair{fft_kernel8_fwd, fft_kernel8_bwd, 8},
                              KernelPair{fft_kernel4, fft_kernel4, 4}}) {
    EXPECT_LT(adjoint_mismatch(k.n, k.forward, k.inverse), 1e-15) << k.n << " doubles";
  }
  for (Kind kind : {Kind::odd, Kind::normal}) {
    for (int32_t n : {64, 128, 1024, 8192, 1 << 19}) {
      auto stage = [=](Direction d) { return [=](double* a) { fft_stage(n, kind, d, a); }; };
      EXPECT_LT(adjoint_mismatch(n, stage(Direction::forward), stage(Direction::inverse)), 1e-15)
          << "stage, n " << n << " kind " << static_cast<int>(kind);
      auto block = [=](Direction d) { return [=](double* a) { fft_block(n, kind, d, a); }; };
      EXPECT_LT(adjoint_mismatch(n, block(Direction::forward), block(Direction::inverse)), 1e-14)
          << "block, n " << n << " kind " << static_cast<int>(kind);
    }
  }
}

TEST(Stages, TabulatedAnglesAreTheLibrarysCosineAndSine) {
  // Every stage length's step angle pi/m comes from the table; a wrong entry would skew every
  // transform of that length.
  for (int32_t k = 0; k < 32; ++k) {
    const double angle = 3.141592653589793 / std::ldexp(1.0, k);
    const Cx root = half_turn_over(static_cast<int32_t>(uint32_t{1} << k));
    EXPECT_EQ(root.re, std::cos(angle)) << "k = " << k;
    EXPECT_EQ(root.im, std::sin(angle)) << "k = " << k;
  }
}

TEST(Stages, NormalStageMatchesItsButterfliesWithExactTwiddles) {
  // Element k of each quarter: x0 = v0 + v2, x1 = v0 - v2, x2 = v1 + v3, x3 = v1 - v3 give
  // x0 + x2, x0 - x2, (x1 + i x3) w_N^k and (x1 - i x3) w_N^3k. The runs' twiddles restart
  // from cos and sin at every run, the middle butterflies take theirs from cos and sin too:
  // 2^20 has thousands of runs.
  for (int32_t n : {64, 1024, 8192, 65536, 1 << 20}) {
    {
      const std::vector<double> x = random_values(n, 11 + n);
      std::vector<double> a = x;
      fft_stage(n, Kind::normal, Direction::forward, a.data());
      const int32_t q = n / 8;
      using C = std::complex<LD>;
      auto at = [&](int32_t e) { return C(x[2 * e], x[2 * e + 1]); };
      const C i(0, 1);
      double worst = 0;
      for (int32_t k = 0; k < q; ++k) {
        const C w1 = std::polar(LD{1}, kTwoPi * k / (n / 2)), w3 = w1 * w1 * w1;
        const C x0 = at(k) + at(k + 2 * q), x1 = at(k) - at(k + 2 * q);
        const C x2 = at(k + q) + at(k + 3 * q), x3 = at(k + q) - at(k + 3 * q);
        const C want[4] = {x0 + x2, x0 - x2, (x1 + i * x3) * w1, (x1 - i * x3) * w3};
        for (int32_t j = 0; j < 4; ++j) {
          const int32_t e = k + j * q;
          worst = std::max({worst, static_cast<double>(std::fabs(a[2 * e] - want[j].real())),
                            static_cast<double>(std::fabs(a[2 * e + 1] - want[j].imag()))});
        }
      }
      EXPECT_LT(worst, 1e-13) << "n = " << n;
    }
  }
}

TEST(Stages, OddStageMatchesItsButterfliesWithExactTwiddles) {
  // Element k of each quarter (q elements): y = v0 +- i v2, v1 +- i v3, turned by z0 = w_2N^k,
  // z2 = w_8 z0, w1 = z0^3 and w3 = w_8^3 w1, then summed and differenced. 2^16 doubles runs
  // the stage's runs in parallel where threads are there.
  for (int32_t n : {64, 1024, 8192, 65536}) {
    const std::vector<double> x = random_values(n, 5 + n);
    std::vector<double> a = x;
    fft_stage(n, Kind::odd, Direction::forward, a.data());
    const int32_t q = n / 8;
    using C = std::complex<LD>;
    auto at = [&](int32_t e) { return C(x[2 * e], x[2 * e + 1]); };
    const C i(0, 1), w8 = std::polar(LD{1}, kTwoPi / 8);
    double worst = 0;
    for (int32_t k = 0; k < q; ++k) {
      const C z0 = std::polar(LD{1}, kTwoPi * k / n), w1 = z0 * z0 * z0;
      const C u0 = (at(k) + i * at(k + 2 * q)) * z0, u2 = (at(k + q) + i * at(k + 3 * q)) * w8 * z0;
      const C u1 = (at(k) - i * at(k + 2 * q)) * w1;
      const C u3 = (at(k + q) - i * at(k + 3 * q)) * w8 * w8 * w8 * w1;
      const C want[4] = {u0 + u2, u0 - u2, u1 + u3, u1 - u3};
      for (int32_t j = 0; j < 4; ++j) {
        const int32_t e = k + j * q;
        worst = std::max({worst, static_cast<double>(std::fabs(a[2 * e] - want[j].real())),
                          static_cast<double>(std::fabs(a[2 * e + 1] - want[j].imag()))});
      }
    }
    EXPECT_LT(worst, 1e-13) << "n = " << n;
  }
}

TEST(Blocks, OddBlockIsTheOddFrequencyTransformInBitReversedOrder) {
  // An odd-frequency block evaluates at the odd multiples of half a bin.
  for (int32_t n : {16, 32, 64, 256, 512, 4096}) {
    const std::vector<double> x = random_values(n, 9 + n);
    std::vector<double> a = x;
    fft_block(n, Kind::odd, Direction::forward, a.data());
    EXPECT_LT(max_error(a, direct_dft(x, 1, 0.5), true), 1e-13) << "n = " << n;
  }
}

namespace {

// Both arrays forward, p = p s and s = s s pointwise, both back: the full shape of a pass.
void product_and_square_pass(int32_t n, std::vector<double>& p, std::vector<double>& s) {
  SpectrumPass pass;
  pass.forward[0] = p.data();
  pass.forward[1] = s.data();
  pass.product = p.data();
  pass.factor = s.data();
  pass.square = s.data();
  pass.inverse[0] = p.data();
  pass.inverse[1] = s.data();
  spectrum_pass(n, pass);
}

// A fill that copies its elements from values and counts, for each element, how often it was
// written, and for each slot, how many elements it took.
struct CopyFill {
  const double* values;
  std::vector<int32_t> writes;
  std::vector<int64_t> slot_elements = std::vector<int64_t>(kFillSlots, 0);
};

void copy_fill(void* source, double* a, int32_t from, int32_t to, int32_t slot) {
  CopyFill& fill = *static_cast<CopyFill*>(source);
  for (int32_t e = from; e < to; ++e) {
    a[2 * e] = fill.values[2 * e];
    a[2 * e + 1] = fill.values[2 * e + 1];
    ++fill.writes[e];
  }
  fill.slot_elements[slot] += to - from;
}

}  // namespace

TEST(Stages, ItemSpansAreWhatTheItemsTouch) {
  // Elements outside an item range's spans start as NaN: an item that read one would leave a
  // NaN in its spans, one that wrote one would leave it finite. Every cut of the items into
  // ranges must give each element of a quarter to one range.
  for (const int32_t n : {1024, 8192, 65536}) {
    const int32_t q = n / 8, items = fft_stage_items(n);
    const std::vector<double> x = random_values(n, 51 + n);
    for (const int32_t cut : {1, 3, 7, items}) {
      std::vector<int32_t> owners(q, 0);
      for (int32_t from = 0; from < items; from += cut) {
        const int32_t to = from + cut < items ? from + cut : items;
        int32_t spans[4][2];
        const int32_t count = fft_stage_item_spans(n, from, to, spans);
        std::vector<double> a(n, std::nan(""));
        std::vector<bool> inside(n / 2, false);
        for (int32_t s = 0; s < count; ++s) {
          for (int32_t e = spans[s][0]; e < spans[s][1]; ++e) {
            ++owners[e];
            for (int32_t i = 0; i < 4; ++i) {
              const int32_t at = e + i * q;
              inside[at] = true;
              a[2 * at] = x[2 * at];
              a[2 * at + 1] = x[2 * at + 1];
            }
          }
        }
        for (int32_t item = from; item < to; ++item) {
          fft_stage_item(n, Kind::normal, Direction::forward, a.data(), item);
        }
        for (int32_t e = 0; e < n / 2; ++e) {
          ASSERT_EQ(std::isnan(a[2 * e]) || std::isnan(a[2 * e + 1]), !inside[e])
              << n << " doubles, items " << from << " to " << to << ", element " << e;
        }
      }
      for (int32_t e = 0; e < q; ++e) {
        ASSERT_EQ(owners[e], 1) << n << " doubles, cut " << cut << ", element " << e;
      }
    }
  }
}

TEST(SpectrumPass, ProductsAndSquaresAreTheCyclicConvolutions) {
  // Forward both, product and square pointwise, both back: n/2 times the cyclic convolutions,
  // against long-double sums, from one element to a pass whose top levels threads share.
  using C = std::complex<LD>;
  for (int32_t n : {2, 4, 8, 16, 32, 64, 256, 2048, 8192, kWalkParallelFrom}) {
    const int32_t N = n / 2, step = N > 512 ? N / 512 : 1;  // long passes: every step-th term
    const std::vector<double> x = random_values(n, 31 + n), y = random_values(n, 32 + n);
    std::vector<double> p = x, s = y;
    product_and_square_pass(n, p, s);
    double worst = 0;
    for (int32_t k = 0; k < N; k += step) {
      C product = 0, square = 0;
      for (int32_t j = 0; j < N; ++j) {
        const int32_t i = (k - j + N) % N;
        product += C(x[2 * j], x[2 * j + 1]) * C(y[2 * i], y[2 * i + 1]);
        square += C(y[2 * j], y[2 * j + 1]) * C(y[2 * i], y[2 * i + 1]);
      }
      product *= N, square *= N;
      worst = std::max({worst, static_cast<double>(std::abs(C(p[2 * k], p[2 * k + 1]) - product)),
                        static_cast<double>(std::abs(C(s[2 * k], s[2 * k + 1]) - square))});
    }
    EXPECT_LT(worst / N, 1e-12) << "n = " << n;
  }
}

TEST(SpectrumPass, SameBitsForAnyThreadCount) {
  // The top stages of a long pass are shared among threads in ranges of items and the blocks
  // below are walked as tasks; every value must be the one a single thread computes, from the
  // shortest pass that threads share to one whose blocks hand out tasks three levels deep, and
  // with more threads than a block has quarters.
  const int before = omp_get_max_threads();
  for (const int32_t n : {kWalkParallelFrom, 1 << 20}) {
    const std::vector<double> x = random_values(n, 41), y = random_values(n, 42);
    std::vector<double> first_p, first_s;
    for (int threads : {1, 2, 3, 8}) {
      omp_set_num_threads(threads);
      std::vector<double> p = x, s = y;
      product_and_square_pass(n, p, s);
      if (first_p.empty()) first_p = p, first_s = s;
      EXPECT_TRUE(p == first_p && s == first_s) << n << " doubles, " << threads << " threads";
      // The same pass with its forward arrays filled as it reads them: every element once, no
      // slot beyond the ranges a pass is cut into, the same bits.
      CopyFill fills[2] = {{x.data(), std::vector<int32_t>(n / 2, 0)},
                           {y.data(), std::vector<int32_t>(n / 2, 0)}};
      std::vector<double> fp(n, 0.0), fs(n, 0.0);
      SpectrumPass pass;
      pass.fill = copy_fill;
      pass.fill_source[0] = &fills[0];
      pass.fill_source[1] = &fills[1];
      pass.forward[0] = pass.product = pass.inverse[0] = fp.data();
      pass.forward[1] = pass.square = pass.inverse[1] = fs.data();
      pass.factor = fs.data();
      spectrum_pass(n, pass);
      EXPECT_TRUE(fp == first_p && fs == first_s) << n << " doubles filled, " << threads
                                                  << " threads";
      for (const CopyFill& fill : fills) {
        EXPECT_EQ(std::count(fill.writes.begin(), fill.writes.end(), 1), n / 2);
        int64_t elements = 0;
        for (int32_t slot = 0; slot < kFillSlots; ++slot) {
          elements += fill.slot_elements[slot];
          if (slot >= threads * kRangesPerThread) {
            EXPECT_EQ(fill.slot_elements[slot], 0);
          }
        }
        EXPECT_EQ(elements, n / 2);
      }
    }
  }
  omp_set_num_threads(before);
}

TEST(ComplexTransform, MatchesDirectTransformForEveryLengthUpTo16384) {
  for (int32_t n = 4; n <= 16384; n *= 2) {
    std::vector<double> x = random_values(n, 100 + n);
    std::vector<double> f = x, b = x;
    cfft_forward(n, f.data());
    cfft_backward(n, b.data());
    EXPECT_LT(max_error(f, direct_dft(x, 1), false), 1e-12) << "forward, n = " << n;
    EXPECT_LT(max_error(b, direct_dft(x, -1), false), 1e-12) << "backward, n = " << n;
  }
}

TEST(ComplexTransform, ImpulsesGiveOnesAndPowersOfW) {
  // An impulse at element 0 gives all ones; at element 1, X_k = w_N^k forward and w_N^-k
  // backward.
  for (int32_t n : {2, 4, 8, 16, 32, 64, 512, 2048, 65536}) {
    const int32_t N = n / 2;
    for (int32_t at : {0, 1}) {
      if (at >= N) continue;
      for (int sign : {1, -1}) {
        std::vector<double> a(n, 0.0);
        a[2 * at] = 1.0;
        if (sign > 0) {
          cfft_forward(n, a.data());
        } else {
          cfft_backward(n, a.data());
        }
        double worst = 0;
        for (int32_t k = 0; k < N; ++k) {
          const LD angle = kTwoPi * at * k / N;
          worst = std::max({worst, static_cast<double>(std::fabs(a[2 * k] - std::cos(angle))),
                            static_cast<double>(std::fabs(a[2 * k + 1] - sign * std::sin(angle)))});
        }
        EXPECT_LT(worst, 1e-14) << "n " << n << " impulse at " << at << " sign " << sign;
      }
    }
  }
}

TEST(ComplexTransform, LongRoundTripsReturnNTimesTheInput) {
  for (int32_t n : {1 << 22, 1 << 23}) {
    std::vector<double> x = random_values(n, 7), a = x;
    cfft_forward(n, a.data());
    cfft_backward(n, a.data());
    double worst = 0, scale = 2.0 / n;
    for (int32_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(a[i] * scale - x[i]));
    EXPECT_LT(worst, 1e-13) << "n = " << n;
  }
}

TEST(RealTransform, MatchesDirectPackedHalfSpectrum) {
  for (int32_t n = 2; n <= 4096; n *= 2) {
    std::vector<double> x = random_values(n, 200 + n), a = x;
    real_fft(n, 1, a.data());
    // Read as complex values with zero imaginary parts, the real input's transform is the
    // half spectrum: a[2k] = Re X_k and a[2k+1] = Im X_k.
    std::vector<double> as_complex(2 * n, 0.0);
    for (int32_t j = 0; j < n; ++j) as_complex[2 * j] = x[j];
    std::vector<LD> X = direct_dft(as_complex, 1);
    LD worst = std::max(std::fabs(a[0] - X[0]), std::fabs(a[1] - X[n]));
    for (int32_t k = 1; k < n / 2; ++k) {
      worst = std::max({worst, std::fabs(a[2 * k] - X[2 * k]), std::fabs(a[2 * k + 1] - X[2 * k + 1])});
    }
    EXPECT_LT(static_cast<double>(worst), 1e-12) << "n = " << n;
    // The inverse returns n/2 times the input.
    real_fft(n, -1, a.data());
    for (int32_t j = 0; j < n; ++j) EXPECT_NEAR(a[j] * 2.0 / n, x[j], 1e-14) << "n = " << n;
  }
}

TEST(RealTransform, SmallCasesAndExactInputs) {
  std::vector<double> two = {3, 5};
  real_fft(2, 1, two.data());
  EXPECT_EQ(two, (std::vector<double>{8, -2}));
  real_fft(2, -1, two.data());
  EXPECT_EQ(two, (std::vector<double>{3, 5}));
  std::vector<double> four = {1, 2, 3, 4};
  real_fft(4, 0, four.data());  // isgn 0 is forward
  EXPECT_EQ(four, (std::vector<double>{10, -2, -2, -2}));
  real_fft(4, -1, four.data());
  EXPECT_EQ(four, (std::vector<double>{2, 4, 6, 8}));
  for (int32_t n : {8, 64, 1024}) {
    std::vector<double> ones(n, 1.0), impulse(n, 0.0);
    impulse[0] = 1.0;
    real_fft(n, 1, ones.data());
    real_fft(n, 1, impulse.data());
    EXPECT_EQ(ones[0], n);
    for (int32_t i = 1; i < n; ++i) EXPECT_EQ(ones[i], 0.0) << "n = " << n << ", i = " << i;
    for (int32_t k = 1; k < n / 2; ++k) {
      EXPECT_EQ(impulse[2 * k], 1.0);
      EXPECT_EQ(impulse[2 * k + 1], 0.0);
    }
    EXPECT_EQ(impulse[0], 1.0);
    EXPECT_EQ(impulse[1], 1.0);
  }
}
