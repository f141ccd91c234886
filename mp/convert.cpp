// Words into the doubles of a product's transform: each word weighted by its power of theta,
// plain or balanced, and the sums the product's terms are checked against.
#include <cmath>

#include "weights.h"
#include "mp_internal.h"

namespace {

// Converts the words of elements from to end - 1, which lie in the block of kWeightBlock
// elements that starts at `first`.
inline void convert_block(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form,
                          const Weights& weights, SuperStart& super, int32_t first, int32_t from,
                          int32_t end) {
  double re[kWeightBlock], im[kWeightBlock];
  block_weights(weights, first, L, super, re, im, from - first, end - first);
  // Words with a word after them, the last word, then zeros up to the end of the block.
  const int32_t inner = k - 1 < end ? (k - 1 > from ? k - 1 : from) : end;
  if (form == WordForm::balanced) {
    // A balanced word of 5000 or more borrows one from the word above (not word 0).
    for (int32_t j = from; j < inner; ++j) {
      const double x = w[j] - (w[j] >= kHalfBase ? kWordBase : 0) + (w[j + 1] >= kHalfBase);
      d[2 * j] = x * re[j - first];
      d[2 * j + 1] = x * im[j - first];
    }
    if (from == 0 && k > 1 && w[0] >= kHalfBase) {
      d[0] += kWordBase * re[0];  // word 0 keeps what it borrows from
      d[1] += kWordBase * im[0];
    }
  } else {
    for (int32_t j = from; j < inner; ++j) {
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

// The values at 1 and -1 of words first to end - 1 of w as they enter a transform in the given
// form; the sums of ranges that cover words 0 to k - 1 add up to those of all k.
TermSums range_word_sums(const int16_t* w, int32_t first, int32_t end, WordForm form) {
  // Read from the words themselves, apart from the conversion, so that the check covers it too.
  // Balanced words take 10000 from each word of 5000 or more but word 0 and add 1 to the word
  // above it: with B such words, and Bs their count with the sign (-1)^j, the sums are the
  // plain ones less 9999 B at 1 and less 10001 Bs at -1. Words are below 2^15 and fewer than
  // 2^30: 64 bits hold the sums as they are.
  int64_t even = 0, odd = 0, even_big = 0, odd_big = 0;
  int32_t j = first;
  if ((j & 1) != 0 && j < end) {
    odd += w[j];
    odd_big += w[j] >= kHalfBase;
    ++j;
  }
  for (; j + 1 < end; j += 2) {
    even += w[j];
    odd += w[j + 1];
    even_big += w[j] >= kHalfBase;
    odd_big += w[j + 1] >= kHalfBase;
  }
  if (j < end) {
    even += w[j];
    even_big += w[j] >= kHalfBase;
  }
  int64_t at_one = even + odd, at_minus_one = even - odd;
  if (form == WordForm::balanced) {
    if (first == 0 && end > 0 && w[0] >= kHalfBase) --even_big;  // word 0 keeps its value
    at_one -= (kWordBase - 1) * (even_big + odd_big);
    at_minus_one -= (kWordBase + 1) * (even_big - odd_big);
  }
  return {static_cast<uint64_t>(at_one), static_cast<uint64_t>(at_minus_one)};
}

}  // namespace

WordFill word_fill(const int16_t* w, int32_t k, int32_t L, WordForm form) {
  WordFill fill;
  fill.w = w;
  fill.k = k;
  fill.L = L;
  fill.form = form;
  fill.weights = make_weights(L);
  return fill;
}

void fill_words(void* source, double* d, int32_t from, int32_t to, int32_t slot) {
  WordFill& fill = *static_cast<WordFill*>(source);
  SuperStart super;
  for (int32_t first = from / kWeightBlock * kWeightBlock; first < to; first += kWeightBlock) {
    const int32_t end = to - first < kWeightBlock ? to : first + kWeightBlock;
    convert_block(fill.w, fill.k, d, fill.L, fill.form, fill.weights, super, first,
                  first > from ? first : from, end);
  }
  const int32_t k = fill.k;
  const TermSums sums = range_word_sums(fill.w, from < k ? from : k, to < k ? to : k, fill.form);
  fill.sums[slot].at_one += sums.at_one;
  fill.sums[slot].at_minus_one += sums.at_minus_one;
}

TermSums filled_sums(const WordFill& fill) {
  TermSums sums;
  for (const TermSums& part : fill.sums) {
    sums.at_one += part.at_one;
    sums.at_minus_one += part.at_minus_one;
  }
  return sums;
}

TermSums product_sums(TermSums a, TermSums b) {
  return {a.at_one * b.at_one, a.at_minus_one * b.at_minus_one};
}

TermSums mp_to_doubles(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  WordFill fill = word_fill(w, k, L, form);
  fill_words(&fill, d, 0, L / 2, 0);
  return filled_sums(fill);
}
