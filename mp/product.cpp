// Long products through the real-data transform: words to doubles, pointwise spectrum products,
// and the rounding release of the inverse transform back into words.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "carry_chain.h"
#include "complex.h"
#include "fft.h"
#include "mp_internal.h"
#include "parallel.h"

namespace {

// A balanced word of this value or more takes kWordBase off and carries one into the word above.
constexpr int32_t kHalfBase = kWordBase / 2;

// A product of words in a transform of L doubles is the negacyclic product of length L: the
// words x_j enter as complex elements x_j theta^j (j < L/2, theta = e^(i pi / L)), the
// transform's cyclic convolution of L/2 elements then holds c_j + i c_(j+L/2) times theta^j,
// and the terms come back as the parts of element j times conj(theta^j). The linear product
// of two operands of at most L/2 words has fewer than L terms, so nothing wraps.
//
// theta^j = theta^(4096 s) theta^(64 m) theta^i for j = 4096 s + 64 m + i: the first from cos
// and sin once every 4096 elements, the others from two tables of 64 made for each call. Long
// transforms fill the tables from cos and sin, since a weight's error lands on every term;
// shorter ones, whose terms are small, build them from exact powers theta^(2^k) by products,
// which costs far less than a call per entry.
constexpr int32_t kWeightBlock = 64;
constexpr int32_t kExactWeightsFrom = 1 << 16;

struct Weights {
  Cx fine[kWeightBlock];  // theta^i
  Cx mid[kWeightBlock];   // theta^(64 m)
};

// table[i] = root^i for i < count, root = e^(i pi step / L) (step a power of two).
void fill_powers(Cx* table, int32_t count, int32_t step, int32_t L) {
  table[0] = {1.0, 0.0};
  for (int32_t i = 1; i < count; ++i) {
    if (L >= kExactWeightsFrom) {
      const double angle = kPi * (static_cast<double>(i) * step) / L;
      table[i] = {std::cos(angle), std::sin(angle)};
    } else {
      // root^i = root^(2^b) root^(i - 2^b), with root^(2^b) = e^(i pi / (L / (step 2^b))).
      const int32_t top = 1 << (31 - __builtin_clz(static_cast<uint32_t>(i)));
      const Cx power = half_turn_over(L / (step * top));
      table[i] = top == i ? power : power * table[i - top];
    }
  }
}

Weights make_weights(int32_t L) {
  const int32_t elements = L / 2;
  Weights weights;
  fill_powers(weights.fine, elements < kWeightBlock ? elements : kWeightBlock, 1, L);
  const int32_t blocks = (elements + kWeightBlock - 1) / kWeightBlock;
  fill_powers(weights.mid, blocks < kWeightBlock ? blocks : kWeightBlock, kWeightBlock, L);
  return weights;
}

constexpr int32_t kSuperBlock = kWeightBlock * kWeightBlock;

// theta^(4096 s) of the super-block that the last block lay in, kept from block to block.
struct SuperStart {
  int32_t index = 0;
  Cx value = {1.0, 0.0};
};

// The weights theta^j of the block of elements from `first` (a multiple of kWeightBlock).
// Only entries from to to - 1 are formed: a partial block needs no more.
inline void block_weights(const Weights& weights, int32_t first, int32_t L, SuperStart& super,
                          double* re, double* im, int32_t from = 0, int32_t to = kWeightBlock) {
  const int32_t index = first / kSuperBlock;
  if (index != super.index) {
    const double angle = kPi * (static_cast<double>(index) * kSuperBlock) / L;
    super = {index, index == 0 ? Cx{1.0, 0.0} : Cx{std::cos(angle), std::sin(angle)}};
  }
  const Cx start = super.value * weights.mid[(first / kWeightBlock) % kWeightBlock];
  for (int32_t i = from; i < to; ++i) {
    re[i] = start.re * weights.fine[i].re - start.im * weights.fine[i].im;
    im[i] = start.re * weights.fine[i].im + start.im * weights.fine[i].re;
  }
}

}  // namespace

namespace {

// Converts the words of elements first to first + kWeightBlock - 1 (at most `elements`); one
// out-of-line copy, whether a thread runs it alone or shares the blocks.
inline void convert_block(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form,
                          const Weights& weights, SuperStart& super, int32_t first) {
  const int32_t elements = L / 2;
  const int32_t end = elements - first < kWeightBlock ? elements : first + kWeightBlock;
  double re[kWeightBlock], im[kWeightBlock];
  block_weights(weights, first, L, super, re, im, 0, end - first);
  // Words with a word after them, the last word, then zeros up to the end of the block.
  const int32_t inner = k - 1 < end ? (k - 1 > first ? k - 1 : first) : end;
  if (form == WordForm::balanced) {
    // A balanced word of 5000 or more borrows one from the word above (not word 0).
    for (int32_t j = first; j < inner; ++j) {
      const double x = w[j] - (w[j] >= kHalfBase ? kWordBase : 0) + (w[j + 1] >= kHalfBase);
      d[2 * j] = x * re[j - first];
      d[2 * j + 1] = x * im[j - first];
    }
    if (first == 0 && k > 1 && w[0] >= kHalfBase) {
      d[0] += kWordBase * re[0];  // word 0 keeps what it borrows from
      d[1] += kWordBase * im[0];
    }
  } else {
    for (int32_t j = first; j < inner; ++j) {
      d[2 * j] = w[j] * re[j - first];
      d[2 * j + 1] = w[j] * im[j - first];
    }
  }
  int32_t j = inner;
  if (j == k - 1 && j < end) {
    const double x = form == WordForm::balanced && j > 0 && w[j] >= kHalfBase
                         ? w[j] - kWordBase
                         : static_cast<double>(w[j]);
    d[2 * j] = x * re[j - first];
    d[2 * j + 1] = x * im[j - first];
    ++j;
  }
  for (; j < end; ++j) d[2 * j] = d[2 * j + 1] = 0.0;
}

// Converts the blocks of one super-block; one out-of-line copy, whether a thread runs it alone
// or shares the super-blocks.
[[gnu::noinline]] void convert_super_block(const int16_t* w, int32_t k, double* d, int32_t L,
                                           WordForm form, const Weights& weights, int32_t first) {
  SuperStart super;
  const int32_t end = first + kSuperBlock < L / 2 ? first + kSuperBlock : L / 2;
  for (int32_t block = first; block < end; block += kWeightBlock) {
    convert_block(w, k, d, L, form, weights, super, block);
  }
}

}  // namespace

TermSums word_sums(const int16_t* w, int32_t k, WordForm form) {
  // Read from the words themselves, apart from the conversion, so that the check covers it too.
  // Balanced words take 10000 from each word of 5000 or more but word 0 and add 1 to the word
  // above it: with B such words, and Bs their count with the sign (-1)^j, the sums are the
  // plain ones less 9999 B at 1 and less 10001 Bs at -1. Words are below 2^15 and fewer than
  // 2^30: 64 bits hold the sums as they are.
  int64_t even = 0, odd = 0, even_big = 0, odd_big = 0;
  int32_t j = 0;
  for (; j + 1 < k; j += 2) {
    even += w[j];
    odd += w[j + 1];
    even_big += w[j] >= kHalfBase;
    odd_big += w[j + 1] >= kHalfBase;
  }
  if (j < k) {
    even += w[j];
    even_big += w[j] >= kHalfBase;
  }
  int64_t at_one = even + odd, at_minus_one = even - odd;
  if (form == WordForm::balanced) {
    if (k > 0 && w[0] >= kHalfBase) --even_big;  // word 0 keeps its value
    at_one -= (kWordBase - 1) * (even_big + odd_big);
    at_minus_one -= (kWordBase + 1) * (even_big - odd_big);
  }
  return {static_cast<uint64_t>(at_one), static_cast<uint64_t>(at_minus_one)};
}

TermSums product_sums(TermSums a, TermSums b) {
  return {a.at_one * b.at_one, a.at_minus_one * b.at_minus_one};
}

TermSums mp_to_doubles(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  const Weights weights = make_weights(L);
  for_each_step(use_threads(L, kParallelFrom), 0, L / 2, kSuperBlock, [=, &weights](int32_t first) {
    convert_super_block(w, k, d, L, form, weights, first);
  });
  return word_sums(w, k, form);
}


namespace {

enum class ReleaseMode { overwrite, add, add_twice };

// From 2^52 on a double has no fractional part left, so a term's distance from the nearest
// integer no longer shows the transform's error; such a term counts as a failure.
constexpr double kLargestCheckableTerm = 4503599627370496.0;

// Terms are rounded, checked and split into digits a block at a time, in loops without a
// dependency from one term to the next, which the compiler vectorises.
constexpr int32_t kReleaseBlock = kWeightBlock;
static_assert(kReleaseBlock == kCarryBlock);

// A diagnostic build (TALLOW_ROUNDING_REPORT) prints the largest distance of any released term
// from its integer to standard error at exit; the programs themselves keep no such record.
#ifdef TALLOW_ROUNDING_REPORT
constexpr bool kReportRounding = true;
#else
constexpr bool kReportRounding = false;
#endif

[[maybe_unused]] void report_rounding(double worst) {
  static double largest = -1.0;
  if (largest < 0.0) {
    std::atexit([] { std::fprintf(stderr, "worst release distance: %.3g\n", largest); });
  }
  largest = std::fmax(largest, worst);
}

// The nearest integer to x, and whether x lies close enough to it to be a term of a product:
// also refuses what no digit can hold (terms too large to check, NaN, and negative terms
// unless signed ones are allowed).
// A failed term counts as 0 in the sums, which are not looked at once a term has failed.
template <bool is_signed>
inline double round_term(double x, int32_t& failed, double& worst) {
  const double r = std::floor(x + 0.5);
  const bool fits = (std::fabs(x - r) <= kRoundingLimit) & (is_signed || r >= 0.0) &
                    (std::fabs(x) < kLargestCheckableTerm);
  failed |= !fits;
  if constexpr (kReportRounding) worst = std::fmax(worst, std::fabs(x - r));
  return fits ? r : 0.0;
}

// rounded[i] = round_term(terms[i]) for a block; the flags kept in locals, so that the loop
// vectorises.
template <bool is_signed>
inline void round_terms(const double* terms, double* rounded, int32_t len, int32_t& failed,
                        double& worst) {
  int32_t block_failed = 0;
  double block_worst = 0.0;
  for (int32_t i = 0; i < len; ++i) {
    rounded[i] = round_term<is_signed>(terms[i], block_failed, block_worst);
  }
  failed |= block_failed;
  if constexpr (kReportRounding) worst = std::fmax(worst, block_worst);
}

// What a release has seen of its terms so far: a failed rounding check, the largest distance
// (diagnostic builds only) and the sums of the rounded terms.
struct ReleaseTally {
  int32_t failed = 0;
  double worst = 0.0;
  TermSums sums;
};

void add_tally(ReleaseTally& total, const ReleaseTally& part) {
  total.failed |= part.failed;
  total.worst = std::fmax(total.worst, part.worst);
  total.sums.at_one += part.sums.at_one;
  total.sums.at_minus_one += part.sums.at_minus_one;
}

// Adds the rounded terms first to first + len - 1 (at most 64, below 2^52 each) to the sums.
inline void add_to_sums(const double* rounded, int32_t first, int32_t len, TermSums& sums) {
  int64_t even = 0, odd = 0;  // of the block's own positions; 64 terms stay below 2^58
  int32_t i = 0;
  for (; i + 1 < len; i += 2) {
    even += static_cast<int64_t>(rounded[i]);
    odd += static_cast<int64_t>(rounded[i + 1]);
  }
  if (i < len) even += static_cast<int64_t>(rounded[i]);
  sums.at_one += static_cast<uint64_t>(even + odd);
  sums.at_minus_one += static_cast<uint64_t>(first % 2 == 0 ? even - odd : odd - even);
}

// The terms first to first + len - 1 of a block that does not cross a multiple of
// kWeightBlock, unweighted and scaled: term p is the real part of element p times
// conj(theta^p) for p < L/2, term p + L/2 its imaginary part. upper, when given for a block
// below L/2 of a transform of at least 2 kWeightBlock doubles, receives the terms L/2 above,
// from the same elements.
[[gnu::always_inline]] inline void block_terms(const double* d, int32_t L, const Weights& weights, SuperStart& super,
                        int32_t first, int32_t len, double* terms, double* upper = nullptr) {
  const int32_t elements = L / 2;
  const double scale = 2.0 / L;
  double re[kWeightBlock], im[kWeightBlock];
  if (elements >= kWeightBlock) {
    // The block lies in one half and one weight block.
    const bool in_upper_half = first >= elements;
    const int32_t j0 = in_upper_half ? first - elements : first;
    const int32_t base = j0 & ~(kWeightBlock - 1), off = j0 - base;
    block_weights(weights, base, L, super, re, im, off, off + len);
    const double* z = d + 2 * j0;
    if (in_upper_half) {
      for (int32_t i = 0; i < len; ++i) {
        terms[i] = scale * (z[2 * i + 1] * re[off + i] - z[2 * i] * im[off + i]);
      }
    } else if (upper == nullptr) {
      for (int32_t i = 0; i < len; ++i) {
        terms[i] = scale * (z[2 * i] * re[off + i] + z[2 * i + 1] * im[off + i]);
      }
    } else {
      for (int32_t i = 0; i < len; ++i) {
        terms[i] = scale * (z[2 * i] * re[off + i] + z[2 * i + 1] * im[off + i]);
        upper[i] = scale * (z[2 * i + 1] * re[off + i] - z[2 * i] * im[off + i]);
      }
    }
  } else {
    block_weights(weights, 0, L, super, re, im, 0, elements);
    for (int32_t i = 0; i < len; ++i) {
      const int32_t p = first + i, j = p < elements ? p : p - elements;
      const double zr = d[2 * j], zi = d[2 * j + 1];
      terms[i] = scale * (p < elements ? zr * re[j] + zi * im[j] : zi * re[j] - zr * im[j]);
    }
  }
}

// Rounds, checks and sums the terms of one block (first to first + len - 1) and forms what the
// carry chain adds at their places (place_sums). Terms from unreleased_from on that share the
// block's elements (L/2 above them) are rounded, checked and summed too, in the same pass over
// memory.
template <ReleaseMode mode, WordForm form>
[[gnu::always_inline]] inline void prepare_block(const double* d, int32_t L,
                                                 const Weights& weights, SuperStart& super,
                                                 int32_t first, int32_t len,
                                                 int32_t unreleased_from, const int16_t* c,
                                                 int32_t cnt, int32_t* above, int32_t* high,
                                                 int32_t* sums, ReleaseTally& tally) {
  constexpr bool is_signed = form == WordForm::balanced;
  double terms[kReleaseBlock], upper[kReleaseBlock], rounded[kReleaseBlock];
  const int32_t upper_first = first + L / 2;
  const bool with_upper = first + len <= L / 2 && upper_first + len > unreleased_from;
  block_terms(d, L, weights, super, first, len, terms, with_upper ? upper : nullptr);
  round_terms<is_signed>(terms, rounded, len, tally.failed, tally.worst);
  if (with_upper) {
    // Term p + L/2 has the parity of term p (L/2 is even): the two are summed as one, exactly
    // (below 2^53).
    const int32_t from = unreleased_from > upper_first ? unreleased_from - upper_first : 0;
    double both[kReleaseBlock];
    round_terms<is_signed>(upper, both, len, tally.failed, tally.worst);
    for (int32_t i = 0; i < len; ++i) both[i] = rounded[i] + (i >= from ? both[i] : 0.0);
    add_to_sums(both, first, len, tally.sums);
  } else {
    add_to_sums(rounded, first, len, tally.sums);
  }
  if constexpr (mode == ReleaseMode::add_twice) {
    for (int32_t i = 0; i < len; ++i) rounded[i] *= 2.0;
  }
  int32_t low[kReleaseBlock];
  split_parts(rounded, high, low, len);
  // Places up to cnt - 2 are stored, and the accumulating forms add their old words.
  const int32_t stored = cnt - 1 - first < len ? cnt - 1 - first : len;
  place_sums<form == WordForm::balanced>(low, len, c + first + 1,
                                         mode != ReleaseMode::overwrite ? stored : 0, above,
                                         high, sums);
}

// Rounds, checks and sums the terms first_term to L - 1, which no release keeps.
template <WordForm form>
void sum_unreleased(const double* d, int32_t L, const Weights& weights, int32_t first_term,
                    ReleaseTally& tally) {
  SuperStart super;
  double rounded[kReleaseBlock];
  for (int32_t first = first_term; first < L;) {
    const int32_t end = ((first / kReleaseBlock) + 1) * kReleaseBlock;
    const int32_t len = (end < L ? end : L) - first;
    double terms[kReleaseBlock];
    block_terms(d, L, weights, super, first, len, terms);
    round_terms<form == WordForm::balanced>(terms, rounded, len, tally.failed, tally.worst);
    add_to_sums(rounded, first, len, tally.sums);
    first += len;
  }
}

// Releases terms first to end - 1 into their words (term p belongs to word p + 1, stored while
// p <= cnt - 2; below, when given, receives the words of places cnt - 1 and cnt, which are not
// stored), from the last term up, in lanes (carry_in_lanes); returns the carry out of the
// range, which belongs to word first. Stops at the first block with a term that fails the
// check. unreleased_from: as for prepare_block.
template <ReleaseMode mode, WordForm form>
[[gnu::noinline]] int64_t release_range(int16_t* c, int32_t cnt, const double* d, int32_t L,
                                        const Weights& weights, int32_t first_term,
                                        int32_t end_term, int32_t unreleased_from,
                                        ReleaseTally& total, int16_t* below = nullptr) {
  // Counted here and added to total once: the threads' totals share a cache line.
  ReleaseTally tally;
  SuperStart super[kCarryLanes];
  int64_t out = 0;
  carry_in_lanes<form == WordForm::balanced>(
      c, 1, first_term, end_term, cnt - 1,
      [&](int32_t lane, int32_t first, int32_t len, int32_t* above, int32_t* high,
          int32_t* sums) __attribute__((always_inline)) {
        prepare_block<mode, form>(d, L, weights, super[lane], first, len, unreleased_from, c, cnt,
                                  above, high, sums, tally);
        return tally.failed == 0;
      },
      [=](int32_t p, int16_t word, bool stored) __attribute__((always_inline)) {
        if (stored || p <= cnt - 2) {
          c[p + 1] = word;
        } else if (below != nullptr && p - (cnt - 1) < 2) {
          below[p - (cnt - 1)] = word;
        }
      },
      out);
  add_tally(total, tally);
  return tally.failed == 0 ? out : 0;
}

// Balanced products take kBalancedLookAhead terms past the last word when those settle the carry
// into it exactly, and all terms otherwise. Every term lies below 2^54 in magnitude, so all the
// terms past the look-ahead add less than 10^12 units of its last place, and the look-ahead's
// own words (the sum of its terms, modulo 10000^6) decide: unless their top two are both 0 or
// both 9999, that sum stays within one carry of where it is, and the carry is exact.
constexpr int32_t kBalancedLookAhead = 6;

template <ReleaseMode mode>
int32_t balanced_look_ahead(int32_t cnt, const double* d, int32_t L, const Weights& weights) {
  if (L - cnt <= kBalancedLookAhead) return L - cnt;
  ReleaseTally tally;  // the release proper rounds these terms again and counts them
  int16_t below[2];
  release_range<mode, WordForm::balanced>(nullptr, cnt, d, L, weights, cnt - 1,
                                          cnt - 1 + kBalancedLookAhead, L, tally, below);
  const bool settled = tally.failed == 0 && !(below[0] == 0 && below[1] == 0) &&
                       !(below[0] == kWordBase - 1 && below[1] == kWordBase - 1);
  return settled ? kBalancedLookAhead : L - cnt;
}

template <ReleaseMode mode, WordForm form>
int32_t release(int16_t* c, int32_t cnt, const double* d, int32_t L, const ProductCheck& check) {
  const Weights weights = make_weights(L);
  int32_t look_ahead = L - cnt < 3 ? L - cnt : 3;
  if constexpr (form == WordForm::balanced) {
    look_ahead = balanced_look_ahead<mode>(cnt, d, L, weights);
  }
  const int32_t terms = cnt - 1 + (look_ahead > 0 ? look_ahead : 0);
  // The terms not kept are summed with the blocks L/2 below them when all of those are
  // released; otherwise in a pass of their own.
  const bool fold_unreleased = terms >= L / 2 && L / 2 >= kWeightBlock;
  const int32_t unreleased_from = fold_unreleased ? terms : L;
  ReleaseTally tally;
  int64_t top;
  // A release rounds all L terms, kept or not, so its work follows the transform's length: it
  // shares the threads whenever the transform does.
  if (!use_threads(L, kParallelFrom) || cnt < 2 * kMaxRanges) {
    top = release_range<mode, form>(c, cnt, d, L, weights, 0, terms, unreleased_from, tally);
  } else {
    // Ranges shared as threads come free (cut_ranges): range r holds terms start[r] to
    // start[r + 1] - 1; every bound below cnt - 1 keeps the words the carries run through
    // stored, and the last range takes the look-ahead terms. The carries out of the ranges are
    // then added in, from the lowest range up, exactly as one chain would have carried them.
    int32_t start[kMaxRanges + 1];
    int64_t carry[kMaxRanges];
    ReleaseTally part[kMaxRanges];
    const int32_t ranges = cut_ranges(0, cnt - 1, start);
    start[ranges] = terms;
#pragma omp parallel for schedule(dynamic, 1)
    for (int32_t r = 0; r < ranges; ++r) {
      carry[r] = release_range<mode, form>(c, cnt, d, L, weights, start[r], start[r + 1],
                                           unreleased_from, part[r]);
    }
    for (int32_t r = 0; r < ranges; ++r) add_tally(tally, part[r]);
    top = carry[0];
    if (tally.failed == 0) {
      for (int32_t r = ranges - 1; r >= 1; --r) {
        top += carry_through(c, 1, start[r] + 1, carry[r]);
      }
    }
  }
  if (!fold_unreleased && tally.failed == 0) {
    sum_unreleased<form>(d, L, weights, terms, tally);
  }
  if (tally.failed != 0) fatal("error fft rounding\n");
  if constexpr (kReportRounding) report_rounding(tally.worst);
  if (tally.sums.at_one != check.sums.at_one ||
      tally.sums.at_minus_one != check.sums.at_minus_one) {
    fatal(check.failure);
  }
  if constexpr (mode == ReleaseMode::overwrite) {
    if (top < 0 || top > 32767) fatal("error mp_from_doubles\n");
    c[0] = static_cast<int16_t>(top);
    return 0;
  } else {
    // An operand with an integer part folded into word 0 can carry 10000 or more into word 0
    // even with a word 0 that was not 0: the whole quotient goes back to the caller.
    const int64_t sum = c[0] + top;
    if (sum < 0) fatal("error mp_add_doubles\n");
    const int32_t out = static_cast<int32_t>(sum / kWordBase);
    c[0] = static_cast<int16_t>(sum - int64_t{out} * kWordBase);
    return out;
  }
}

template <ReleaseMode mode>
int32_t release_in(WordForm form, int16_t* c, int32_t cnt, const double* d, int32_t L,
                   const ProductCheck& check) {
  return form == WordForm::words ? release<mode, WordForm::words>(c, cnt, d, L, check)
                                 : release<mode, WordForm::balanced>(c, cnt, d, L, check);
}

}  // namespace

void mp_terms(const double* d, int32_t L, double* terms) {
  const Weights weights = make_weights(L);
  SuperStart super;
  for (int32_t first = 0; first < L; first += kReleaseBlock) {
    block_terms(d, L, weights, super, first, L - first < kReleaseBlock ? L - first : kReleaseBlock,
                terms + first);
  }
}

void mp_from_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L,
                     const ProductCheck& check, WordForm form) {
  release_in<ReleaseMode::overwrite>(form, c, cnt, d, L, check);
}

int32_t mp_add_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L,
                       const ProductCheck& check, WordForm form) {
  return release_in<ReleaseMode::add>(form, c, cnt, d, L, check);
}

int32_t mp_add_doubles2(int16_t* c, int32_t cnt, const double* d, int32_t L,
                        const ProductCheck& check, WordForm form) {
  return release_in<ReleaseMode::add_twice>(form, c, cnt, d, L, check);
}

TermSums mp_spectrum(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  const TermSums sums = mp_to_doubles(w, k, d, L, form);
  SpectrumPass pass;
  pass.forward[0] = d;
  spectrum_pass(L, pass);
  return sums;
}

namespace {

// One pass: the arrays given are transformed forward, then product = product * factor, and
// product comes back as the terms.
void product_pass(int32_t L, double* forward, double* forward_too, double* product,
                  const double* factor) {
  SpectrumPass pass;
  pass.forward[0] = forward;
  pass.forward[1] = forward_too;
  pass.product = product;
  pass.factor = factor;
  pass.inverse[0] = product;
  spectrum_pass(L, pass);
}

}  // namespace

void mp_spectrum_mul_back(double* d, const double* e, int32_t L) {
  product_pass(L, nullptr, nullptr, d, e);
}

TermSums mp_terms_by_spectrum(const int16_t* p, int32_t k, double* w1, const double* w2,
                              int32_t L, WordForm form) {
  const TermSums sums = mp_to_doubles(p, k, w1, L, form);
  product_pass(L, w1, nullptr, w1, w2);
  return sums;
}

TermSums mp_square_terms(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  const TermSums sums = mp_to_doubles(w, k, d, L, form);
  SpectrumPass pass;
  pass.forward[0] = d;
  pass.square = d;
  pass.inverse[0] = d;
  spectrum_pass(L, pass);
  return sums;
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
                        const double* w2, int32_t L, WordForm form, TermSums factor,
                        const char* failure) {
  const TermSums sums = mp_terms_by_spectrum(p, k, w1, w2, L, form);
  mp_from_doubles(out, cnt, w1, L, {product_sums(sums, factor), failure}, form);
}

void mp_mul(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from) {
  const int32_t L = 2 * n;
  const WordForm form = word_form(L, balanced_from);
  const TermSums sums_a = mp_to_doubles(a, n, w1, L, form);
  const TermSums sums_b = mp_to_doubles(b, n, w2, L, form);
  product_pass(L, w1, w2, w1, w2);  // w1 = the terms, w2 keeps its spectrum
  mp_from_doubles(c, n, w1, L, {product_sums(sums_a, sums_b), "error mp_mul check\n"}, form);
}

void carry_into_head(int16_t* c, int32_t h, int32_t carry) {
  if (carry == 1) {
    kuriage(c, h);
  } else if (carry > 1) {
    kuriage_h(c, h, carry);
  }
}

void m1604h(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from) {
  if (c == a || c == b) fatal("error m1604h\n");
  const int32_t h = n / 2;
  const WordForm form = word_form(n, balanced_from);
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  // a b = aH bH + (aL bH + aH bL) 10000^-h + aL bL 10000^-n; of aL bL only the head counts.
  constexpr const char* kFailure = "error m1604h check\n";
  mp_mul_2x2(a + h, b + h, c + n);
  const TermSums low_a = mp_to_doubles(a + h, h, w1, n, form);
  const TermSums high_b = mp_to_doubles(b, h, w2, n, form);  // its spectrum kept for aH bH
  product_pass(n, w1, w2, w1, w2);
  carry_into_head(c, h,
                  mp_add_doubles(c + h, h + 2, w1, n, {product_sums(low_a, high_b), kFailure}, form));
  // aH, its spectrum kept for aH bL, times the spectrum of bH.
  const TermSums high_a = mp_to_doubles(a, h, w1, n, form);
  product_pass(n, w1, nullptr, w2, w1);
  mp_add_doubles(c, n, w2, n, {product_sums(high_a, high_b), kFailure}, form);
  const TermSums low_b = mp_terms_by_spectrum(b + h, h, w2, w1, n, form);  // bL times aH
  carry_into_head(c, h,
                  mp_add_doubles(c + h, h + 2, w2, n, {product_sums(low_b, high_a), kFailure}, form));
  c[n] = 0;
  c[n + 1] = 0;
}

int32_t m1604xxh(const int16_t* a, int16_t* c, int32_t n, double* w1, double* w2,
                 int32_t balanced_from) {
  if (c == a) fatal("error m1604xxh\n");
  const int32_t h = n / 2;
  const WordForm form = word_form(n, balanced_from);
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  mp_mul_2x2(a + h, a + h, c + n);
  constexpr const char* kFailure = "error m1604xxh check\n";
  // One pass: aL times aH into w1, aH squared into w2.
  const TermSums low = mp_to_doubles(a + h, h, w1, n, form);
  const TermSums high = mp_to_doubles(a, h, w2, n, form);
  SpectrumPass pass;
  pass.forward[0] = w1;
  pass.forward[1] = w2;
  pass.product = w1;
  pass.factor = w2;
  pass.square = w2;
  pass.inverse[0] = w1;
  pass.inverse[1] = w2;
  spectrum_pass(n, pass);
  carry_into_head(c, h, mp_add_doubles2(c + h, h + 2, w1, n, {product_sums(low, high), kFailure},
                                        form));  // 2 aL aH
  int32_t flag = mp_add_doubles(c, n, w2, n, {product_sums(high, high), kFailure}, form);
  c[n] = 0;
  c[n + 1] = 0;
  return flag;
}
