// Long products: operands converted, one pass of the transform with the pointwise product, and
// the release of the terms into words; the half-length products m1604h and m1604xxh.
#include "fft.h"
#include "mp_internal.h"

namespace {

// Forward array x of the pass is d, converted from words as the pass reads it.
void fill_forward(SpectrumPass& pass, int32_t x, double* d, WordFill& words) {
  pass.fill = fill_words;
  pass.fill_source[x] = &words;
  pass.forward[x] = d;
}

// One pass: forward (from words) and forward_too (from words_too, where not null) are converted
// and transformed forward, then product = product * factor, and product comes back as the
// terms.
void product_pass(int32_t L, double* forward, WordFill* words, double* forward_too,
                  WordFill* words_too, double* product, const double* factor) {
  SpectrumPass pass;
  if (words != nullptr) fill_forward(pass, 0, forward, *words);
  if (words_too != nullptr) fill_forward(pass, 1, forward_too, *words_too);
  pass.product = product;
  pass.factor = factor;
  pass.inverse[0] = product;
  spectrum_pass(L, pass);
}

}  // namespace

TermSums mp_spectrum(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  WordFill words = word_fill(w, k, L, form);
  SpectrumPass pass;
  fill_forward(pass, 0, d, words);
  spectrum_pass(L, pass);
  return filled_sums(words);
}

void mp_spectrum_mul_back(double* d, const double* e, int32_t L) {
  product_pass(L, nullptr, nullptr, nullptr, nullptr, d, e);
}

TermSums mp_terms_by_spectrum(const int16_t* p, int32_t k, double* w1, const double* w2,
                              int32_t L, WordForm form) {
  WordFill words = word_fill(p, k, L, form);
  product_pass(L, w1, &words, nullptr, nullptr, w1, w2);
  return filled_sums(words);
}

TermSums mp_square_terms(const int16_t* w, int32_t k, double* d, int32_t L, WordForm form) {
  WordFill words = word_fill(w, k, L, form);
  SpectrumPass pass;
  fill_forward(pass, 0, d, words);
  pass.square = d;
  pass.inverse[0] = d;
  spectrum_pass(L, pass);
  return filled_sums(words);
}

void mp_mul_2x2(const int16_t* a, const int16_t* b, int16_t* d) {
  int32_t t[4] = {0, a[0] * b[0], a[0] * b[1] + a[1] * b[0], a[1] * b[1]};
  int32_t carry = 0;
  for (int32_t k = 3; k >= 0; --k) {
    int32_t sum = t[k] + carry;
    carry = sum / kWordBase;
    t[k] = sum - carry * kWordBase;
  }
  d[0] = static_cast<int16_t>(t[0]);
  d[1] = static_cast<int16_t>(t[1]);
}

void mp_mul_by_spectrum(const int16_t* p, int32_t k, int16_t* out, int32_t cnt, double* w1,
                        const double* w2, int32_t L, WordForm form, TermSums factor,
                        const char* failure) {
  const TermSums sums = mp_terms_by_spectrum(p, k, w1, w2, L, form);
  mp_from_doubles(out, cnt, w1, L, {product_sums(sums, factor), failure}, form);
}

void mp_mul(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from) {
  const int32_t L = 2 * n;
  const WordForm form = word_form(L, balanced_from);
  WordFill words_a = word_fill(a, n, L, form), words_b = word_fill(b, n, L, form);
  product_pass(L, w1, &words_a, w2, &words_b, w1, w2);  // w1 = the terms, w2 keeps its spectrum
  const TermSums sums = product_sums(filled_sums(words_a), filled_sums(words_b));
  mp_from_doubles(c, n, w1, L, {sums, "error mp_mul check\n"}, form);
}

void carry_into_head(int16_t* c, int32_t h, int32_t carry) {
  if (carry == 1) {
    kuriage(c, h);
  } else if (carry > 1) {
    kuriage_h(c, h, carry);
  }
}

void m1604h(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from) {
  if (c == a || c == b) fatal("error m1604h\n");
  const int32_t h = n / 2;
  const WordForm form = word_form(n, balanced_from);
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  // a b = aH bH + (aL bH + aH bL) 10000^-h + aL bL 10000^-n; of aL bL only the head counts.
  constexpr const char* kFailure = "error m1604h check\n";
  mp_mul_2x2(a + h, b + h, c + n);
  WordFill low_a_words = word_fill(a + h, h, n, form);
  WordFill high_b_words = word_fill(b, h, n, form);  // its spectrum kept for aH bH
  product_pass(n, w1, &low_a_words, w2, &high_b_words, w1, w2);
  const TermSums low_a = filled_sums(low_a_words), high_b = filled_sums(high_b_words);
  carry_into_head(c, h,
                  mp_add_doubles(c + h, h + 2, w1, n, {product_sums(low_a, high_b), kFailure}, form));
  // aH, its spectrum kept for aH bL, times the spectrum of bH.
  WordFill high_a_words = word_fill(a, h, n, form);
  product_pass(n, w1, &high_a_words, nullptr, nullptr, w2, w1);
  const TermSums high_a = filled_sums(high_a_words);
  mp_add_doubles(c, n, w2, n, {product_sums(high_a, high_b), kFailure}, form);
  const TermSums low_b = mp_terms_by_spectrum(b + h, h, w2, w1, n, form);  // bL times aH
  carry_into_head(c, h,
                  mp_add_doubles(c + h, h + 2, w2, n, {product_sums(low_b, high_a), kFailure}, form));
  c[n] = 0;
  c[n + 1] = 0;
}

int32_t m1604xxh(const int16_t* a, int16_t* c, int32_t n, double* w1, double* w2,
                 int32_t balanced_from) {
  if (c == a) fatal("error m1604xxh\n");
  const int32_t h = n / 2;
  const WordForm form = word_form(n, balanced_from);
  for (int32_t i = 0; i < n + 2; ++i) c[i] = 0;
  mp_mul_2x2(a + h, a + h, c + n);
  constexpr const char* kFailure = "error m1604xxh check\n";
  // One pass: aL times aH into w1, aH squared into w2.
  WordFill low_words = word_fill(a + h, h, n, form), high_words = word_fill(a, h, n, form);
  SpectrumPass pass;
  fill_forward(pass, 0, w1, low_words);
  fill_forward(pass, 1, w2, high_words);
  pass.product = w1;
  pass.factor = w2;
  pass.square = w2;
  pass.inverse[0] = w1;
  pass.inverse[1] = w2;
  spectrum_pass(n, pass);
  const TermSums low = filled_sums(low_words), high = filled_sums(high_words);
  carry_into_head(c, h, mp_add_doubles2(c + h, h + 2, w1, n, {product_sums(low, high), kFailure},
                                        form));  // 2 aL aH
  int32_t flag = mp_add_doubles(c, n, w2, n, {product_sums(high, high), kFailure}, form);
  c[n] = 0;
  c[n + 1] = 0;
  return flag;
}
