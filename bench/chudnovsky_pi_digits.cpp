// Prints the first DIGITS decimal digits of pi after the point: the Chudnovsky series summed by
// binary splitting on GMP integers, then one square root, one division and GMP's conversion.
//
//   1/pi = 12 sum_k (-1)^k (6k)! (13591409 + 545140134 k) / ((3k)! (k!)^3 640320^(3k + 3/2))
//
// With P(a, b), Q(a, b), T(a, b) over the terms a to b - 1 (P the running numerator of the term
// ratio, Q its denominator, T the scaled partial sum):
//   pi = 426880 sqrt(10005) Q(0, N) / T(0, N).
// Each term adds about 14.18 digits.
#include <gmp.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kDigitsPerTerm = 14.181647462725477;

struct Split {
  mpz_t p, q, t;
};

void split_init(Split& s) { mpz_inits(s.p, s.q, s.t, nullptr); }
void split_clear(Split& s) { mpz_clears(s.p, s.q, s.t, nullptr); }

// s = P, Q, T over the terms a to b - 1 (b > a).
void split(unsigned long a, unsigned long b, Split& s) {
  if (b - a == 1) {
    if (a == 0) {
      mpz_set_ui(s.p, 1);
      mpz_set_ui(s.q, 1);
    } else {
      // p = -(6a - 5)(2a - 1)(6a - 1), q = a^3 640320^3 / 24.
      mpz_set_ui(s.p, 6 * a - 5);
      mpz_mul_ui(s.p, s.p, 2 * a - 1);
      mpz_mul_ui(s.p, s.p, 6 * a - 1);
      mpz_neg(s.p, s.p);
      mpz_set_ui(s.q, a);
      mpz_mul_ui(s.q, s.q, a);
      mpz_mul_ui(s.q, s.q, a);
      mpz_mul_ui(s.q, s.q, 10939058860032000UL);  // 640320^3 / 24
    }
    // t = p (13591409 + 545140134 a)
    mpz_set_ui(s.t, 545140134);
    mpz_mul_ui(s.t, s.t, a);
    mpz_add_ui(s.t, s.t, 13591409);
    mpz_mul(s.t, s.t, s.p);
    return;
  }
  const unsigned long m = (a + b) / 2;
  Split right;
  split_init(right);
  split(a, m, s);
  split(m, b, right);
  // T = T1 Q2 + P1 T2, P = P1 P2, Q = Q1 Q2.
  mpz_mul(s.t, s.t, right.q);
  mpz_mul(right.t, right.t, s.p);
  mpz_add(s.t, s.t, right.t);
  mpz_mul(s.p, s.p, right.p);
  mpz_mul(s.q, s.q, right.q);
  split_clear(right);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::atol(argv[1]) < 1) {
    std::fprintf(stderr, "usage: chudnovsky_pi_digits DIGITS\n");
    return 2;
  }
  const unsigned long digits = std::strtoul(argv[1], nullptr, 10);
  const unsigned long guard = 20;  // digits computed beyond those printed
  const unsigned long terms = static_cast<unsigned long>((digits + guard) / kDigitsPerTerm) + 2;
  Split s;
  split_init(s);
  split(0, terms, s);
  // pi 10^(digits + guard) = 426880 Q floor(sqrt(10005 10^(2 (digits + guard)))) / T
  mpz_t root, pi;
  mpz_inits(root, pi, nullptr);
  mpz_ui_pow_ui(root, 10, 2 * (digits + guard));
  mpz_mul_ui(root, root, 10005);
  mpz_sqrt(root, root);
  mpz_mul(pi, s.q, root);
  mpz_mul_ui(pi, pi, 426880);
  mpz_tdiv_q(pi, pi, s.t);
  char* text = mpz_get_str(nullptr, 10, pi);
  // text is "31415...": skip the integer part.
  std::fwrite(text + 1, 1, digits, stdout);
  std::fputc('\n', stdout);
  std::free(text);
  mpz_clears(root, pi, nullptr);
  split_clear(s);
  return 0;
}
