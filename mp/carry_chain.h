// Adding a run of large non-negative terms (below 2^52) into words, one place at a time from
// the last word up, with exact carries.
//
// Each term is split into its low part, below 10^8, and its high part, the quotient by 10^8,
// which belongs two places up. The sum at a place then stays below 2^28 whatever the terms,
// so the serial chain from place to place is a short 32-bit one, while the splitting, which
// does not depend on it, runs alongside. The words are exactly those of adding term, old word
// and carry place by place with full carries.
#pragma once

#include <cstdint>

#include "mp.h"

constexpr uint64_t kTwoWordBase = 100000000;  // 10^8

struct CarryChain {
  uint32_t carry = 0;
  // High parts of the terms below, waiting for the place one and two above the current one.
  uint32_t pending1 = 0, pending2 = 0;
};

// Adds a term given as low (below 10^8) and high (below 2^26) parts, and old_word, at the
// current place; returns the place's word and moves up a place.
inline int16_t add_place_parts(CarryChain& chain, uint32_t low, uint32_t high, uint32_t old_word) {
  const uint32_t total = low + chain.pending1 + chain.carry + old_word;
  chain.pending1 = chain.pending2;
  chain.pending2 = high;
  chain.carry = total / kWordBase;
  return static_cast<int16_t>(total - chain.carry * kWordBase);
}

// Adds term (below 2^52) and old_word at the current place.
inline int16_t add_place(CarryChain& chain, uint64_t term, uint32_t old_word) {
  const uint64_t high = term / kTwoWordBase;
  return add_place_parts(chain, static_cast<uint32_t>(term - high * kTwoWordBase),
                         static_cast<uint32_t>(high), old_word);
}

// What is left above the last place added: the carry out of it.
inline uint64_t carry_out(const CarryChain& chain) {
  return chain.carry + chain.pending1 + uint64_t{chain.pending2} * kWordBase;
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
