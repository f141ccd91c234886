// Square root by a coupled Newton iteration: y ~ 1/x is improved by the reciprocal step and
// x by x <- x + y (a - x^2) / 2, each doubling its working length.
#include <cmath>

#include "mp_internal.h"

void gsqpre(const int16_t* a, int16_t* y, int16_t* t, int32_t m, double* w1, double* w2,
            int32_t balanced_from) {
  const WordForm form = word_form(2 * m, balanced_from);
  constexpr const char* kFailure = "error gsqpre check\n";
  const TermSums sums_y = seed_step_start(y, t, m, w2, form);  // y, used three times
  mp_mul_by_spectrum(a, m, t, m + 2, w1, w2, 2 * m, form, sums_y, kFailure);  // t = a y, units
  // t + 1 = a y^2, units frame
  mp_mul_by_spectrum(t + 1, m, t + 1, m + 2, w1, w2, 2 * m, form, sums_y, kFailure);
  // A seed at or above 1/a (a just below 1) makes a y 1 or more: the product above took only
  // its fraction, and the integer part's share, 1 times y, comes back here.
  if (t[0] == 1) mp_add(t + 1, y, t + 1, m + 2);
  // Excess (a y^2 = 1.xxx): y -= y (a y^2 - 1) / 2; deficit: y += y (1 - a y^2) / 2.
  seed_step_correct(y, t + 2, m, w1, w2, form, sums_y, true, kFailure, "error gsqpre s\n",
                    "error gsqpre a\n");
}

namespace {

constexpr const char* kSqrtStepFailure = "error mp_sqrt_step check\n";

// t = x^2 over n + 2 words (t has n + 6) for x at h + 2 words, the terms in w1: the head
// squared exactly, twice the guard words times the head, and the guard words squared.
void square_head(const int16_t* x, int16_t* t, int32_t n, double* w1, WordForm form) {
  const int32_t h = n / 2;
  for (int32_t i = n; i < n + 6; ++i) t[i] = 0;
  const TermSums high_x = mp_square_terms(x, h, w1, n, form);
  mp_from_doubles(t, n, w1, n, {product_sums(high_x, high_x), kSqrtStepFailure}, form);
  const double guard = x[h] * static_cast<double>(kWordBase) + x[h + 1];
  const int32_t carry = mp_mul_small_add(x, 2.0 * guard, t + h + 2, h);
  if (carry > 0) kuriage_h(t, h + 2, carry);
  int16_t square[2];
  mp_mul_2x2(x + h, x + h, square);
  if (mp_add(t + n, square, t + n, 2) == 1) kuriage(t, n);
}

// The rest of a square-root step, with t = x^2: the residual a - x^2 times the head of y,
// whose spectrum is in w2 with sums high_y, halved, corrects x.
void sqrt_step_correct(const int16_t* a, const int16_t* y, int16_t* x, int16_t* t, int32_t n,
                       double* w1, double* w2, WordForm form, TermSums high_y) {
  const int32_t h = n / 2;
  // The residual a - x^2; its words up to h are all 0 or all 9999 and are not looked at.
  const int32_t borrow = mp_sub(a, t, t, n + 2);
  if (borrow == -1) mp_complement(t + h + 1, h + 2);
  residual_times_head(t, y, n, w1, w2, form, high_y, kSqrtStepFailure);
  mp_half(t + h + 1, t + h + 1, h + 2);
  apply_correction(x, t, h, borrow == 0);  // y (a - x^2) / 2
}

// A reciprocal step of g words and the square-root step of 2g after it, with two threads and
// room in w1 for a third transform of 2g doubles (4g <= n): the square of x, which the
// reciprocal step does not change, runs beside the reciprocal step's residual product and the
// spectrum of the new y. Those two are about the square's work, where the spectrum alone beside
// it is half of it: a square root of 2^16 words takes 0.95 of the time it takes with the two
// steps one after the other. The square goes to t from word g + 8 (2g + 6 words), past the
// g + 6 of the reciprocal step, and ends within t's n + 6 words.
TermSums recip_and_sqrt_steps(const int16_t* a, int16_t* y, int16_t* x, int16_t* t, int32_t g,
                              double* w1, double* w2, const TermSums* kept_y,
                              int32_t balanced_from) {
  const WordForm form_g = word_form(g, balanced_from), form_2g = word_form(2 * g, balanced_from);
  const TermSums high_q = recip_step_product(x, y, t, g, w1, w2, w1 + g, form_g, kept_y);
  int16_t* square = t + g + 8;
  TermSums high_y;
  side_by_side(
      true, [&] { square_head(x, square, 2 * g, w1 + 2 * g, form_2g); },
      [&] {
        recip_step_correct(y, t, g, w1, w2, form_g, high_q);
        high_y = mp_spectrum(y, g, w2, 2 * g, form_2g);
      });
  sqrt_step_correct(a, y, x, square, 2 * g, w1, w2, form_2g, high_y);
  return high_y;
}

}  // namespace

TermSums mp_sqrt_step(const int16_t* a, const int16_t* y, int16_t* x, int16_t* t, int32_t n,
                      double* w1, double* w2, int32_t balanced_from) {
  const WordForm form = word_form(n, balanced_from);
  // x^2, and beside it the spectrum of y's head.
  TermSums high_y;
  side_by_side(
      side_by_side_pays(n), [&] { square_head(x, t, n, w1, form); },
      [&] { high_y = mp_spectrum(y, n / 2, w2, n, form); });
  sqrt_step_correct(a, y, x, t, n, w1, w2, form, high_y);
  return high_y;
}

void mp_sqrt(int16_t* a, int16_t* x, int16_t* y, int16_t* t, int32_t n, double* w1,
             double* w2, int32_t balanced_from) {
  // Below 0.0001 the seed no longer fits its words (and is infinite for a zero head).
  if (a[0] <= 0) fatal("error mp_sqrt argument\n");
  a[n] = 0;
  a[n + 1] = 0;
  for (int32_t i = 0; i < n + 4; ++i) {
    y[i] = 0;
    x[i] = 0;
  }
  seed_words(1.0 / std::sqrt(leading_value(a)), y);
  gsqpre(a, y, t, 8, w1, w2, balanced_from);
  gsqpre(a, y, t, 16, w1, w2, balanced_from);
  // x = a y in the units frame with x[0] = 0; moving it down a word gives the fraction frame.
  mp_mul(a, y, x, 16, w1, w2, balanced_from);
  for (int32_t i = 0; i < 15; ++i) x[i] = x[i + 1];
  // y goes on at 4 words and x at 8, each with two guard words.
  for (int32_t i = 6; i < 20; ++i) y[i] = 0;
  for (int32_t i = 10; i < 20; ++i) x[i] = 0;
  // A square-root step leaves in w2 the spectrum of y's head, which the next reciprocal step
  // would make again (the same words, length and form): it takes it from there.
  TermSums high_y;
  const TermSums* kept_y = nullptr;
  for (int32_t g = 8; g < n; g *= 2) {
    // The square-root step's transforms are 2g doubles; w1 has room for a third while 4g <= n.
    if (4 * g <= n && side_by_side_pays(2 * g)) {
      high_y = recip_and_sqrt_steps(a, y, x, t, g, w1, w2, kept_y, balanced_from);
    } else {
      const WordForm form = word_form(g, balanced_from);
      // The step below takes 2g doubles of w1: its second half is the spare one.
      const TermSums high_q = recip_step_product(x, y, t, g, w1, w2, w1 + g, form, kept_y);
      recip_step_correct(y, t, g, w1, w2, form, high_q);
      high_y = mp_sqrt_step(a, y, x, t, 2 * g, w1, w2, balanced_from);
    }
    kept_y = &high_y;
  }
  x[n] = 0;
  x[n + 1] = 0;
  y[n] = 0;
  y[n + 1] = 0;
  t[n] = 0;
  t[n + 1] = 0;
}
