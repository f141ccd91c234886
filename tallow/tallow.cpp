// tallow: pi by the Gauss-Legendre iteration keeping a, c = (a - b) / 2, b and 2t; each
// iteration costs two squarings and one square root, the end one reciprocal and one product.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "entry.h"
#include "mp.h"

static void calc_pi(int32_t bx) {
  const int64_t total_start = clock_ms();
  const int32_t count = bx / 4;
  int32_t steps = 1;  // the least i >= 1 with 2^i >= bx
  while ((int64_t{1} << steps) < bx) ++steps;

  int16_t* P = allocate_or_fail<int16_t>(count + 4);  // a; at the end 2 a^2
  int16_t* Q = allocate_or_fail<int16_t>(count + 4);  // c and scratch; at the end 1 / T
  int16_t* R = allocate_or_fail<int16_t>(count + 4);  // c^2, b^2; at the end pi
  int16_t* S = allocate_or_fail<int16_t>(count + 4);  // b
  int16_t* T = allocate_or_fail<int16_t>(count + 4);  // 2t
  int16_t* W = allocate_or_fail<int16_t>(count + 14);
  double* D1 = allocate_or_fail<double>(count);
  double* D2 = allocate_or_fail<double>(count);
  std::printf("bx = %d  ", bx);
  std::printf("use memory = %" PRId64 "\n", 28 * int64_t{count} + 48);

  int64_t start = clock_ms();
  for (int32_t k = 0; k < count + 4; ++k) T[k] = R[k] = 0;
  T[0] = R[0] = 5000;                       // T = R = 1/2
  mp_sqrt(R, P, Q, W, count, D1, D2);       // P = b_0 = sqrt(1/2)
  mp_half(P, P, count);                     // P = b_0 / 2
  mp_sub(R, P, Q, count);                   // Q = c_1 = 1/2 - b_0 / 2
  P[0] = static_cast<int16_t>(P[0] + 5000);  // P = a_1 = 1/2 + b_0 / 2
  std::printf("-- %dmsec\n", static_cast<int>(clock_ms() - start));

  double f = 2.0;
  for (int32_t j = 1; j <= steps - 1; ++j) {
    start = clock_ms();
    m1604xxh(Q, R, count, D1, D2);           // R = c_j^2
    mp_mul_small_to(R, f, Q, count);         // Q = 2^j c_j^2
    mp_sub(T, Q, T, count);                  // T = T_(j-1) - 2^j c_j^2
    m1604xxh(P, Q, count, D1, D2);           // Q = a_j^2
    mp_sub(Q, R, R, count);                  // R = a_j^2 - c_j^2 = b_j^2
    mp_sqrt(R, S, Q, W, count, D1, D2);      // S = b_j
    mp_sub(P, S, Q, count);                  // Q = a_j - b_j
    mp_half(Q, Q, count);                    // Q = c_(j+1)
    if (mp_add(P, S, P, count) == 1) P[0] = static_cast<int16_t>(P[0] + kWordBase);
    mp_half(P, P, count);                    // P = a_(j+1)
    f *= 2.0;
    std::printf("%2d %dmsec\n", j, static_cast<int>(clock_ms() - start));
  }

  start = clock_ms();
  m1604xxh(P, Q, count, D1, D2);             // Q = a_i^2
  if (mp_add(Q, Q, P, count) == 1) P[0] = static_cast<int16_t>(P[0] + kWordBase);  // 2 a_i^2
  mp_recip(T, Q, W, count, D1, D2);          // Q = 1 / T, units frame
  m1604h(P, Q, R, count, D1, D2);            // R = 2 a_i^2 / T = pi, units frame
  write_pi_file(R + 1, count - 1);
  std::printf("-- %dmsec\n", static_cast<int>(clock_ms() - start));

  std::free(P);
  std::free(Q);
  std::free(R);
  std::free(S);
  std::free(T);
  std::free(W);
  std::free(D1);
  std::free(D2);
  std::printf("Total time : %d msec.\n", static_cast<int>(clock_ms() - total_start));
}

int main(int argc, char** argv) { return run_pi_program(argc, argv, calc_pi); }
