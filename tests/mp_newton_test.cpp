#include <omp.h>

#include <climits>
#include <random>

#include "mp_internal.h"
#include "test_support.h"

using V = std::vector<int16_t>;

namespace {

// Caller-owned arrays of the sizes the square root and the reciprocal need at length n, in
// either form.
struct Buffers {
  explicit Buffers(int32_t n)
      : x(std::max(n + 4, 20)), y(std::max(n + 4, 20)), t(std::max(n + 6, 22)),
        w1(std::max(n, 32)), w2(std::max(n, 32)) {}
  V x, y, t;
  std::vector<double> w1, w2;
};

V root_of(V a, int32_t n, int32_t balanced_from = kBalancedFrom) {
  Buffers s(n);
  a.resize(n + 2);
  mp_sqrt(a.data(), s.x.data(), s.y.data(), s.t.data(), n, s.w1.data(), s.w2.data(),
          balanced_from);
  return V(s.x.begin(), s.x.begin() + n);
}

V reciprocal_of(V b, int32_t n, int32_t balanced_from = kBalancedFrom) {
  Buffers s(n);
  b.resize(n + 2);
  mp_recip(b.data(), s.y.data(), s.t.data(), n, s.w1.data(), s.w2.data(), balanced_from);
  return V(s.y.begin(), s.y.begin() + n);
}

// x is floor(sqrt(a)) or one unit below it, both read on n words: X^2 <= A 10000^n < (X+2)^2.
void expect_root(const V& a, const V& x, int32_t n) {
  BigWords scaled = big_shift(big_from(a.data(), n), n);
  BigWords X = big_from(x.data(), n);
  EXPECT_LE(big_compare(big_mul(X, X), scaled), 0) << "root too large, n = " << n;
  BigWords X2 = big_add_small(X, 2);
  EXPECT_GT(big_compare(big_mul(X2, X2), scaled), 0) << "root too small, n = " << n;
}

// y (units frame) is 1/b truncated or one unit low: Y B <= 10000^(2n-1) < (Y+2) B.
void expect_reciprocal(const V& b, const V& y, int32_t n) {
  BigWords B = big_from(b.data(), n), Y = big_from(y.data(), n);
  BigWords one = big_shift(BigWords{1}, 2 * n - 1);
  EXPECT_LE(big_compare(big_mul(Y, B), one), 0) << "reciprocal too large, n = " << n;
  EXPECT_GT(big_compare(big_mul(big_add_small(Y, 2), B), one), 0) << "too small, n = " << n;
}

}  // namespace

TEST(SquareRoot, RootOfOneHalfAndItsSeed) {
  Buffers s(16);
  V a = words({5000}, 18);
  mp_sqrt(a.data(), s.x.data(), s.y.data(), s.t.data(), 16, s.w1.data(), s.w2.data());
  EXPECT_EQ(V(s.x.begin(), s.x.begin() + 16),
            words({7071, 678, 1186, 5475, 2440, 844, 3621, 484, 9039, 2848, 3593, 7688, 4740, 3658,
                   8339, 8689}));
  EXPECT_EQ(V(s.y.begin(), s.y.begin() + 4), words({1, 4142, 1356, 2373}));
  // Guard words of the operand and the result are left 0.
  EXPECT_EQ(a[16], 0);
  EXPECT_EQ(a[17], 0);
  EXPECT_EQ(s.x[16], 0);
  EXPECT_EQ(s.x[17], 0);
}

TEST(SquareRoot, ExactRootsComeOutExact) {
  EXPECT_EQ(root_of(words({2500}), 16), words({5000}, 16));
  EXPECT_EQ(root_of(words({1}), 16), words({100}, 16));
  EXPECT_EQ(root_of(V(64, 9999), 64), V(64, 9999));
  // sqrt(0.81): on the way the root is 0.8999...9 and a carry must run through words 7 to 0.
  for (int32_t n : {16, 32, 64}) EXPECT_EQ(root_of(words({8100}), n), words({9000}, n)) << n;
}

TEST(SquareRoot, CarryIntoWordFifteenWhenTheRootHasZerosAt16And17) {
  // Squares of 0.7071 r1 .. r15 0 0 x...: the root at 16 words tends to end in guard words
  // 9999 9999 with word 15 one unit low, and the correction must carry into word 15.
  std::mt19937 rng(31);
  for (int trial = 0; trial < 40; ++trial) {
    V r = random_words(rng, 64);
    r[0] = 7071;
    r[16] = r[17] = 0;
    BigWords square = big_mul(big_from(r.data(), 64), big_from(r.data(), 64));
    square.insert(square.begin(), 128 - square.size(), 0);
    V a(square.begin(), square.begin() + 64);
    V x = root_of(a, 64);
    expect_root(a, x, 64);
  }
}

TEST(SquareRoot, ArgumentsJustBelowOne) {
  // 0.9999 9999 9999 999w w..., zeros after word 4: the double seed of 1/sqrt(a) lands at or
  // above 1/a for much of this band, so the first step sees a y of 1 or more.
  for (auto [n, step] : {std::pair{16, 7}, std::pair{32, 31}, std::pair{256, 997}}) {
    for (int32_t w3 : {9998, 9999}) {
      for (int32_t w4 = 0; w4 <= 9999; w4 += step) {
        V a = words({9999, 9999, 9999, w3, w4}, n);
        expect_root(a, root_of(a, n), n);
      }
      V top = words({9999, 9999, 9999, w3, 9999}, n);
      expect_root(top, root_of(top, n), n);
    }
  }
}

TEST(SquareRoot, RandomArgumentsWithinOneUnit) {
  std::mt19937 rng(32);
  for (int32_t n = 16; n <= 1024; n *= 2) {
    for (int trial = 0; trial < 3; ++trial) {
      V a = random_words(rng, n);
      if (a[0] == 0) a[0] = 1;
      expect_root(a, root_of(a, n), n);
    }
  }
}

TEST(Reciprocal, ExactReciprocals) {
  for (int32_t n : {8, 16, 32, 256}) {
    EXPECT_EQ(reciprocal_of(words({5000}), n), words({2}, n)) << n;
    EXPECT_EQ(reciprocal_of(words({4000}), n), words({2, 5000}, n)) << n;
    EXPECT_EQ(reciprocal_of(words({2500}), n), words({4}, n)) << n;
    EXPECT_EQ(reciprocal_of(words({1}), n), words({10000}, n)) << n;
    // 1/0.333...3 exceeds 3 only after word n-1.
    EXPECT_EQ(reciprocal_of(V(n, 3333), n), words({3}, n)) << n;
    // Exact reciprocals approached from below as 1.2499...9 and the like: the last correction
    // must carry through the guard words and every 9999 above them.
    EXPECT_EQ(reciprocal_of(words({8000}), n), words({1, 2500}, n)) << n;
    EXPECT_EQ(reciprocal_of(words({6400}), n), words({1, 5625}, n)) << n;
    // 1/0.3125 = 3.2 may stop one unit low, at 3.1999...9.
    expect_reciprocal(words({3125}, n), reciprocal_of(words({3125}), n), n);
  }
}

TEST(Reciprocal, RandomArgumentsWithinOneUnitAndGuardsCleared) {
  std::mt19937 rng(41);
  for (int32_t n = 8; n <= 1024; n *= 2) {
    for (int trial = 0; trial < 3; ++trial) {
      V b = random_words(rng, n, n + 2);
      if (b[0] == 0) b[0] = 1;
      b[n] = b[n + 1] = 1234;
      Buffers s(n);
      s.y.assign(s.y.size(), 77);
      mp_recip(b.data(), s.y.data(), s.t.data(), n, s.w1.data(), s.w2.data());
      EXPECT_EQ(b[n], 0);
      EXPECT_EQ(b[n + 1], 0);
      for (int32_t k = n; k < n + 4; ++k) EXPECT_EQ(s.y[k], 0);
      expect_reciprocal(b, V(s.y.begin(), s.y.begin() + n), n);
    }
  }
}

TEST(NewtonForms, EveryFormGivesTheSameRootsAndReciprocals) {
  // Every product, down to the seeds' steps, in plain words, and the two forms part-way, give
  // what balanced words (the programs' form) give.
  std::mt19937 rng(43);
  for (int32_t n = 16; n <= 4096; n *= 2) {
    V a = random_words(rng, n);
    if (a[0] == 0) a[0] = 1;
    const V root = root_of(a, n), reciprocal = reciprocal_of(a, n);
    for (int32_t balanced_from : {64, INT32_MAX}) {
      EXPECT_EQ(root_of(a, n, balanced_from), root) << "n " << n << " " << balanced_from;
      EXPECT_EQ(reciprocal_of(a, n, balanced_from), reciprocal) << "n " << n;
    }
    if (n <= 1024) {
      expect_root(a, root, n);
      expect_reciprocal(a, reciprocal, n);
    }
  }
}

TEST(NewtonThreads, StepsSideBySideGiveTheWordsOfOneThread) {
  // With two threads or more, the steps of 2^11 to 2^16 doubles run two products at once, the
  // reciprocal's second in the spare half of w1 (but at its top step, where w1 has no spare
  // half), and the square root's square of x beside the reciprocal step's residual, in w1's
  // third quarter and t's second half (but at the top step): the same words as one thread.
  std::mt19937 rng(47);
  const int before = omp_get_max_threads();
  for (int32_t n : {4096, 65536}) {
    V a = random_words(rng, n);
    if (a[0] == 0) a[0] = 1;
    omp_set_num_threads(1);
    const V root = root_of(a, n), reciprocal = reciprocal_of(a, n);
    for (int threads : {2, 3}) {
      omp_set_num_threads(threads);
      EXPECT_EQ(root_of(a, n), root) << "n " << n << ", " << threads << " threads";
      EXPECT_EQ(reciprocal_of(a, n), reciprocal) << "n " << n << ", " << threads << " threads";
    }
  }
  omp_set_num_threads(before);
}

TEST(NewtonDeathTest, StepsStopWhenTheirCorrectionLeavesTheNumber) {
  // Bad estimates y at m = 8 words: 3.0 held as an unnormalised 30000 in word 1, whose
  // correction borrows past word 0; and 9999, whose correction carries out of it.
  const int32_t m = 8;
  std::vector<double> w1(2 * m), w2(2 * m);
  V t(m + 6);
  const V half = words({5000}, m + 2);
  V y = words({0, 30000}, m + 2);
  EXPECT_FATAL(gakpre(half.data(), y.data(), t.data(), m, w1.data(), w2.data()),
               "error gakpre s\n");
  y = words({9999}, m + 2);
  EXPECT_FATAL(gakpre(half.data(), y.data(), t.data(), m, w1.data(), w2.data()),
               "error gakpre a\n");
  EXPECT_FATAL(gsqpre(half.data(), y.data(), t.data(), m, w1.data(), w2.data()),
               "error gsqpre a\n");
  // a = 0.17 and y = 3.2767: a y^2 = 1.825, and y (a y^2 - 1) / 2 exceeds 1.
  const V a = words({1700}, m + 2);
  y = words({0, 32767}, m + 2);
  EXPECT_FATAL(gsqpre(a.data(), y.data(), t.data(), m, w1.data(), w2.data()),
               "error gsqpre s\n");
}

TEST(NewtonDeathTest, ArgumentsBelowOneTenThousandthAreRefused) {
  Buffers s(16);
  V zero(18, 0);
  EXPECT_FATAL(mp_recip(zero.data(), s.y.data(), s.t.data(), 16, s.w1.data(), s.w2.data()),
               "error mp_recip argument\n");
  EXPECT_FATAL(mp_sqrt(zero.data(), s.x.data(), s.y.data(), s.t.data(), 16, s.w1.data(),
                       s.w2.data()),
               "error mp_sqrt argument\n");
}
