// How far the transform products of the programs' sizes land from integers: for each length
// of pi, the half-length products the programs form (h = count/2 words in transforms of word
// length count) are made from random words, like the digits of a run, and from words 9999, the
// largest terms, and from words 4999, the largest balanced words, in each form (plain words;
// balanced words from -5000 to 5000). The doubled cross product of a squaring doubles its terms after rounding, so
// its distance is that of the plain product. The release routines stop a run when a term lies
// further than 0.25 from an integer.
//
// Usage: rounding_probe [MAX_DIGITS] [MIN_DIGITS]   (default 2^30 and 2^16)
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
                      int32_t L, WordForm form, std::vector<double>& w1,
                      std::vector<double>& w2) {
  mp_spectrum(a.data(), h, w1.data(), L, form);
  mp_spectrum(b.data(), h, w2.data(), L, form);
  mp_spectrum_mul_back(w1.data(), w2.data(), L);
  mp_terms(w1.data(), L, w2.data());
  double worst = 0.0;
  for (int32_t k = 0; k < L; ++k) {
    worst = std::fmax(worst, std::fabs(w2[k] - std::nearbyint(w2[k])));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t max_digits = argc > 1 ? std::atoll(argv[1]) : (int64_t{1} << 30);
  const int64_t min_digits = argc > 2 ? std::atoll(argv[2]) : (int64_t{1} << 16);
  std::mt19937 rng(2026);
  std::uniform_int_distribution<int> word(0, 9999);
  std::printf("| digits | transform doubles | random: words | balanced | 9999: words "
              "| balanced | 4999: words | balanced |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int64_t digits = min_digits; digits <= max_digits; digits *= 2) {
    const int32_t count = static_cast<int32_t>(digits / 4), h = count / 2;
    std::vector<int16_t> a(h), b(h), nines(h, 9999), fours(h, 4999);
    for (auto& v : a) v = static_cast<int16_t>(word(rng));
    for (auto& v : b) v = static_cast<int16_t>(word(rng));
    std::vector<double> w1(count), w2(count);
    std::printf("| %lld | %d", static_cast<long long>(digits), count);
    for (const auto* operand : {&a, &nines, &fours}) {
      for (WordForm form : {WordForm::words, WordForm::balanced}) {
        const auto& other = operand == &a ? b : *operand;
        std::printf(" | %.3g", worst_distance(*operand, other, h, count, form, w1, w2));
      }
    }
    std::printf(" |\n");
    std::fflush(stdout);
  }
  return 0;
}
