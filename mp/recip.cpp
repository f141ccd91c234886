// Reciprocal by Newton's iteration y <- y + y (1 - b y), doubling the working length each step.
#include "mp_internal.h"

void mp_complement(int16_t* a, int32_t k) {
  for (int32_t i = 0; i < k; ++i) a[i] = static_cast<int16_t>(kWordBase - 1 - a[i]);
}

TermSums seed_step_start(const int16_t* y, int16_t* t, int32_t m, double* w2, WordForm form) {
  for (int32_t i = 0; i < m + 6; ++i) t[i] = 0;
  return mp_spectrum(y, m, w2, 2 * m, form);
}

void seed_step_correct(int16_t* y, int16_t* r, int32_t m, double* w1, const double* w2,
                       WordForm form, TermSums sums_y, bool halve, const char* failure,
                       const char* too_high, const char* too_low) {
  const bool excess = r[-1] == 1;
  if (!excess) mp_complement(r, m + 2);
  mp_mul_by_spectrum(r, m, r, m + 2, w1, w2, 2 * m, form, sums_y, failure);
  if (halve) mp_half(r, r, m + 2);
  if (excess) {
    if (mp_sub(y, r, y, m + 2) == -1) fatal(too_high);
  } else if (mp_add(y, r, y, m + 2) == 1) {
    fatal(too_low);
  }
}

void gakpre(const int16_t* b, int16_t* y, int16_t* t, int32_t m, double* w1, double* w2,
            int32_t balanced_from) {
  const WordForm form = word_form(2 * m, balanced_from);
  constexpr const char* kFailure = "error gakpre check\n";
  const TermSums sums_y = seed_step_start(y, t, m, w2, form);  // y, kept for the correction
  mp_mul_by_spectrum(b, m, t, m + 2, w1, w2, 2 * m, form, sums_y, kFailure);  // t = b y, units
  // Excess (b y = 1.xxx): y -= (b y - 1) y; deficit: y += (1 - b y) y.
  seed_step_correct(y, t + 1, m, w1, w2, form, sums_y, false, kFailure, "error gakpre s\n",
                    "error gakpre a\n");
}

namespace {
constexpr const char* kRecipStepFailure = "error mp_recip_step check\n";
}  // namespace

TermSums recip_step_product(const int16_t* p, const int16_t* q, int16_t* t, int32_t n,
                            double* w1, double* w2, double* spare, WordForm form,
                            const TermSums* kept_q) {
  const int32_t h = n / 2;
  for (int32_t i = n; i < n + 6; ++i) t[i] = 0;
  // t = p q over n + 2 words: pH qH exactly, pL qH, q's guard words times p, and the small
  // products of the guard words.
  mp_mul_2x2(p + n, q, t + n);
  // qH, used three times
  const TermSums high_q = kept_q != nullptr ? *kept_q : mp_spectrum(q, h, w2, n, form);
  // pH qH into t, and pL qH's terms: in w1 after the first, or in spare beside it.
  const bool parallel = spare != nullptr && side_by_side_pays(n);
  double* low_terms = parallel ? spare : w1;
  TermSums low_p;
  side_by_side(
      parallel,
      [&] { mp_mul_by_spectrum(p, h, t, n, w1, w2, n, form, high_q, kRecipStepFailure); },
      [&] { low_p = mp_terms_by_spectrum(p + h, h, low_terms, w2, n, form); });
  const ProductCheck low_check = {product_sums(low_p, high_q), kRecipStepFailure};
  carry_into_head(t, h, mp_add_doubles(t + h, h + 2, low_terms, n, low_check, form));
  const double guard = q[h] * static_cast<double>(kWordBase) + q[h + 1];
  int32_t carry = mp_mul_small_add(p, guard, t + h + 2, h);
  if (carry > 0) kuriage_h(t, h + 2, carry);
  int16_t guards[2];
  mp_mul_2x2(p + h, q + h, guards);
  if (mp_add(t + n, guards, t + n, 2) == 1) kuriage(t, n);
  return high_q;
}

void recip_step_correct(int16_t* q, int16_t* t, int32_t n, double* w1, double* w2,
                        WordForm form, TermSums high_q) {
  const int32_t h = n / 2;
  // The residual: t[h+1..] is the excess p q - 1, or after complementing the deficit 1 - p q.
  const bool excess = t[0] == 1;
  if (!excess) mp_complement(t + h + 1, h + 2);
  residual_times_head(t, q, n, w1, w2, form, high_q, kRecipStepFailure);
  apply_correction(q, t, h, !excess);
}

void mp_recip_step(const int16_t* p, int16_t* q, int16_t* t, int32_t n, double* w1, double* w2,
                   double* spare, int32_t balanced_from) {
  const WordForm form = word_form(n, balanced_from);
  const TermSums high_q = recip_step_product(p, q, t, n, w1, w2, spare, form, nullptr);
  recip_step_correct(q, t, n, w1, w2, form, high_q);
}

void residual_times_head(int16_t* t, const int16_t* y, int32_t n, double* w1, double* w2,
                         WordForm form, TermSums high_y, const char* failure) {
  const int32_t h = n / 2;
  // The guard words' small products first: the product overwrites the residual.
  int16_t guard_times_y[2], residual_times_guard[2];
  mp_mul_2x2(t + n + 1, y, guard_times_y);
  mp_mul_2x2(t + h + 1, y + h, residual_times_guard);
  mp_mul_by_spectrum(t + h + 1, h, t + h + 1, h + 2, w1, w2, n, form, high_y, failure);
  if (mp_add(t + n + 1, residual_times_guard, t + n + 1, 2) == 1) kuriage(t + 1, n);
  if (mp_add(t + n + 1, guard_times_y, t + n + 1, 2) == 1) kuriage(t + 1, n);
}

void apply_correction(int16_t* x, const int16_t* t, int32_t h, bool add) {
  if (add) {
    if (mp_add(x + h, t + h + 1, x + h, h + 2) == 1) kuriage(x, h);
  } else {
    if (mp_sub(x + h, t + h + 1, x + h, h + 2) == -1) kurisage(x, h);
  }
}

void seed_words(double c, int16_t* y) {
  while (static_cast<int64_t>(c) == 0) c *= kWordBase;
  for (int32_t k = 0; k < 5; ++k) {
    y[k] = static_cast<int16_t>(static_cast<int64_t>(c));
    c = (c - y[k]) * kWordBase;
  }
}

double leading_value(const int16_t* a) {
  double s = 0.0, f = 0.0001;
  for (int32_t k = 0; k < 5; ++k) {
    s = a[k] * f + s;
    f *= 0.0001;
  }
  return s;
}

void mp_recip(int16_t* b, int16_t* y, int16_t* t, int32_t n, double* w1, double* w2,
              int32_t balanced_from) {
  // Below 0.0001 the seed no longer fits its words (and is infinite for a zero head).
  if (b[0] <= 0) fatal("error mp_recip argument\n");
  b[n] = 0;
  b[n + 1] = 0;
  for (int32_t i = 0; i < n + 4; ++i) y[i] = 0;
  seed_words(1.0 / leading_value(b), y);
  gakpre(b, y, t, 8, w1, w2, balanced_from);
  for (int32_t i = 6; i < 20; ++i) y[i] = 0;  // 4 words and two guard words go on
  // A step of g words uses g doubles of each work array: while 2g fit w1, its second half is
  // the spare one.
  for (int32_t g = 8; g <= n; g *= 2) {
    mp_recip_step(b, y, t, g, w1, w2, 2 * g <= n ? w1 + g : nullptr, balanced_from);
  }
  y[n] = 0;
  y[n + 1] = 0;
  t[n] = 0;
  t[n + 1] = 0;
}
