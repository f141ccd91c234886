// Prints the first DIGITS decimal digits of pi after the point, from MPFR.
#include <mpfr.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mpfr_pi_digits DIGITS\n");
    return 2;
  }
  long digits = std::atol(argv[1]);
  mpfr_t pi;
  mpfr_init2(pi, static_cast<mpfr_prec_t>((digits + 20) * 3.3219280948873623) + 64);
  mpfr_const_pi(pi, MPFR_RNDZ);
  mpfr_exp_t exponent;
  char* text = mpfr_get_str(nullptr, &exponent, 10, digits + 10, pi, MPFR_RNDZ);
  // text is "31415...", exponent 1: skip the integer part.
  std::fwrite(text + 1, 1, digits, stdout);
  std::fputc('\n', stdout);
  mpfr_free_str(text);
  mpfr_clear(pi);
  return 0;
}
