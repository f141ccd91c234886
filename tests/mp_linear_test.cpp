#include <omp.h>

#include <random>

#include "carry_chain.h"
#include "mp.h"
#include "mp_internal.h"
#include "test_support.h"

using V = std::vector<int16_t>;

TEST(AddSub, CarryAndBorrowLeaveWordZero) {
  V c(2);
  EXPECT_EQ(mp_add(words({9999, 9999}).data(), words({0, 1}).data(), c.data(), 2), 1);
  EXPECT_EQ(c, words({0, 0}));
  EXPECT_EQ(mp_add(words({4999, 0}).data(), words({5000, 0}).data(), c.data(), 2), 0);
  EXPECT_EQ(c, words({9999, 0}));
  EXPECT_EQ(mp_sub(words({0, 0}).data(), words({0, 1}).data(), c.data(), 2), -1);
  EXPECT_EQ(c, words({9999, 9999}));
  EXPECT_EQ(mp_sub(words({5000, 0}).data(), words({5000, 0}).data(), c.data(), 2), 0);
  EXPECT_EQ(c, words({0, 0}));
  // Folded: the carry out of word 0 stays in it, on top of a word 0 that already holds one.
  mp_add_folded(words({9999, 9999}).data(), words({0, 1}).data(), c.data(), 2);
  EXPECT_EQ(c, words({10000, 0}));
  mp_add_folded(words({10000, 5000}).data(), words({9999, 5000}).data(), c.data(), 2);
  EXPECT_EQ(c, words({20000, 0}));
}

TEST(AddSub, InPlaceIntoEitherInputMatchesSeparateResult) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 50; ++trial) {
    V a = random_words(rng, 37), b = random_words(rng, 37), sum(37), diff(37);
    int32_t carry = mp_add(a.data(), b.data(), sum.data(), 37);
    int32_t borrow = mp_sub(a.data(), b.data(), diff.data(), 37);
    V a1 = a, b1 = b;
    EXPECT_EQ(mp_add(a1.data(), b.data(), a1.data(), 37), carry);
    EXPECT_EQ(a1, sum);
    EXPECT_EQ(mp_sub(a.data(), b1.data(), b1.data(), 37), borrow);
    EXPECT_EQ(b1, diff);
    // a - b + b gives a back, with the borrow and the carry cancelling.
    EXPECT_EQ(mp_add(diff.data(), b.data(), diff.data(), 37), borrow == -1 ? 1 : 0);
    EXPECT_EQ(diff, a);
  }
}

TEST(AddSub, LongSumsAndDifferencesAreExact) {
  // 3001 words go in blocks; runs of 9999 and 0 make carries and borrows run through words and
  // across blocks. a + b against exact sums; a - b checked as (a - b) + b = a with the carry
  // and the borrow cancelling.
  std::mt19937 rng(5);
  constexpr int32_t n = 3001;
  for (int trial = 0; trial < 20; ++trial) {
    V a = random_words(rng, n), b = random_words(rng, n), sum(n), diff(n);
    for (int32_t run = 0; run < 8; ++run) {
      const int32_t at = static_cast<int32_t>(rng() % (n - 200)), len = 1 + rng() % 150;
      for (int32_t k = at; k < at + len; ++k) {
        a[k] = trial % 2 == 0 ? 9999 : 0;
        b[k] = trial % 2 == 0 ? 0 : a[k];
      }
    }
    const int32_t carry = mp_add(a.data(), b.data(), sum.data(), n);
    const BigWords exact = big_add(big_from(a.data(), n), big_from(b.data(), n));
    EXPECT_EQ(big_from(sum.data(), n), big_low(exact, n));
    EXPECT_EQ(carry, big_high(exact, n));
    const int32_t borrow = mp_sub(a.data(), b.data(), diff.data(), n);
    EXPECT_EQ(mp_add(diff.data(), b.data(), diff.data(), n), borrow == -1 ? 1 : 0);
    EXPECT_EQ(diff, a);
  }
}

TEST(SmallFactor, ExactForEveryFactorBelowTwoToThe31) {
  std::mt19937 rng(2);
  const double factors[] = {0, 1, 2, 3, 9999, 10000, 65536, 123456789, 199999999, 2147483647.0};
  // 20 words go in one chain; 3001 in four lanes of unequal length with a partial block, and
  // words of 9999 carry across the lanes' bounds.
  for (int32_t n : {20, 3001}) {
    for (double f : factors) {
      for (bool nines : {false, true}) {
        V a = nines ? V(n, 9999) : random_words(rng, n), acc = random_words(rng, n), c(n);
        BigWords product = big_mul(big_from(a.data(), n), BigWords{static_cast<int64_t>(f)});
        mp_mul_small_to(a.data(), f, c.data(), n);
        EXPECT_EQ(big_from(c.data(), n), big_low(product, n)) << "factor " << f << ", " << n;
        V in_place = a;
        mp_mul_small(in_place.data(), f, n);
        EXPECT_EQ(in_place, c);
        // c + a f: the carry out of word 0 is the part above the n words.
        BigWords sum = big_add(product, big_from(acc.data(), n));
        int32_t carry = mp_mul_small_add(a.data(), f, acc.data(), n);
        EXPECT_EQ(big_from(acc.data(), n), big_low(sum, n)) << "factor " << f << ", " << n;
        EXPECT_EQ(carry, big_high(sum, n)) << "factor " << f << ", " << n;
      }
    }
  }
}

TEST(SmallFactor, ExamplesWithLostAndReturnedCarry) {
  V c(2);
  mp_mul_small_to(words({5000, 0}).data(), 2, c.data(), 2);
  EXPECT_EQ(c, words({0, 0}));
  mp_mul_small_to(words({1234, 5678}).data(), 3, c.data(), 2);
  EXPECT_EQ(c, words({3703, 7034}));
  c = words({0, 0});
  EXPECT_EQ(mp_mul_small_add(words({5000, 0}).data(), 3, c.data(), 2), 1);
  EXPECT_EQ(c, words({5000, 0}));
}

TEST(Halving, DropsTheRemainderAndAcceptsAFoldedIntegerPart) {
  V c(2);
  mp_half(words({1, 0}).data(), c.data(), 2);
  EXPECT_EQ(c, words({0, 5000}));
  mp_half(words({10001, 0}).data(), c.data(), 2);
  EXPECT_EQ(c, words({5000, 5000}));
  mp_half(words({0, 1}).data(), c.data(), 2);
  EXPECT_EQ(c, words({0, 0}));
  V q = words({3, 0, 0});
  mp_quarter(q.data(), 3);
  EXPECT_EQ(q, words({0, 7500, 0}));
  q = words({10000, 0});
  mp_quarter(q.data(), 2);
  EXPECT_EQ(q, words({2500, 0}));
  q = words({32767, 9999});  // 3.2767...: the largest folded value
  mp_quarter(q.data(), 2);
  EXPECT_EQ(q, words({8191, 9999}));
  V h = words({32767, 1});
  mp_half(h.data(), h.data(), 2);
  EXPECT_EQ(h, words({16383, 5000}));
}

TEST(Halving, RandomNumbersInPlaceAndApartAgainstExactDivision) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 20; ++trial) {
    V a = random_words(rng, 33);
    a[0] = static_cast<int16_t>(a[0] + 10000 * (trial % 3));  // folded integer parts too
    V half(33), quarter = a, in_place = a;
    mp_half(a.data(), half.data(), 33);
    mp_half(in_place.data(), in_place.data(), 33);
    mp_quarter(quarter.data(), 33);
    EXPECT_EQ(in_place, half);
    // 2 floor(A / 2) + (A mod 2) = A and 4 floor(A / 4) + (A mod 4) = A.
    BigWords A = big_from(a.data(), 33);
    EXPECT_EQ(big_compare(big_add_small(big_mul(big_from(half.data(), 33), {2}), a[32] & 1), A), 0);
    EXPECT_EQ(
        big_compare(big_add_small(big_mul(big_from(quarter.data(), 33), {4}), a[32] & 3), A), 0);
    for (int k = 1; k < 33; ++k) EXPECT_LT(half[k], 10000);
    for (int k = 1; k < 33; ++k) EXPECT_LT(quarter[k], 10000);
  }
}

TEST(UnitCarries, RunThroughEveryWord) {
  V a = words({1, 9999, 9999});
  kuriage(a.data(), 3);
  EXPECT_EQ(a, words({2, 0, 0}));
  a = words({1, 0, 0});
  kurisage(a.data(), 3);
  EXPECT_EQ(a, words({0, 9999, 9999}));
  a = words({5, 6, 7});
  kuriage_h(a.data(), 3, 0);
  EXPECT_EQ(a, words({5, 6, 7}));
  a = words({0, 9999, 9999});
  kuriage_h(a.data(), 3, 1);
  EXPECT_EQ(a, words({1, 0, 0}));
  a = words({0, 0, 0, 0});
  kuriage_h(a.data(), 4, 123456789);
  EXPECT_EQ(a, words({0, 1, 2345, 6789}));
  a = words({0, 9999, 9999, 9999});
  kuriage_h(a.data(), 4, 2147483647);
  EXPECT_EQ(a, words({1, 21, 4748, 3646}));
  // A large carry that falls to one runs on through the 9999s above it.
  a = words({3, 9999, 9999, 5000});
  kuriage_h(a.data(), 4, 50000);
  EXPECT_EQ(a, words({4, 0, 4, 5000}));
}

TEST(UnitCarriesDeathTest, OverflowOfWordZeroIsFatal) {
  V a = words({9999, 9999});
  EXPECT_FATAL(kuriage(a.data(), 2), "error kuriage");
  a = words({0, 0});
  EXPECT_FATAL(kurisage(a.data(), 2), "error kurisage");
  a = words({9999, 9999, 9999});
  EXPECT_FATAL(kuriage_h(a.data(), 3, 1), "error kuriage_h");
  EXPECT_FATAL(kuriage(a.data(), 0), "error kuriage");
  // Carries of 2 and of 20000 out of word 0 are as fatal as a carry of 1.
  a = words({9999, 0});
  EXPECT_FATAL(kuriage_h(a.data(), 2, 200000000), "error kuriage_h");
  a = words({0, 0});
  EXPECT_FATAL(kuriage_h(a.data(), 2, 2000000000), "error kuriage_h");
}

TEST(FatalDeathTest, PrintsToStandardOutputAndExitsWithOne) {
  EXPECT_FATAL(fatal("Memory Allocation Failure!\n"), "Memory Allocation Failure!\n");
}

TEST(LongOperations, TheSameWordsAndCarriesForAnyThreadCount) {
  // At this length every operation runs in ranges shared by the threads and joins their
  // carries: runs of 9999 and 0 make carries and borrows cross every range bound.
  constexpr int32_t n = (1 << 17) + 3;
  static_assert(n > kLinearParallelFrom && n > kParallelFrom);
  std::mt19937 rng(47);
  V a = random_words(rng, n), b = random_words(rng, n);
  V nines(n, 9999), zeros(n, 0), one(n, 0);
  one[n - 1] = 1;
  nines[0] = 4999;
  a[0] = 12345;  // a folded integer part in word 0
  auto run_all = [&]() {
    std::vector<V> out;
    std::vector<int64_t> carries;
    V c(n);
    carries.push_back(mp_add(a.data(), b.data(), c.data(), n)), out.push_back(c);
    carries.push_back(mp_add(nines.data(), one.data(), c.data(), n)), out.push_back(c);
    carries.push_back(mp_sub(b.data(), a.data(), c.data(), n)), out.push_back(c);
    carries.push_back(mp_sub(zeros.data(), one.data(), c.data(), n)), out.push_back(c);
    c = b;
    carries.push_back(mp_mul_small_add(a.data(), 2147483647.0, c.data(), n)), out.push_back(c);
    mp_mul_small_to(nines.data(), 7.0, c.data(), n), out.push_back(c);
    c = a;
    mp_half(c.data(), c.data(), n), out.push_back(c);
    mp_quarter(c.data(), n), out.push_back(c);
    return std::make_pair(out, carries);
  };
  omp_set_num_threads(1);
  const auto serial = run_all();
  for (int threads : {2, 3, 4}) {
    omp_set_num_threads(threads);
    EXPECT_TRUE(run_all() == serial) << threads << " threads";
  }
  omp_set_num_threads(omp_get_num_procs());
  // And the results are the right ones: 0.4999 9999 ... + 10000^-n is 0.5, and 0 - 10000^-n
  // wraps to all 9999 with a borrow.
  EXPECT_EQ(serial.second[1], 0);
  EXPECT_EQ(serial.first[1], words({5000}, n));
  EXPECT_EQ(serial.second[3], -1);
  EXPECT_EQ(serial.first[3], V(n, 9999));
}

// A block settled at once gives the chain's words and carry, or declines, for totals of either
// sign up to the chain's bound, runs of 9999s and of 0s included.
template <bool is_signed>
void check_block_settling(uint32_t seed) {
  std::mt19937 rng(seed);
  constexpr int32_t bound = (1 << 28) - 10000;  // a place's total with its carry stays below 2^28
  int32_t settled = 0, declined = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    int32_t sums[kCarryBlock], high[kCarryBlock + 2] = {};
    const int kind = trial % 4;
    for (int32_t i = 0; i < kCarryBlock; ++i) {
      int32_t total;
      if (kind == 0) {
        total = static_cast<int32_t>(rng() % bound);
        if (is_signed && rng() % 2 == 1) total = -total;
      } else if (kind == 1) {
        total = 9999;  // the carry into the block runs through every place
      } else if (kind == 2) {
        total = is_signed ? -static_cast<int32_t>(rng() % 3) : 0;
      } else {
        total = static_cast<int32_t>(rng() % 20000);
      }
      // Split between a place's sum (with its bias) and the high part landing on it, two
      // places on; terms of one sign give parts of that sign.
      const int32_t part = is_signed ? static_cast<int32_t>(rng() % 1000) - 500
                                     : static_cast<int32_t>(rng() % (total + 1));
      sums[i] = total - part + chain_bias<is_signed>() * (kWordBase - 1);
      high[i + 2] = part;
    }
    const int32_t carry_in =
        chain_bias<is_signed>() + static_cast<int32_t>(rng() % 20000) - (is_signed ? 10000 : 0);
    int32_t chain_carry = carry_in;
    int16_t chain_words[kCarryBlock];
    for (int32_t i = kCarryBlock - 1; i >= 0; --i) {
      chain_words[i] = settle_place<is_signed>(chain_carry, sums[i] + high[i + 2]);
    }
    int32_t block_carry = carry_in;
    int16_t block_words[kCarryBlock];
    if (settle_block<is_signed>(block_carry, sums, high, block_words)) {
      ++settled;
      ASSERT_EQ(block_carry, chain_carry) << "trial " << trial;
      for (int32_t i = 0; i < kCarryBlock; ++i) ASSERT_EQ(block_words[i], chain_words[i]);
    } else {
      ++declined;
      EXPECT_EQ(block_carry, carry_in);  // left for the chain as it came
    }
  }
  EXPECT_GT(settled, 2000);
  EXPECT_GT(declined, 0);
}

TEST(BlockSettling, MatchesThePlaceByPlaceChain) {
  check_block_settling<true>(7);
  check_block_settling<false>(8);
}
