// Adding runs of terms into words, from the last word up, with exact carries: the releases of
// the products and the products by a small factor.
//
// Terms are integers below 2^52 in magnitude, held as doubles. Each is split into its low part
// (0 to 10^8 - 1) and its high part, the floor quotient by 10^8, which belongs two places up.
// What a place takes in, its own term's low part and its old word, is formed a block at a
// time in loops without a dependency from place to place; the chain adds the high part of the
// term two places on (a load off its path) and its carry. Every such sum lies below 2^28 in
// magnitude, so the serial chain is one add and one division a place; whole blocks mostly
// settle without it, in two rounds of carries over all their places at once (settle_block).
// The words are exactly those of adding term, old word and carry with full carries.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "mp.h"

constexpr double kTwoWordBase = 100000000.0;  // 10^8

// Terms go through the chain in blocks of at most this many.
constexpr int32_t kCarryBlock = 64;

// Splits the integers r (below 2^53 in magnitude, as doubles) into their floor quotient by
// 10^8 and the remainder. Both are exact: the product with 1e-8 lands within 1e-8 of the true
// quotient, and the remainder, formed exactly, corrects a quotient one off.
inline void split_parts(const double* __restrict r, int32_t* __restrict high,
                        int32_t* __restrict low, int32_t len) {
  for (int32_t i = 0; i < len; ++i) {
    double q = std::floor(r[i] * 1e-8);
    const double rest = r[i] - q * kTwoWordBase;
    q = rest < 0.0 ? q - 1.0 : (rest >= kTwoWordBase ? q + 1.0 : q);
    high[i] = static_cast<int32_t>(q);
    low[i] = static_cast<int32_t>(r[i] - q * kTwoWordBase);
  }
}

// Terms of either sign give sums and carries of either sign (below 2^28 and 2^15 in magnitude).
// A chain of them holds its carry plus this bias, and every place's sum plus the bias times
// 9999: the total at a place, sum + carry, is then the true total plus the bias times 10000,
// positive, and its truncated quotient by 10000 is the true floor quotient plus the bias, the
// next biased carry; its remainder is the word.
template <bool is_signed>
constexpr int32_t chain_bias() {
  return is_signed ? 32768 : 0;
}

// For a block of len places whose high parts are high[0] to high[len - 1] (kCarryBlock + 2
// entries): sums[i] = low[i], plus old[i] for i below old_count; high[len] and high[len + 1]
// take the high parts of the first two terms of the block after this one, which above holds
// (0 at a chain's start), and above takes this block's. Place i then adds high[i + 2].
// (Adding high[i + 2] here, in a vector loop, would read the parts just stored at an offset
// that the stores cannot forward to, and stall.)
template <bool is_signed>
inline void place_sums(const int32_t* low, int32_t len, const int16_t* old, int32_t old_count,
                       int32_t* above, int32_t* high, int32_t* sums) {
  for (int32_t i = 0; i < len; ++i) sums[i] = low[i] + chain_bias<is_signed>() * (kWordBase - 1);
  for (int32_t i = 0; i < old_count; ++i) sums[i] += old[i];
  high[len] = above[0];
  high[len + 1] = above[1];
  above[0] = high[0];
  above[1] = high[1];
}

// The word at a place whose biased sum is sum, and the biased carry it sends up (see
// chain_bias). Terms of one sign give non-negative sums; terms of either sign carry floor
// quotients, so every word is 0 to 9999. The chain's path is one add and one division.
template <bool is_signed>
inline int16_t settle_place(int32_t& carry, int32_t sum) {
  const uint32_t total = static_cast<uint32_t>(sum + carry);
  carry = static_cast<int32_t>(total / uint32_t{kWordBase});
  return static_cast<int16_t>(total - static_cast<uint32_t>(carry) * kWordBase);
}

// A whole block of kCarryBlock places settled at once, for the common case: with B the bias,
// each place's total T (sum, high part two places on, B: the true total plus 10000 B, not
// negative) gives a word T mod 10000 and a carry T / 10000 - B to the place above; adding
// those in one round without a chain leaves values below 2^28 / 10000 + 10000 in magnitude,
// and a second round leaves words within 7 of 0 to 9999. Where all of them are words (all but
// about one block in a hundred), they are the chain's words, which are unique: words[i] is
// place i's, and carry (biased) becomes what leaves the block. Otherwise the block is left to
// the chain and false returned. carry comes in at place kCarryBlock - 1. Each round is a loop
// without a dependency from place to place.
template <bool is_signed>
inline bool settle_block(int32_t& carry, const int32_t* sums, const int32_t* high,
                         int16_t* words) {
  using Lanes = uint32_t __attribute__((vector_size(64)));
  constexpr int32_t per = 16, parts = kCarryBlock / per;
  constexpr uint32_t base = kWordBase, bias = chain_bias<is_signed>();
  constexpr uint32_t offset = 8 * base;  // above any value of the first round in magnitude
  // Each lane's neighbour below: lanes 1 to 15 of here, lane 0 of next. (By reference: a
  // vector this wide passed by value has no fixed ABI below AVX-512.)
  const auto below = [](const Lanes& here, const Lanes& next, Lanes& out)
                         __attribute__((always_inline)) {
    out = __builtin_shufflevector(here, next, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                  16);
  };
  Lanes up[parts + 1], value[parts];
  for (int32_t k = 0; k < parts; ++k) {
    Lanes s, h;
    std::memcpy(&s, sums + k * per, sizeof s);
    std::memcpy(&h, high + 2 + k * per, sizeof h);
    const Lanes total = s + h + bias;
    up[k] = total / base;
    value[k] = total - up[k] * base;
  }
  const uint32_t first_up = up[0][0];
  up[parts] = Lanes{} + static_cast<uint32_t>(carry);
  for (int32_t k = 0; k < parts; ++k) {
    Lanes from_below;
    below(up[k], up[k + 1], from_below);
    value[k] += from_below - bias + offset;
  }
  for (int32_t k = 0; k < parts; ++k) {
    up[k] = value[k] / base;
    value[k] -= up[k] * base;
  }
  up[parts] = Lanes{} + offset / base;
  Lanes out_of_range = {};
  for (int32_t k = 0; k < parts; ++k) {
    Lanes word;
    below(up[k], up[k + 1], word);
    word += value[k] - offset / base;
    out_of_range |= word >= base;  // negative ones wrap to large ones
    for (int32_t j = 0; j < per; ++j) words[k * per + j] = static_cast<int16_t>(word[j]);
  }
  uint32_t any = 0;
  for (int32_t j = 0; j < per; ++j) any |= out_of_range[j];
  if (any != 0) return false;
  carry = static_cast<int32_t>(first_up + up[0][0] - offset / base);
  return true;
}

// What leaves a chain above its first place: its carry and the high parts of its first two
// terms, which belong one and two places above it.
template <bool is_signed>
inline int64_t chain_out(int32_t carry, const int32_t* above) {
  return carry - chain_bias<is_signed>() + above[1] + int64_t{above[0]} * kWordBase;
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

// A chain's carry runs from place to place, one after the other; kCarryLanes chains over parts
// of a range, stepped together, overlap their latencies where whole blocks cannot settle at once.
constexpr int32_t kCarryLanes = 4;

// Carries places first to end - 1 into words, from the last place up. Place p's word is word
// p + offset of c, and the places below stored_end are stored words. Ranges long enough go in
// kCarryLanes parts with bounds at block multiples below stored_end, so that each part's carry
// out runs up through stored words, where it is added as one chain would have carried it.
// prepare(lane, first, len, above, high, sums) forms the high parts and the sums of the block
// of places first to first + len - 1 (place_sums) and returns false to stop at once; put(p, word, stored) takes
// place p's word, stored being true when the caller may take p as below stored_end. Returns
// false if prepare stopped; otherwise out is what leaves the first place.
template <bool is_signed, typename Prepare, typename Put>
[[gnu::always_inline]] inline bool carry_in_lanes(int16_t* c, int32_t offset, int32_t first,
                                                  int32_t end, int32_t stored_end,
                                                  Prepare prepare, Put put, int64_t& out) {
  int32_t bound[kCarryLanes + 1], lanes = 1;
  bound[0] = first;
  const int32_t cut_end = end < stored_end ? end : stored_end;
  const int32_t blocks = (cut_end - first) / kCarryBlock;
  if (blocks >= 4 * kCarryLanes) {
    lanes = kCarryLanes;
    for (int32_t r = 1; r < kCarryLanes; ++r) {
      bound[r] = (first + blocks * r / kCarryLanes * kCarryBlock) & ~(kCarryBlock - 1);
    }
  }
  bound[lanes] = end;
  int32_t carry[kCarryLanes], above[kCarryLanes][2] = {};
  for (int32_t r = 0; r < kCarryLanes; ++r) carry[r] = chain_bias<is_signed>();
  int32_t top[kCarryLanes];  // each lane's next block ends here
  for (int32_t r = 0; r < lanes; ++r) top[r] = bound[r + 1];
  int32_t sums[kCarryLanes][kCarryBlock], high[kCarryLanes][kCarryBlock + 2];
  // Lane r's block of len places from block_first: a whole block settled at once where it can
  // be, place by place otherwise.
  const auto settle = [&](int32_t r, int32_t block_first, int32_t len, auto stored)
                          __attribute__((always_inline)) {
    int16_t words[kCarryBlock];
    if (len == kCarryBlock && settle_block<is_signed>(carry[r], sums[r], high[r], words)) {
      for (int32_t i = 0; i < kCarryBlock; ++i) put(block_first + i, words[i], stored.value);
      return;
    }
    for (int32_t i = len - 1; i >= 0; --i) {
      put(block_first + i, settle_place<is_signed>(carry[r], sums[r][i] + high[r][i + 2]),
          stored.value);
    }
  };
  for (;;) {
    // All lanes with a whole aligned block left go together; otherwise each lane takes a block
    // (partial ones at a lane's ends) on its own.
    bool together = lanes == kCarryLanes;
    bool any = false;
    for (int32_t r = 0; r < lanes; ++r) {
      any |= top[r] > bound[r];
      together &= top[r] - kCarryBlock >= bound[r] && (top[r] & (kCarryBlock - 1)) == 0;
    }
    if (!any) break;
    if (together) {
      for (int32_t r = 0; r < kCarryLanes; ++r) {
        if (!prepare(r, top[r] - kCarryBlock, kCarryBlock, above[r], high[r], sums[r])) {
          return false;
        }
      }
      // One loop for blocks of stored words, one for the rest: put sees stored as a constant.
      const bool stored = top[kCarryLanes - 1] <= stored_end;
      for (int32_t r = 0; r < kCarryLanes; ++r) {
        if (stored) {
          settle(r, top[r] - kCarryBlock, kCarryBlock, std::true_type{});
        } else {
          settle(r, top[r] - kCarryBlock, kCarryBlock, std::false_type{});
        }
        top[r] -= kCarryBlock;
      }
      continue;
    }
    for (int32_t r = 0; r < lanes; ++r) {
      if (top[r] <= bound[r]) continue;
      int32_t block_first = (top[r] - 1) & ~(kCarryBlock - 1);
      if (block_first < bound[r]) block_first = bound[r];
      const int32_t len = top[r] - block_first;
      if (!prepare(r, block_first, len, above[r], high[r], sums[r])) return false;
      settle(r, block_first, len, std::false_type{});
      top[r] = block_first;
    }
  }
  out = chain_out<is_signed>(carry[0], above[0]);
  for (int32_t r = lanes - 1; r >= 1; --r) {
    out += carry_through(c, first + offset, bound[r] + offset,
                         chain_out<is_signed>(carry[r], above[r]));
  }
  return true;
}
