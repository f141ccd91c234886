#include <gmp.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>

#include "fft.h"
#include "mp_internal.h"
#include "test_support.h"

using V = std::vector<int16_t>;

namespace {

// The exact product a b truncated to n words (fraction frame), as words.
BigWords truncated_product(const V& a, const V& b, int32_t n) {
  BigWords p = big_mul(big_from(a.data(), n), big_from(b.data(), n));
  p.insert(p.begin(), 2 * n + 1 - p.size(), 0);  // the product has 2n words below word 0
  return BigWords(p.begin() + 1, p.begin() + 1 + n);
}

// True when got is the exact truncation or one unit below it.
bool truncated_or_one_low(const V& got, const BigWords& exact, int32_t n) {
  BigWords g = big_from(got.data(), n);
  return big_compare(g, exact) == 0 || big_compare(big_add_small(g, 1), exact) == 0;
}

// Every word of a result is a normalised word; word 0 may hold an integer part.
bool normalised(const V& c, int32_t n) {
  for (int32_t k = 1; k < n; ++k) {
    if (c[k] < 0 || c[k] > 9999) return false;
  }
  return true;
}

// The exact product a b truncated to n words, from GMP, for lengths schoolbook cannot reach.
BigWords gmp_truncated_product(const V& a, const V& b, int32_t n) {
  mpz_t x, y;
  mpz_inits(x, y, nullptr);
  mpz_set_str(x, digits_of(a.data(), n).c_str(), 10);
  mpz_set_str(y, digits_of(b.data(), n).c_str(), 10);
  mpz_mul(x, x, y);
  std::string digits(8 * n + 8, '0');
  char* text = mpz_get_str(nullptr, 10, x);
  digits.replace(digits.size() - std::strlen(text), std::strlen(text), text);
  free(text);
  mpz_clears(x, y, nullptr);
  // 2n + 1 words: the product of two n-word fractions has 2n words below word 0.
  digits.erase(0, digits.size() - 4 * (2 * n + 1));
  BigWords p(n);
  for (int32_t k = 0; k < n; ++k) p[k] = std::stoi(digits.substr(4 * (k + 1), 4));
  return p;
}

// The inverse transform of a product with the given terms (scaled as the releases expect), laid
// out as the transform leaves it: element j holds (c_j + i c_(j+L/2)) e^(i pi j / L) L/2; and
// the check that the terms, rounded, pass.
struct TermsProduct {
  std::vector<double> d;
  ProductCheck check;
};

TermsProduct product_of_terms(const std::vector<double>& terms) {
  const int32_t L = static_cast<int32_t>(terms.size()), M = L / 2;
  TermsProduct product = {std::vector<double>(L), {{}, "error check\n"}};
  std::vector<double>& d = product.d;
  for (int32_t p = 0; p < L; ++p) {
    const double rounded = std::isfinite(terms[p]) ? std::floor(terms[p] + 0.5) : 0.0;
    const auto term = static_cast<uint64_t>(static_cast<int64_t>(rounded));
    product.check.sums.at_one += term;
    product.check.sums.at_minus_one += p % 2 == 0 ? term : -term;
  }
  for (int32_t j = 0; j < M; ++j) {
    const long double angle = 3.14159265358979323846L * j / L;
    const long double wr = std::cos(angle), wi = std::sin(angle);
    const long double re = terms[j] * (L / 2.0L), im = terms[j + M] * (L / 2.0L);
    d[2 * j] = static_cast<double>(re * wr - im * wi);
    d[2 * j + 1] = static_cast<double>(re * wi + im * wr);
  }
  return product;
}

// balanced_from values that force each form at every length.
constexpr int32_t kAllWords = INT32_MAX, kAllBalanced = 0;

}  // namespace

TEST(ProductForms, BothFormsGiveTheTruncationsOfExactProducts) {
  // Random words, words 9999 (the largest terms), words 4999 and 5000 (the largest balanced
  // words, and the largest borrows) and an operand with a folded integer part times a
  // units-frame number, against GMP's exact products. Balanced words release every term and
  // give the exact truncation.
  std::mt19937 rng(29);
  for (int32_t n = 4; n <= 65536; n *= 2) {
    std::vector<double> w1(2 * n), w2(2 * n);
    V folded = random_words(rng, n, n + 2), units = random_words(rng, n, n + 2);
    folded[0] = static_cast<int16_t>(10000 + folded[0] % 6000);
    units[0] = 2;
    const V cases[][2] = {{random_words(rng, n, n + 2), random_words(rng, n, n + 2)},
                          {V(n + 2, 9999), V(n + 2, 9999)},
                          {V(n + 2, 4999), V(n + 2, 5000)},
                          {folded, units}};
    for (const auto& [a, b] : cases) {
      const BigWords ab = gmp_truncated_product(a, b, n), aa = gmp_truncated_product(a, a, n);
      for (int32_t balanced_from : {kAllWords, kAllBalanced}) {
        const bool exact = balanced_from == kAllBalanced;
        const char* form = exact ? "balanced, n " : "words, n ";
        V c(n + 2, 0), s(n + 2, 0), m(n, 0);
        m1604h(a.data(), b.data(), c.data(), n, w1.data(), w2.data(), balanced_from);
        EXPECT_TRUE(truncated_or_one_low(c, ab, n) && normalised(c, n)) << form << n;
        EXPECT_EQ(c[n] | c[n + 1], 0);
        mp_mul(a.data(), b.data(), m.data(), n, w1.data(), w2.data(), balanced_from);
        EXPECT_TRUE(exact ? big_from(m.data(), n) == ab : truncated_or_one_low(m, ab, n))
            << form << n;
        if (a[0] < 10000) {
          m1604xxh(a.data(), s.data(), n, w1.data(), w2.data(), balanced_from);
          EXPECT_TRUE(truncated_or_one_low(s, aa, n) && normalised(s, n)) << form << n;
        }
      }
    }
  }
}

TEST(ProductForms, BalancedWordsReleaseSignedTermsWithFloorCarries) {
  // Eight words 9999 squared in balanced words, every term released: the exact truncation
  // 9999 ... 9998, where plain words with three look-ahead terms give 9997.
  std::vector<double> w1(16), w2(16);
  V nines(8, 9999), c(8);
  const TermSums sums = mp_spectrum(nines.data(), 8, w1.data(), 16, WordForm::balanced);
  mp_spectrum(nines.data(), 8, w2.data(), 16, WordForm::balanced);
  mp_spectrum_mul_back(w1.data(), w2.data(), 16);
  const ProductCheck check = {product_sums(sums, sums), "error check\n"};
  mp_from_doubles(c.data(), 8, w1.data(), 16, check, WordForm::balanced);
  EXPECT_EQ(c, V({9999, 9999, 9999, 9999, 9999, 9999, 9999, 9998}));
  // Twice more: (1 - 2 10^-32) + 2 (1 - 10^-32)^2 = 3 - 6 10^-32 + 2 10^-64; 2 leaves word 0.
  EXPECT_EQ(mp_add_doubles2(c.data(), 8, w1.data(), 16, check, WordForm::balanced), 2);
  EXPECT_EQ(c, V({9999, 9999, 9999, 9999, 9999, 9999, 9999, 9994}));
  c.resize(4);
  // Negative terms: -1 at term 2 borrows from word 2. Plain words refuse a negative term.
  TermsProduct t = product_of_terms({5, 7, -1, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check, WordForm::balanced);
  EXPECT_EQ(c, words({0, 5, 6, 9999}));
  EXPECT_FATAL(mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check), "error fft rounding\n");
  // Past the six look-ahead terms, a borrow or a carry reaches the last word only when the
  // look-ahead's top two words are all 0 or all 9999; then every term is released.
  t = product_of_terms({1, 2, 3, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 16, t.check, WordForm::balanced);
  EXPECT_EQ(c, words({0, 1, 2, 2}));
  t = product_of_terms({1, 2, 3, 9999, 9999, 9999, 9999, 9999, 9999, 10000, 0, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 16, t.check, WordForm::balanced);
  EXPECT_EQ(c, words({0, 1, 2, 4}));
  t = product_of_terms({1, 2, 3, 1, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 16, t.check, WordForm::balanced);
  EXPECT_EQ(c, words({0, 1, 2, 3}));
  // A balanced term far from an integer stops the run like any other.
  t = product_of_terms({5, 7, -1.3, 0, 0, 0, 0, 0});
  EXPECT_FATAL(mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check, WordForm::balanced),
               "error fft rounding\n");
}

TEST(ProductThreads, ReleasesInRangesGiveTheWordsOfOneThread) {
  // Shared among threads, each thread releases the elements it transformed last: a release of
  // every term from 2^20 doubles in pairs of ranges L/2 apart, cut into pieces; others in plain
  // ranges cut where the threads' elements meet, over both halves of the terms where they are
  // kept. The carries out of the ranges must land as one chain would have carried them, for
  // teams that cut each quarter in two, three or eight.
  std::mt19937 rng(53);
  const int before = omp_get_max_threads();
  for (int32_t n : {1 << 16, 1 << 20}) {
    std::vector<double> w1(2 * n), w2(2 * n);
    const V a = random_words(rng, n, n + 2), b = random_words(rng, n, n + 2);
    const auto products = [&] {
      V c(n + 2), s(n + 2), m(n);
      m1604h(a.data(), b.data(), c.data(), n, w1.data(), w2.data());
      m1604xxh(a.data(), s.data(), n, w1.data(), w2.data());
      mp_mul(a.data(), b.data(), m.data(), n, w1.data(), w2.data());
      return std::vector<V>{c, s, m};
    };
    omp_set_num_threads(1);
    const std::vector<V> one = products();
    for (int threads : {2, 3, 8}) {
      omp_set_num_threads(threads);
      EXPECT_EQ(products(), one) << "n " << n << ", " << threads << " threads";
    }
  }
  omp_set_num_threads(before);
}

TEST(ProductThreads, ConversionInStretchesGivesTheDoublesAndSumsOfOneWhole) {
  // A pass shared among threads converts its operands stretch by stretch, each thread the
  // stretches its top stage reads, from any element (odd ones too), into slots of its own: the
  // doubles must be those of one conversion of the whole, and the slots' sums add up to the
  // whole's (word 0 keeps its value only once, the sign at -1 follows the word's own place),
  // whatever k cuts off.
  std::mt19937 rng(61);
  constexpr int32_t L = 1 << 17;
  for (int32_t k : {1, 3, 4097, 12345, L / 2 - 1, L / 2}) {
    V w = random_words(rng, k);
    w[0] = 7000;
    for (WordForm form : {WordForm::words, WordForm::balanced}) {
      std::vector<double> one(L), stretches(L, -1.0);
      const TermSums want = mp_to_doubles(w.data(), k, one.data(), L, form);
      std::vector<int32_t> cuts = {0, L / 2};
      for (int i = 0; i < 40; ++i) cuts.push_back(static_cast<int32_t>(rng() % (L / 2)));
      cuts.push_back(1);
      cuts.push_back(4097);
      std::sort(cuts.begin(), cuts.end());
      WordFill fill = word_fill(w.data(), k, L, form);
      for (size_t c = cuts.size() - 1; c > 0; --c) {  // from the top down, as threads may
        fill_words(&fill, stretches.data(), cuts[c - 1], cuts[c], static_cast<int32_t>(c % 5));
      }
      const TermSums got = filled_sums(fill);
      const std::string where = "k " + std::to_string(k);
      EXPECT_EQ(got.at_one, want.at_one) << where;
      EXPECT_EQ(got.at_minus_one, want.at_minus_one) << where;
      EXPECT_EQ(stretches, one) << where;
    }
  }
}

TEST(Products, ExamplesWithFoldedOneAndAllNines) {
  std::vector<double> w1(64), w2(64);
  V half = words({5000}, 10), c(10);
  m1604h(half.data(), half.data(), c.data(), 8, w1.data(), w2.data());
  EXPECT_EQ(c, words({2500}, 10));

  V one = words({10000}, 18), half16 = words({5000}, 18), c16(18);
  m1604h(one.data(), half16.data(), c16.data(), 16, w1.data(), w2.data());
  EXPECT_EQ(c16, words({5000}, 18));
  V root = words({7071, 678, 1186, 5475, 2440, 844, 3621, 484, 9039, 2848, 3593, 7688, 4740, 3658,
                  8339, 8689}, 18);
  m1604h(one.data(), root.data(), c16.data(), 16, w1.data(), w2.data());
  EXPECT_EQ(c16, root);

  V nines(10, 9999), expected(10, 9999);
  nines[8] = nines[9] = 0;
  expected[7] = 9997;
  expected[8] = expected[9] = 0;
  // Plain words: one unit below the exact truncation, which ends in 9998.
  m1604h(nines.data(), nines.data(), c.data(), 8, w1.data(), w2.data(), kAllWords);
  EXPECT_EQ(c, expected);
  EXPECT_EQ(m1604xxh(nines.data(), c.data(), 8, w1.data(), w2.data(), kAllWords), 0);
  EXPECT_EQ(c, expected);
  V m(8);
  mp_mul(nines.data(), nines.data(), m.data(), 8, w1.data(), w2.data(), kAllWords);
  EXPECT_EQ(m, V(expected.begin(), expected.begin() + 8));
}

TEST(Products, TruncatedOrOneLowAgainstExactProducts) {
  std::mt19937 rng(21);
  for (int32_t n = 4; n <= 2048; n *= 2) {
    std::vector<double> w1(2 * n), w2(2 * n);
    V a = random_words(rng, n, n + 2), b = random_words(rng, n, n + 2), c(n + 2), s(n + 2);
    BigWords ab = truncated_product(a, b, n), aa = truncated_product(a, a, n);
    m1604h(a.data(), b.data(), c.data(), n, w1.data(), w2.data());
    EXPECT_TRUE(truncated_or_one_low(c, ab, n)) << "m1604h, n = " << n;
    EXPECT_TRUE(normalised(c, n)) << "m1604h, n = " << n;
    EXPECT_EQ(c[n], 0);
    EXPECT_EQ(c[n + 1], 0);
    m1604xxh(a.data(), s.data(), n, w1.data(), w2.data());
    EXPECT_TRUE(truncated_or_one_low(s, aa, n)) << "m1604xxh, n = " << n;
    EXPECT_TRUE(normalised(s, n)) << "m1604xxh, n = " << n;
    m1604h(a.data(), a.data(), c.data(), n, w1.data(), w2.data());
    EXPECT_TRUE(truncated_or_one_low(c, aa, n)) << "m1604h as a square, n = " << n;
    // The plain product may write over an operand.
    mp_mul(a.data(), b.data(), a.data(), n, w1.data(), w2.data());
    EXPECT_TRUE(truncated_or_one_low(a, ab, n)) << "mp_mul, n = " << n;
  }
}

TEST(Products, OperandWithAFoldedIntegerPartTimesAUnitsFrameNumber) {
  // The drivers' last product: 2 a^2 (folded, about 1.4) times 1 / T (units frame, about 2.2).
  // Its cross products carry more than 10000 into the word where the halves meet.
  std::mt19937 rng(23);
  for (int32_t n = 16; n <= 4096; n *= 2) {
    std::vector<double> w1(n), w2(n);
    for (int trial = 0; trial < 8; ++trial) {
      V a = random_words(rng, n, n + 2), b = random_words(rng, n, n + 2), c(n + 2);
      a[0] = static_cast<int16_t>(10000 + a[0] % 6000);
      b[0] = 2;
      m1604h(a.data(), b.data(), c.data(), n, w1.data(), w2.data());
      EXPECT_TRUE(normalised(c, n)) << "n = " << n;
      EXPECT_TRUE(truncated_or_one_low(c, truncated_product(a, b, n), n)) << "n = " << n;
    }
  }
}

TEST(ProductsDeathTest, ResultOverAnOperandIsFatal) {
  std::vector<double> w1(8), w2(8);
  V a = words({1, 2, 3, 4}, 6), b = words({5, 6, 7, 8}, 6);
  EXPECT_FATAL(m1604h(a.data(), b.data(), a.data(), 4, w1.data(), w2.data()), "error m1604h\n");
  EXPECT_FATAL(m1604h(a.data(), b.data(), b.data(), 4, w1.data(), w2.data()), "error m1604h\n");
  EXPECT_FATAL(m1604xxh(a.data(), a.data(), 4, w1.data(), w2.data()), "error m1604xxh\n");
}

TEST(BuildingBlocks, TwoByTwoHeadProducts) {
  int16_t d[2];
  mp_mul_2x2(words({9999, 9999}).data(), words({9999, 9999}).data(), d);
  EXPECT_EQ(V(d, d + 2), words({9999, 9998}));
  mp_mul_2x2(words({1234, 5678}).data(), words({8765, 4321}).data(), d);
  EXPECT_EQ(V(d, d + 2), words({1082, 1520}));
  mp_mul_2x2(words({5000, 0}).data(), words({5000, 0}).data(), d);
  EXPECT_EQ(V(d, d + 2), words({2500, 0}));
}

TEST(BuildingBlocks, ReleaseUsesThreeLookAheadTermsAndAccumulates) {
  std::vector<double> w1(8), w2(8);
  V a = words({1234, 5678, 9012, 3456}), b = words({9999, 9999, 9999, 9999});
  const TermSums sums_b = mp_spectrum(b.data(), 4, w2.data(), 8, WordForm::words);
  const TermSums sums_a = mp_terms_by_spectrum(a.data(), 4, w1.data(), w2.data(), 8, WordForm::words);
  const ProductCheck check = {product_sums(sums_a, sums_b), "error check\n"};
  V c(4);
  mp_from_doubles(c.data(), 4, w1.data(), 8, check);
  EXPECT_EQ(c, words({1234, 5678, 9012, 3455}));
  // Adding the same product again, then twice more at once.
  EXPECT_EQ(mp_add_doubles(c.data(), 4, w1.data(), 8, check), 0);
  EXPECT_EQ(c, words({2469, 1357, 8024, 6910}));
  EXPECT_EQ(mp_add_doubles2(c.data(), 4, w1.data(), 8, check), 0);
  EXPECT_EQ(c, words({4938, 2715, 6049, 3821}));
  c = words({9000, 0, 0, 0});
  EXPECT_EQ(mp_add_doubles(c.data(), 4, w1.data(), 8, check), 1);  // 0.9 + 0.1234...
  EXPECT_EQ(c, words({234, 5678, 9012, 3455}));
}

TEST(BuildingBlocks, SpectrumProductsGiveTheExactConvolutions) {
  // Every way to a product's terms (spectra multiplied, a square, a product with a kept
  // spectrum, in either form) gives the convolution terms of the words, each within a hair of
  // its integer, the upper half of the terms included.
  std::mt19937 rng(13);
  for (int32_t k : {1, 2, 8, 64, 512, 4096}) {
    const int32_t L = 2 * k;
    V a = random_words(rng, k), b = random_words(rng, k);
    for (WordForm form : {WordForm::words, WordForm::balanced}) {
      // The values the words enter with (balanced: 5000 or more borrows from the word above).
      auto entered = [&](const V& w, int32_t i) {
        if (form == WordForm::words) return int64_t{w[i]};
        return int64_t{w[i]} - (i > 0 && w[i] >= 5000 ? 10000 : 0) + (i + 1 < k && w[i + 1] >= 5000);
      };
      // The sums the products are checked with: the entered values at 1 and at -1.
      auto sums = [&](const V& w) {
        TermSums s;
        for (int32_t i = 0; i < k; ++i) {
          s.at_one += static_cast<uint64_t>(entered(w, i));
          s.at_minus_one += static_cast<uint64_t>(i % 2 == 0 ? entered(w, i) : -entered(w, i));
        }
        return s;
      };
      auto same = [](TermSums x, TermSums y) {
        return x.at_one == y.at_one && x.at_minus_one == y.at_minus_one;
      };
      std::vector<double> d(L), e(L), f(L), g(L), terms(L);
      EXPECT_TRUE(same(mp_spectrum(a.data(), k, d.data(), L, form), sums(a)));
      EXPECT_TRUE(same(mp_spectrum(b.data(), k, e.data(), L, form), sums(b)));
      mp_spectrum_mul_back(d.data(), e.data(), L);
      EXPECT_TRUE(same(mp_square_terms(a.data(), k, f.data(), L, form), sums(a)));
      EXPECT_TRUE(same(mp_terms_by_spectrum(a.data(), k, g.data(), e.data(), L, form), sums(a)));
      for (int32_t p = 0; p < L; ++p) {
        int64_t square = 0, product = 0;
        for (int32_t i = 0; i < k; ++i) {
          if (p - i >= 0 && p - i < k) {
            square += entered(a, i) * entered(a, p - i);
            product += entered(a, i) * entered(b, p - i);
          }
        }
        for (auto* out : {&d, &f, &g}) {
          mp_terms(out->data(), L, terms.data());
          const double want = static_cast<double>(out == &f ? square : product);
          EXPECT_NEAR(terms[p], want, 1e-3) << "k " << k << " p " << p;
        }
      }
    }
  }
}

TEST(BuildingBlocks, ACarryRunsThroughLongRunsOfNinesAndAcrossBlocks) {
  // 200 terms of 9999 and one of 10000 below them: the carry runs through every word, across
  // the release's blocks of 64, into word 0; likewise a borrow through zeros, balanced.
  const int32_t L = 512, cnt = 202;
  std::vector<double> terms(L, 0.0);
  for (int32_t p = 0; p < 200; ++p) terms[p] = 9999;
  terms[200] = 10000;
  const TermsProduct t = product_of_terms(terms);
  for (WordForm form : {WordForm::words, WordForm::balanced}) {
    V c(cnt);
    mp_from_doubles(c.data(), cnt, t.d.data(), L, t.check, form);
    V want(cnt, 0);
    want[0] = 1;
    EXPECT_EQ(c, want);
  }
  std::vector<double> borrow(L, 0.0);
  borrow[0] = 1;
  borrow[200] = -1;
  V c(cnt);
  const TermsProduct b = product_of_terms(borrow);
  mp_from_doubles(c.data(), cnt, b.d.data(), L, b.check, WordForm::balanced);
  V want(cnt, 9999);  // 0.0001 - 10^-804: word 1 pays the borrow
  want[0] = want[1] = 0;
  EXPECT_EQ(c, want);
}

TEST(RoundingCheckDeathTest, CarryBeyondWordZeroStopsTheOverwritingRelease) {
  // Term 0 of 327680000 carries 32768 into word 0, one more than a word holds.
  TermsProduct t = product_of_terms({327680000.0, 0, 0, 0, 0, 0, 0, 0});
  V c(4);
  EXPECT_FATAL(mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check), "error mp_from_doubles\n");
  t = product_of_terms({327670000.0, 0, 0, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check);
  EXPECT_EQ(c, words({32767, 0, 0, 0}));
}

TEST(RoundingCheckDeathTest, DoubledTermsAreCheckedBeforeTheyAreDoubled) {
  // 2.2 is 0.2 from 2: it passes, and doubled releases as 4, not as the 4.4 of a doubled
  // term; 2.3 is refused.
  TermsProduct t = product_of_terms({1, 2.2, 0, 0, 0, 0, 0, 0});
  V c(4);
  EXPECT_EQ(mp_add_doubles2(c.data(), 4, t.d.data(), 8, t.check), 0);
  EXPECT_EQ(c, words({0, 2, 4, 0}));
  t = product_of_terms({1, 2.3, 0, 0, 0, 0, 0, 0});
  EXPECT_FATAL(mp_add_doubles2(c.data(), 4, t.d.data(), 8, t.check), "error fft rounding\n");
}

TEST(RoundingCheckDeathTest, TermsNoWordCanHoldStopTheRunInEveryRelease) {
  // A term of 2.3, which lies 0.3 from an integer; then a negative term, NaN, and a term of
  // 2^54, where a double shows no fraction any more.
  V c(4);
  for (double bad : {2.3, -3.0, std::nan(""), 4.0 * 4503599627370496.0}) {
    TermsProduct t = product_of_terms({1, bad, 0, 0, 0, 0, 0, 0});
    EXPECT_FATAL(mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check), "error fft rounding\n") << bad;
    EXPECT_FATAL(mp_add_doubles(c.data(), 4, t.d.data(), 8, t.check), "error fft rounding\n") << bad;
    EXPECT_FATAL(mp_add_doubles2(c.data(), 4, t.d.data(), 8, t.check), "error fft rounding\n") << bad;
    if (bad < 0.0) continue;  // balanced words have negative terms
    EXPECT_FATAL(mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check, WordForm::balanced),
                 "error fft rounding\n") << bad;
  }
  // Errors up to the limit are rounded away: 2.2 releases as 2.
  TermsProduct t = product_of_terms({1, 2.2, 0, 0, 0, 0, 0, 0});
  mp_from_doubles(c.data(), 4, t.d.data(), 8, t.check);
  EXPECT_EQ(c, words({0, 1, 2, 0}));
}

TEST(ProductCheckDeathTest, TermsChangedByAUnitOr2kOrInPairsThatCancelAtOneStopTheRelease) {
  // Products of random words, 512 by 512 in 1024 elements (the terms a release does not keep
  // are summed with the blocks below them) and 4 by 4 in 4 (summed in a pass of their own),
  // released into k + 2 words like the half products: they pass as they are and stop with the
  // product's message once their terms are changed, kept terms or not.
  std::mt19937 rng(29);
  for (int32_t k : {4, 512}) {
    const int32_t L = 2 * k, cnt = k + 2;
    const V a = random_words(rng, k), b = random_words(rng, k);
    const std::vector<std::vector<std::pair<int32_t, double>>> changes = {
        {{1, 1.0}},                          // a kept term, one unit up
        {{L - 3, 1.0}},                      // a term past the kept ones
        {{k / 2, std::ldexp(1.0, 13)}},      // 2^k
        {{k, std::ldexp(1.0, 40)}},
        {{k / 2, 1.0}, {k / 2 + 1, -1.0}},   // the same sum at 1, not at -1
        {{L - 4, -1.0}, {L - 3, 1.0}}};
    for (WordForm form : {WordForm::words, WordForm::balanced}) {
      std::vector<double> d(L), e(L);
      const TermSums sums_a = mp_spectrum(a.data(), k, d.data(), L, form);
      const TermSums sums_b = mp_spectrum(b.data(), k, e.data(), L, form);
      mp_spectrum_mul_back(d.data(), e.data(), L);
      const ProductCheck check = {product_sums(sums_a, sums_b), "error m1604h check\n"};
      V c(cnt);
      mp_from_doubles(c.data(), cnt, d.data(), L, check, form);
      mp_add_doubles(c.data(), cnt, d.data(), L, check, form);
      mp_add_doubles2(c.data(), cnt, d.data(), L, check, form);
      for (const auto& change : changes) {
        std::vector<double> terms(L, 0.0);
        for (auto [p, by] : change) terms[p] = by;
        std::vector<double> changed = product_of_terms(terms).d;
        for (int32_t i = 0; i < L; ++i) changed[i] += d[i];
        EXPECT_FATAL(mp_from_doubles(c.data(), cnt, changed.data(), L, check, form),
                     check.failure) << k << " " << change[0].first;
        if (change.size() > 1) continue;
        EXPECT_FATAL(mp_add_doubles(c.data(), cnt, changed.data(), L, check, form),
                     check.failure) << k << " " << change[0].first;
        EXPECT_FATAL(mp_add_doubles2(c.data(), cnt, changed.data(), L, check, form),
                     check.failure) << k << " " << change[0].first;
      }
    }
  }
}
