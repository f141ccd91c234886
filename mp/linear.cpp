// Word-wise operations: sums, differences, small-factor products, halving, unit carries.
#include "carry_chain.h"
#include "mp_internal.h"

namespace {

// Adds one unit at word n - 1; returns false if the carry leaves word 0. A carry of one costs
// no division: it turns the run of 9999s above it to 0 (the whole head, after a Newton step's
// product that lands just below 1).
bool carry_one(int16_t* a, int32_t n) {
  for (int32_t k = n - 1; k >= 0; --k) {
    if (a[k] + 1 < kWordBase) {
      ++a[k];
      return true;
    }
    a[k] = static_cast<int16_t>(a[k] + 1 - kWordBase);
  }
  return false;
}

// From kParallelFrom words the long operations cut words 1 to n - 1 (or all n, where the
// arithmetic is exact whatever word 0 holds) into ranges (cut_ranges); a range's carry or borrow
// out is then added into the range above, from the last range up, as one chain would have
// carried it.

// c = a + b over words begin to end - 1 with carry in at the last; returns the carry out.
int32_t add_words(const int16_t* a, const int16_t* b, int16_t* c, int32_t begin, int32_t end,
                  int32_t carry) {
  for (int32_t k = end - 1; k >= begin; --k) {
    int32_t s = a[k] + b[k] + carry;
    carry = s >= kWordBase ? 1 : 0;
    c[k] = static_cast<int16_t>(s - carry * kWordBase);
  }
  return carry;
}

int32_t sub_words(const int16_t* a, const int16_t* b, int16_t* c, int32_t begin, int32_t end,
                  int32_t borrow) {
  for (int32_t k = end - 1; k >= begin; --k) {
    int32_t d = a[k] - b[k] + borrow;
    borrow = d < 0 ? -1 : 0;
    c[k] = static_cast<int16_t>(d - borrow * kWordBase);
  }
  return borrow;
}

// c = a + b (sign 1) or a - b (sign -1) over words begin to end - 1, a block at a time from the
// last word up, exactly as add_words and sub_words; returns the carry (borrow) out of word
// begin. A word's raw sum, and the carry it sends up, come from its own inputs alone, in loops
// without a dependency from word to word; every word then settles at once with what the word
// below sends, unless a raw 9999 takes a carry (a raw 0 a borrow): such a block, rare, goes
// through the chain instead. Each block reads its inputs before it writes, so c may be a or b.
template <int32_t sign>
int32_t add_signed_words(const int16_t* a, const int16_t* b, int16_t* c, int32_t begin,
                         int32_t end) {
  int32_t in = 0;  // what the block below sends into the block's last word
  for (int32_t top = end; top > begin;) {
    const int32_t first = top - kCarryBlock > begin ? top - kCarryBlock : begin;
    const int32_t len = top - first;
    int32_t raw[kCarryBlock], sent[kCarryBlock + 1];
    for (int32_t i = 0; i < len; ++i) raw[i] = a[first + i] + sign * b[first + i];
    for (int32_t i = 0; i < len; ++i) {
      sent[i] = sign > 0 ? (raw[i] >= kWordBase ? 1 : 0) : (raw[i] < 0 ? -1 : 0);
    }
    sent[len] = in;
    int32_t unsettled = 0;
    for (int32_t i = 0; i < len; ++i) {
      unsettled |= sign > 0 ? (raw[i] == kWordBase - 1) & (sent[i + 1] == 1)
                            : (raw[i] == 0) & (sent[i + 1] == -1);
    }
    if (unsettled != 0) {
      in = sign > 0 ? add_words(a, b, c, first, top, in) : sub_words(a, b, c, first, top, in);
    } else {
      for (int32_t i = 0; i < len; ++i) {
        c[first + i] = static_cast<int16_t>(raw[i] - sent[i] * kWordBase + sent[i + 1]);
      }
      in = sent[0];
    }
    top = first;
  }
  return in;
}

// Runs op(begin, end, carry in) on words first to n - 1 cut into ranges, in parallel, and joins
// their carries from the last range up; returns the carry out of word first.
template <typename Op>
int64_t in_ranges(int16_t* c, int32_t first, int32_t n, Op op) {
  int32_t bound[kMaxRanges + 1];
  int64_t carry[kMaxRanges];
  const int32_t ranges = share_ranges(first, n, bound, [&](int32_t r, int32_t from, int32_t to) {
    carry[r] = op(from, to);
  });
  int64_t in = 0;
  for (int32_t r = ranges - 1; r >= 0; --r) {
    in = carry[r] + carry_through(c, bound[r], bound[r + 1], in);
  }
  return in;
}

// One pass of c = (c if accumulate) + a * f over words begin to end - 1. Every product a[k] f
// is an integer below 2^45, exact in a double; the carry chain adds them exactly.
template <bool accumulate>
uint64_t mul_small_words(const int16_t* a, double f, int16_t* c, int32_t begin, int32_t end) {
  int64_t out = 0;
  carry_in_lanes<false>(
      c, 0, begin, end, end,
      [=](int32_t, int32_t first, int32_t len, int32_t* above, int32_t* high,
          int32_t* sums) __attribute__((always_inline)) {
        double terms[kCarryBlock];
        int32_t low[kCarryBlock];
        for (int32_t i = 0; i < len; ++i) terms[i] = a[first + i] * f;
        split_parts(terms, high, low, len);
        place_sums<false>(low, len, c + first, accumulate ? len : 0, above, high, sums);
        return true;
      },
      [=](int32_t k, int16_t word, bool) __attribute__((always_inline)) { c[k] = word; },
      out);
  return static_cast<uint64_t>(out);
}

template <bool accumulate>
uint64_t mul_small_pass(const int16_t* a, double f, int16_t* c, int32_t n) {
  // A product by a small factor costs a few times a sum per word (a conversion, a division, a
  // chain): it shares the threads from the transforms' threshold, not the sums'.
  if (!use_threads(n, kParallelFrom)) return mul_small_words<accumulate>(a, f, c, 0, n);
  // Exact integer arithmetic on every word: word 0 may be cut with the rest.
  return static_cast<uint64_t>(in_ranges(c, 0, n, [=](int32_t begin, int32_t end) {
    return static_cast<int64_t>(mul_small_words<accumulate>(a, f, c, begin, end));
  }));
}

// Halving and quartering: the remainder that word k - 1 passes down is (its parity) times
// 10000; as 10000 is even (and a multiple of 4), it does not change the parity (or the
// remainder mod 4) of the next sum, so every word's remainder is that of the input word alone
// and no chain runs from word to word. Going from the last word up reads each input word before
// it is overwritten; in ranges, the word above each range is read before any range is written.
template <int32_t shift>
void divide_words(const int16_t* a, int16_t* c, int32_t begin, int32_t end, int32_t above) {
  constexpr int32_t mask = (1 << shift) - 1;
  for (int32_t k = end - 1; k > begin; --k) {
    c[k] = static_cast<int16_t>((a[k] + (a[k - 1] & mask) * kWordBase) >> shift);
  }
  if (begin < end) c[begin] = static_cast<int16_t>((a[begin] + (above & mask) * kWordBase) >> shift);
}

template <int32_t shift>
void divide_by_power_of_two(const int16_t* a, int16_t* c, int32_t n) {
  if (n <= 0) return;
  if (use_threads(n, kLinearParallelFrom)) {
    // A range reads the word above it, which the range above overwrites where c is a: those
    // words are read before any range runs (the pass cuts the same ranges again).
    int32_t bound[kMaxRanges + 1], above[kMaxRanges];
    const int32_t ranges = cut_ranges(1, n, bound);
    for (int32_t r = 0; r < ranges; ++r) above[r] = a[bound[r] - 1];
    share_ranges(1, n, bound, [=, &above](int32_t r, int32_t from, int32_t to) {
      divide_words<shift>(a, c, from, to, above[r]);
    });
  } else {
    divide_words<shift>(a, c, 1, n, a[0]);
  }
  c[0] = static_cast<int16_t>(a[0] >> shift);
}

// c = a + b (sign 1) or a - b (sign -1) over n words; word 0, which may hold a folded integer
// part, takes the carry (borrow) of the rest as the chain would, and returns its own.
template <int32_t sign>
int32_t add_or_subtract(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  if (n <= 0) return 0;
  const int64_t in = !use_threads(n, kLinearParallelFrom)
                         ? add_signed_words<sign>(a, b, c, 1, n)
                         : in_ranges(c, 1, n, [=](int32_t begin, int32_t end) {
                             return static_cast<int64_t>(add_signed_words<sign>(a, b, c, begin, end));
                           });
  return sign > 0 ? add_words(a, b, c, 0, 1, static_cast<int32_t>(in))
                  : sub_words(a, b, c, 0, 1, static_cast<int32_t>(in));
}

}  // namespace

int32_t mp_add(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  return add_or_subtract<1>(a, b, c, n);
}

void mp_add_folded(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  if (mp_add(a, b, c, n) == 1) c[0] = static_cast<int16_t>(c[0] + kWordBase);
}

int32_t mp_sub(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  return add_or_subtract<-1>(a, b, c, n);
}

void mp_mul_small(int16_t* a, double f, int32_t n) { mul_small_pass<false>(a, f, a, n); }

void mp_mul_small_to(const int16_t* a, double f, int16_t* c, int32_t n) {
  mul_small_pass<false>(a, f, c, n);
}

int32_t mp_mul_small_add(const int16_t* a, double f, int16_t* c, int32_t n) {
  return static_cast<int32_t>(mul_small_pass<true>(a, f, c, n));
}

void mp_half(const int16_t* a, int16_t* c, int32_t n) { divide_by_power_of_two<1>(a, c, n); }

void mp_quarter(int16_t* a, int32_t n) { divide_by_power_of_two<2>(a, a, n); }

void kuriage(int16_t* a, int32_t n) {
  if (!carry_one(a, n)) fatal("error kuriage");
}

void kurisage(int16_t* a, int32_t n) {
  for (int32_t k = n - 1; k >= 0; --k) {
    if (a[k] > 0) {
      --a[k];
      return;
    }
    a[k] = static_cast<int16_t>(a[k] - 1 + kWordBase);
  }
  fatal("error kurisage");
}

void kuriage_h(int16_t* a, int32_t n, int32_t carry) {
  int64_t c = carry;
  int32_t k = n - 1;
  for (; k >= 0 && c > 1; --k) {
    const int64_t v = a[k] + c;
    c = v / kWordBase;
    a[k] = static_cast<int16_t>(v - c * kWordBase);
  }
  if (c == 1 ? !carry_one(a, k + 1) : c != 0) fatal("error kuriage_h");
}
