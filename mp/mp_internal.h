// Building blocks of the products and the Newton iterations, beneath the interface in mp.h.
// Double arrays hold words converted for a transform of length L (a power of two), at most L/2
// words an operand, so that the product's terms do not wrap.
#pragma once

#include <cstdint>

#include "fft.h"
#include "mp.h"
#include "parallel.h"
#include "weights.h"

// A balanced word of this value or more takes kWordBase off and carries one into the word above.
constexpr int32_t kHalfBase = kWordBase / 2;

// Whether two independent products of transforms of n doubles should run side by side.
inline bool side_by_side_pays(int32_t n) {
  return n >= kSideBySideFrom && n < kSideBySideBelow && threads_to_spare();
}

// A released term further than this from the nearest integer means the transform has run out
// of precision: the run stops with "error fft rounding\n" rather than write wrong digits.
constexpr double kRoundingLimit = 0.25;

// c = a * b, top n words, in one transform of length 2n; c may be a or b. w1, w2: 2n doubles.
void mp_mul(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from = kBalancedFrom);
// Adds carry, what left word h of an accumulation at c + h, into words 0 to h-1: kuriage for
// a carry of 1, kuriage_h for more.
void carry_into_head(int16_t* c, int32_t h, int32_t carry);

// The form in which words enter a transform of length L.
inline WordForm word_form(int32_t L, int32_t balanced_from) {
  return L >= balanced_from ? WordForm::balanced : WordForm::words;
}

// A product in a transform of L doubles (mp_to_doubles, spectrum_pass, a release) is the
// negacyclic product of length L: word j enters as the complex element x_j theta^j
// (theta = e^(i pi / L), j < L/2), and after the pointwise product and the inverse, element j
// holds (c_j + i c_(j+L/2)) theta^j times L/2, c being the convolution terms. The releases and
// mp_term undo the weights; spectra are in the transform's bit-reversed order.
//
// Every product's terms are checked exactly: summed modulo 2^64 at 1 and at -1 (term p with
// the sign (-1)^p), they must give the product of the operands' values at 1 and at -1, their
// words as they entered summed the same way. A release rounds every one of the L terms for this,
// also those it does not keep; the linear product of L/2 words by L/2 has fewer than L terms, so
// the identities hold exactly. Wrong terms that the rounding check cannot see (a fault in
// memory, say) then stop the run: a change at one term always shows in the sum at 1, changes
// that cancel there show at -1 unless they cancel at both.
struct TermSums {
  uint64_t at_one = 0;
  uint64_t at_minus_one = 0;
};
// The sums a product's terms must have, and the message that stops the run if they do not.
struct ProductCheck {
  TermSums sums;
  const char* failure;
};
// The sums of the terms of a product of operands with the sums a and b.
TermSums product_sums(TermSums a, TermSums b);

// d = x_j theta^j for the k words w (k <= L/2), 0 for j from k up to L/2; balanced, x_j is
// w[j] less 10000 if it is 5000 or more (not word 0), plus 1 if w[j+1] is (j + 1 < k).
// Returns the words' values at 1 and -1 as they enter, which the products of these doubles are
// checked with.
TermSums mp_to_doubles(const int16_t* w, int32_t k, double* d, int32_t L,
                       WordForm form = WordForm::words);
// The k words w as a transform of L doubles converts them while it reads them
// (SpectrumPass::fill): fill_words converts elements from to to - 1 as mp_to_doubles would and
// adds their words' sums into slot `slot`; filled_sums gives the sums of all k once the pass has
// converted every element.
struct WordFill {
  const int16_t* w = nullptr;
  int32_t k = 0;
  int32_t L = 0;
  WordForm form = WordForm::words;
  Weights weights;
  TermSums sums[kFillSlots];
};
WordFill word_fill(const int16_t* w, int32_t k, int32_t L, WordForm form);
void fill_words(void* source, double* d, int32_t from, int32_t to, int32_t slot);
TermSums filled_sums(const WordFill& fill);
// d = the spectrum of the k words w; returns their sums.
TermSums mp_spectrum(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form);
// d = the terms of the product whose spectra are d and e (e unchanged).
void mp_spectrum_mul_back(double* d, const double* e, int32_t L);
// w1 = the terms of p (k words) times the operand whose spectrum is in w2, in one pass;
// returns the sums of p.
TermSums mp_terms_by_spectrum(const int16_t* p, int32_t k, double* w1, const double* w2,
                              int32_t L, WordForm form);
// d = the terms of the square of the k words w, in one pass; returns the sums of w.
TermSums mp_square_terms(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form);
// out = p (k words) times the operand with sums factor whose spectrum is in w2, released by
// mp_from_doubles into cnt words and checked, failing with the message failure; w1 is
// overwritten.
void mp_mul_by_spectrum(const int16_t* p, int32_t k, int16_t* out, int32_t cnt, double* w1,
                        const double* w2, int32_t L, WordForm form, TermSums factor,
                        const char* failure);
// terms = the L terms of the product whose inverse transform is d, scaled and unweighted as
// the releases round them.
void mp_terms(const double* d, int32_t L, double* terms);
// d = the top two words of (a[0], a[1]) * (b[0], b[1]), exact, as a fraction.
void mp_mul_2x2(const int16_t* a, const int16_t* b, int16_t* d);
// Rounds the inverse transform d of a product into cnt words of c: term k goes to word k + 1,
// word 0 takes the carry. Plain words: up to three terms past the last word contribute their
// carries, and the result is the truncation or one unit below it. Balanced words give terms of
// either sign, carried with floor quotients; six terms past the last word contribute when they
// settle its carry exactly, all of them otherwise (a dropped negative one could leave the
// result a unit high): the result is the exact truncation.
// Every release rounds all L terms and checks their sums against check (fatal check.failure on
// a mismatch), after the rounding check of every term.
// The overwriting form stops the run ("error mp_from_doubles\n") when the carry into word 0
// does not fit it. The accumulating forms add to c (the second adds the terms twice, each
// rounded before it is doubled), reduce word 0 below 10000 and return how many times 10000
// left it: 0 or 1 for operands below 1, more when an operand holds a folded integer part.
void mp_from_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L,
                     const ProductCheck& check, WordForm form = WordForm::words);
int32_t mp_add_doubles(int16_t* c, int32_t cnt, const double* d, int32_t L,
                       const ProductCheck& check, WordForm form = WordForm::words);
int32_t mp_add_doubles2(int16_t* c, int32_t cnt, const double* d, int32_t L,
                        const ProductCheck& check, WordForm form = WordForm::words);

// The value of the first five words of a fraction, as a double.
double leading_value(const int16_t* a);
// Writes c > 0 as five words from its first non-zero four-digit group: y[0] the integer part
// (after scaling by 10000 until it is at least 1), y[1] to y[4] the next groups.
void seed_words(double c, int16_t* y);

// a[i] = 9999 - a[i]: a fraction v on k words becomes 1 - v - 10000^-k.
void mp_complement(int16_t* a, int32_t k);
// The start of a seed step of m words (gakpre, gsqpre): t cleared over m + 6 words and y's
// spectrum in w2 for a transform of 2m doubles; returns y's sums.
TermSums seed_step_start(const int16_t* y, int16_t* t, int32_t m, double* w2, WordForm form);
// The end of a seed step: r (m + 2 words) is the fraction of a units-frame product near 1 whose
// integer word is r[-1]. At 1 or more (excess), y -= y r, else y += y (1 - r), halved first when
// halve is set; failure names a failed product check, too_high and too_low the borrow or carry
// out of y that ends the run.
void seed_step_correct(int16_t* y, int16_t* r, int32_t m, double* w1, const double* w2,
                       WordForm form, TermSums sums_y, bool halve, const char* failure,
                       const char* too_high, const char* too_low);
// One Newton step for 1/b with full products of m words; y updated over m + 2 words.
void gakpre(const int16_t* b, int16_t* y, int16_t* t, int32_t m, double* w1, double* w2,
            int32_t balanced_from = kBalancedFrom);
// One Newton step that takes q ~ 1/p from n/2 + 2 to n + 2 words; p is read over n + 2 words.
// spare, when not null, is a third work array of n doubles, which lets the step's two products
// by q's head run at once.
void mp_recip_step(const int16_t* p, int16_t* q, int16_t* t, int32_t n, double* w1, double* w2,
                   double* spare, int32_t balanced_from = kBalancedFrom);
// Its two halves: t = p q over n + 2 words (t has n + 6), returning the sums of q's head,
// whose spectrum is left in w2 (or, when kept_q is not null, is there already with those
// sums); then the residual in t times that head corrects q.
TermSums recip_step_product(const int16_t* p, const int16_t* q, int16_t* t, int32_t n,
                            double* w1, double* w2, double* spare, WordForm form,
                            const TermSums* kept_q);
void recip_step_correct(int16_t* q, int16_t* t, int32_t n, double* w1, double* w2,
                        WordForm form, TermSums high_q);
// The pieces both Newton steps of n words end with (h = n / 2). The residual at t + h + 1
// (h + 2 words, guard words included) times the head of y, whose spectrum is in w2 with sums
// high_y, replaces the residual there; the guard words' small products are added in.
void residual_times_head(int16_t* t, const int16_t* y, int32_t n, double* w1, double* w2,
                         WordForm form, TermSums high_y, const char* failure);
// The correction at t + h + 1 (h + 2 words) added to (or taken from) x from its word h on, the
// carry (borrow) run through x's head.
void apply_correction(int16_t* x, const int16_t* t, int32_t h, bool add);
// One Newton step for 1/sqrt(a) with full products of m words; y updated over m + 2 words.
void gsqpre(const int16_t* a, int16_t* y, int16_t* t, int32_t m, double* w1, double* w2,
            int32_t balanced_from = kBalancedFrom);
// One Newton step that takes x ~ sqrt(a) from n/2 + 2 to n + 2 words, with y ~ 1/x at n/2 + 2.
// Leaves the spectrum of y's head in w2 and returns its sums.
TermSums mp_sqrt_step(const int16_t* a, const int16_t* y, int16_t* x, int16_t* t, int32_t n,
                      double* w1, double* w2, int32_t balanced_from = kBalancedFrom);
