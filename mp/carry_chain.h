// Carrying runs of integer terms into base-10000 words, exactly.
//
// In a round, every place's value (an integer below 2^53 in magnitude, held in a double) is cut
// into its floor quotient by 10000 and the remainder, and the quotient moves one place up.
// Rounds repeat until every place holds 0 to 9999: four take terms of 2^53 down to carries of
// -1 to 1, and a carry runs on only through places of 9999 (or of 0, borrowing), one place a
// round. A round has no dependency from place to place and runs as vector code; every value is
// an exact integer, so the words are those of full carries place by place.
#pragma once

#include <cmath>
#include <cstdint>

#include "mp.h"

// Places carried together: a block of the releases and of the linear operations.
constexpr int32_t kCarryBlock = 64;

// Carries t[0] to t[len - 1] (place 0 the most significant; len <= kCarryBlock) into words in
// place. carry joins the last place, and old[0] to old[count - 1] the first count places, once
// the first round has cut every value below 2^40 (where the sums stay exact). Returns what
// leaves place 0.
inline double carry_rounds(double* t, int32_t len, double carry, const int16_t* old = nullptr,
                           int32_t count = 0) {
  constexpr double kBase = kWordBase;
  double quotient[kCarryBlock + 1];
  double up = 0.0;  // the quotients that leave place 0
  for (int32_t round = 0;; ++round) {
    int32_t moved = 0;
    for (int32_t i = 0; i < len; ++i) {
      double q = std::floor(t[i] * 1e-4);
      const double rest = t[i] - q * kBase;  // exact: both are integers below 2^53
      q = rest < 0.0 ? q - 1.0 : (rest >= kBase ? q + 1.0 : q);
      quotient[i] = q;
      t[i] -= q * kBase;
      moved |= q != 0.0;
    }
    if (round > 0 && moved == 0) break;
    quotient[len] = 0.0;
    if (round == 0) {
      for (int32_t i = 0; i < count; ++i) t[i] += old[i];
      quotient[len] = carry;
    }
    up += quotient[0];
    for (int32_t i = 0; i < len; ++i) t[i] += quotient[i + 1];
  }
  return up;
}

// c[k] = the word of term(k) for k = begin to end - 1 with full carries, carry in at the last
// word, block by block from the last word up; returns the carry out of word begin. A block's
// terms are all formed before any of its words is stored, so c may be an operand of term.
template <typename Term>
inline int64_t carry_words(int16_t* c, int32_t begin, int32_t end, int64_t carry, Term term) {
  double t[kCarryBlock];
  double out = static_cast<double>(carry);
  for (int32_t stop = end; stop > begin;) {
    const int32_t first = stop - kCarryBlock > begin ? stop - kCarryBlock : begin;
    for (int32_t k = first; k < stop; ++k) t[k - first] = term(k);
    out = carry_rounds(t, stop - first, out);
    for (int32_t k = first; k < stop; ++k) c[k] = static_cast<int16_t>(t[k - first]);
    stop = first;
  }
  return static_cast<int64_t>(out);
}

// Adds carry (of either sign) at word end - 1 of normalised words begin to end - 1 and carries
// it up through them; returns what leaves word begin.
inline int64_t carry_through(int16_t* c, int32_t begin, int32_t end, int64_t carry) {
  for (int32_t k = end - 1; k >= begin && carry != 0; --k) {
    const int64_t v = c[k] + carry;
    carry = v >= 0 ? v / kWordBase : -((-v + kWordBase - 1) / kWordBase);  // floor
    c[k] = static_cast<int16_t>(v - carry * kWordBase);
  }
  return carry;
}
