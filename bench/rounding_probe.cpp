// How far the transform products of the programs' sizes land from integers: for each length
// of pi, the half-length products the programs form (h = count/2 words in transforms of count
// doubles) are made from random words, like the digits of a run, and from words 9999, the
// largest terms, both as a plain product and as the doubled cross product of a squaring. The
// release routines stop a run when a term lies further than 0.25 from an integer.
//
// Usage: rounding_probe [MAX_DIGITS]   (default 2^28)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "fft.h"
#include "mp_internal.h"

namespace {

// The largest distance from an integer of the scaled terms of a * b (h words each, L doubles).
double worst_distance(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int32_t h,
                      int32_t L, double factor, std::vector<double>& w1,
                      std::vector<double>& w2) {
  mp_to_doubles(a.data(), h, w1.data(), L);
  real_fft(L, 1, w1.data());
  mp_to_doubles(b.data(), h, w2.data(), L);
  real_fft(L, 1, w2.data());
  spectrum_mul(w1.data(), w2.data(), L);
  real_fft(L, -1, w1.data());
  const double scale = 2.0 / L * factor;
  double worst = 0.0;
  for (int32_t k = 0; k < L; ++k) {
    double x = scale * w1[k];
    worst = std::fmax(worst, std::fabs(x - std::nearbyint(x)));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t max_digits = argc > 1 ? std::atoll(argv[1]) : (int64_t{1} << 28);
  std::mt19937 rng(2026);
  std::uniform_int_distribution<int> word(0, 9999);
  std::printf("| digits | transform doubles | random words | random, doubled | words 9999 |\n");
  std::printf("|---|---|---|---|---|\n");
  for (int64_t digits = 1 << 16; digits <= max_digits; digits *= 2) {
    const int32_t count = static_cast<int32_t>(digits / 4), h = count / 2;
    std::vector<int16_t> a(h), b(h), nines(h, 9999);
    for (auto& v : a) v = static_cast<int16_t>(word(rng));
    for (auto& v : b) v = static_cast<int16_t>(word(rng));
    std::vector<double> w1(count), w2(count);
    double random = worst_distance(a, b, h, count, 1.0, w1, w2);
    double doubled = worst_distance(a, b, h, count, 2.0, w1, w2);
    double largest = worst_distance(nines, nines, h, count, 1.0, w1, w2);
    std::printf("| %lld | %d | %.3g | %.3g | %.3g |\n", static_cast<long long>(digits), count,
                random, doubled, largest);
    std::fflush(stdout);
  }
  return 0;
}
