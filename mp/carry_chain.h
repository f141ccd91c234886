// Adding a run of large non-negative terms (below 10^16) into words, one place at a time from
// the last word up, with exact carries.
//
// Each term is split into four base-10000 digits as soon as it arrives; digit i belongs i
// places above the term's own. So the sum for one place gathers at most four digits, the old
// word and a carry of a few units, and the serial chain from place to place stays short while
// the splitting, which does not depend on it, runs alongside. The words are exactly those of
// adding term, old word and carry place by place with full carries.
#pragma once

#include <cstdint>

#include "mp.h"

struct CarryChain {
  uint32_t carry = 0;
  // Digits of the terms below, waiting for the place one, two and three above the current one.
  uint32_t pending1 = 0, pending2 = 0, pending3 = 0;
};

// Adds a term given by its four base-10000 digits (lowest first) and old_word at the current
// place; returns the place's word and moves up a place.
// Every sum stays below 2^17, so 32 bits suffice.
inline int16_t add_place_digits(CarryChain& chain, uint32_t d0, uint32_t d1, uint32_t d2,
                                uint32_t d3, uint32_t old_word) {
  constexpr uint32_t base = kWordBase;
  const uint32_t total = d0 + chain.pending1 + chain.carry + old_word;
  chain.pending1 = chain.pending2 + d1;
  chain.pending2 = chain.pending3 + d2;
  chain.pending3 = d3;
  chain.carry = total / base;
  return static_cast<int16_t>(total - chain.carry * base);
}

// Adds term (below 10^16) and old_word at the current place; returns the place's word and
// moves up a place.
inline int16_t add_place(CarryChain& chain, uint64_t term, uint32_t old_word) {
  constexpr uint64_t base = kWordBase;
  const uint64_t q1 = term / base;
  const uint32_t q2 = static_cast<uint32_t>(q1 / base);
  const uint32_t d3 = q2 / kWordBase;
  return add_place_digits(chain, static_cast<uint32_t>(term - q1 * base),
                          static_cast<uint32_t>(q1 - uint64_t{q2} * base),
                          q2 - d3 * kWordBase, d3, old_word);
}

// What is left above the last place added: the carry out of it.
inline uint64_t carry_out(const CarryChain& chain) {
  constexpr uint64_t base = kWordBase;
  return chain.carry + chain.pending1 + uint64_t{chain.pending2} * base +
         uint64_t{chain.pending3} * base * base;
}
