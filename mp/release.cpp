// The rounding release of a product's inverse transform back into words: weights undone, every
// term rounded and checked, the terms' sums compared with the operands', carries run through.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "carry_chain.h"
#include "fft.h"
#include "weights.h"
#include "mp_internal.h"

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

// The elements of a transform of L doubles cut where the threads that shared its pass meet
// (spectrum_pass_share): chunk c is elements first[c] to first[c + 1] - 1 of thread owner[c],
// neighbours of one thread merged. Returns the number of chunks; first[chunks] = L/2.
int32_t owned_chunks(int32_t L, int32_t* first, int32_t* owner) {
  const int32_t team = spectrum_pass_team(), q = L / 8;
  int32_t chunks = 0;
  const auto add = [&](int32_t at, int32_t t) {
    if (chunks > 0 && first[chunks - 1] == at) --chunks;  // the chunk before is empty
    if (chunks > 0 && owner[chunks - 1] == t) return;
    first[chunks] = at;
    owner[chunks++] = t;
  };
  SpectrumShare share[kFillSlots];
  for (int32_t t = 0; t < team; ++t) share[t] = spectrum_pass_share(L, team, t);
  for (int32_t i = 0; i < 4; ++i) {
    for (int32_t t = 0; t < team; ++t) add(i * q + share[t].low[0], t);
    for (int32_t t = team - 1; t >= 0; --t) add(i * q + share[t].high[0], t);
  }
  first[chunks] = L / 2;
  return chunks;
}

static_assert(kParallelFrom == kWalkParallelFrom);

// At most this many chunks (owned_chunks): two spans a quarter for each thread of a pass.
constexpr int32_t kMaxChunks = 4 * 2 * kFillSlots;
// At most this many ranges: a release over both halves of the terms cuts each at the chunks.
constexpr int32_t kMaxReleaseRanges = 2 * kMaxChunks;

// The ranges of a release shared among threads, each with the thread that takes it: a thread
// releases the elements it transformed last (owned_chunks), where they are in its cache.
// Paired, chunk pieces below L/2 and the same pieces L/2 above, at most kPairedRangeTerms long
// where that leaves few enough; otherwise terms 0 to cnt - 2 cut where the owners change (a
// range shorter than a block joins the one before it). Range r holds terms start[r] to
// start[r + 1] - 1; returns the number of ranges, start[ranges] being left to the caller.
int32_t cut_owned_ranges(int32_t L, int32_t cnt, bool paired, int32_t* start, int32_t* owner) {
  int32_t first[kMaxChunks + 1], chunk_owner[kMaxChunks];
  const int32_t chunks = owned_chunks(L, first, chunk_owner), half = L / 2;
  int32_t ranges = 0;
  if (paired) {
    // Pieces short enough that a pair's elements stay in cache from its upper range to its lower.
    int32_t piece = kPairedRangeTerms, pieces;
    for (;; piece *= 2) {
      pieces = 0;
      for (int32_t k = 0; k < chunks; ++k) {
        pieces += (first[k + 1] - first[k] + piece - 1) / piece;
      }
      if (pieces <= kMaxReleaseRanges / 2) break;
    }
    for (int32_t k = 0; k < chunks; ++k) {
      for (int32_t at = first[k]; at < first[k + 1]; at += piece) {
        start[ranges] = at;
        start[ranges + pieces] = at + half;
        owner[ranges] = owner[ranges + pieces] = chunk_owner[k];
        ++ranges;
      }
    }
    return 2 * pieces;
  }
  // Terms p and p + L/2 both come from element p.
  const int32_t end = cnt - 1;
  for (int32_t top = 0; top < L && top < end; top += half) {
    for (int32_t k = 0; k < chunks && top + first[k] < end; ++k) {
      const int32_t at = top + first[k];
      const bool joins =
          ranges > 0 && (owner[ranges - 1] == chunk_owner[k] || end - at < kReleaseBlock);
      if (joins) continue;
      start[ranges] = at;
      owner[ranges++] = chunk_owner[k];
    }
  }
  return ranges;
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
  // shares the threads whenever the transform does, and its threads meet their own elements.
  if (!use_threads(L, kParallelFrom) || cnt < 2 * kMaxRanges) {
    top = release_range<mode, form>(c, cnt, d, L, weights, 0, terms, unreleased_from, tally);
  } else {
    // Each thread releases its own ranges (cut_owned_ranges), the upper one of a pair first:
    // every bound below cnt - 1 keeps the words the carries run through stored, and the last
    // range takes the look-ahead terms. The carries out of the ranges are then added in, from
    // the lowest range up, exactly as one chain would have carried them.
    int32_t start[kMaxReleaseRanges + 1], owner[kMaxReleaseRanges];
    int64_t carry[kMaxReleaseRanges];
    ReleaseTally part[kMaxReleaseRanges];
    const bool paired = cnt == L && L >= kPairedFrom;
    const int32_t ranges = cut_owned_ranges(L, cnt, paired, start, owner);
    start[ranges] = paired ? terms : cnt - 1;
    const auto release_one = [&](int32_t r, int32_t from, int32_t to) {
      carry[r] = release_range<mode, form>(c, cnt, d, L, weights, from, to, unreleased_from,
                                           part[r]);
    };
    const int32_t pairs = paired ? ranges / 2 : ranges;
    run_by_owner(pairs, owner, spectrum_pass_team(), [&](int32_t i) {
      if (paired) {
        release_one(i + pairs, start[i + pairs], start[i + pairs + 1]);
        release_one(i, start[i], start[i + 1]);
      } else {
        release_one(i, start[i], i + 1 == ranges ? terms : start[i + 1]);
      }
    });
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
