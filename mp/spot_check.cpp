// The last check of a run before its digits are written: a stretch of the result near its end
// against pi's known digits there. It catches what the products' checks cannot see, such as a
// word changed between products.
#include <cstdio>
#include <cstring>

#include "known_digits.h"
#include "mp.h"

void spot_check_pi(const int16_t* words, int32_t word_count) {
  const int64_t bx = 4 * (int64_t{word_count} + 1);
  int32_t power = kKnownDigitsFirstPower;
  while (power < kKnownDigitsLastPower && (int64_t{1} << power) < bx) ++power;
  if ((int64_t{1} << power) != bx) fatal("error spot check\n");
  // The entry's digits are whole words: digit bx - 35 opens word bx / 4 - 9 of the fraction.
  const int32_t first = static_cast<int32_t>((bx - kKnownDigitsOffset) / 4);
  char digits[kKnownDigitsLength + 1];
  for (int32_t k = 0; k < kKnownDigitsLength / 4; ++k) {
    const int16_t w = words[first + k];
    if (w < 0 || w >= kWordBase) fatal("error spot check\n");
    std::snprintf(digits + 4 * k, 5, "%04d", w);
  }
  if (std::strcmp(digits, kKnownDigits[power - kKnownDigitsFirstPower]) != 0) {
    fatal("error spot check\n");
  }
}
