// tallow: pi by the Gauss-Legendre iteration keeping a, c = (a - b) / 2, b and 2t; each
// iteration costs two squarings and one square root, the end one reciprocal and one product.
#include "tallow_pi.h"

#include <cstdio>

#include "entry.h"
#include "mp.h"

const int16_t* tallow_compute(int32_t bx, const RunBuffers& buffers, std::FILE* console,
                             ThreadFit& fit, RunLog& log) {
  const int32_t count = bx / 4;
  const int32_t steps = log2_steps(bx);
  int16_t* P = buffers.numbers[0];                    // a; at the end 2 a^2
  int16_t* Q = buffers.numbers[1];                    // c and scratch; at the end 1 / T
  int16_t* R = buffers.numbers[2];                    // 1/2, c^2, b^2; at the end pi
  int16_t* S = buffers.numbers[3];                    // b
  int16_t* T = buffers.numbers[4];                    // 2t
  int16_t* W = buffers.work;
  double* D1 = buffers.d1;
  double* D2 = buffers.d2;

  const bool set_up = timed_stage(fit, log, console, 0, [&] {
    for (int32_t k = 0; k < count + 4; ++k) T[k] = R[k] = 0;
    T[0] = R[0] = 5000;                                 // T = R = 1/2
    mp_sqrt(R, P, Q, W, count, D1, D2);  // P = b_0 = sqrt(1/2)
    mp_half(P, P, count);                               // P = b_0 / 2
    mp_sub(R, P, Q, count);                             // Q = c_1 = 1/2 - b_0 / 2
    P[0] = static_cast<int16_t>(P[0] + 5000);           // P = a_1 = 1/2 + b_0 / 2
  });
  if (!set_up) return nullptr;

  double f = 2.0;
  for (int32_t j = 1; j <= steps - 1; ++j) {
    const bool iterated = timed_stage(fit, log, console, j, [&] {
      m1604xxh(Q, R, count, D1, D2);       // R = c_j^2
      mp_mul_small_to(R, f, Q, count);                  // Q = 2^j c_j^2
      mp_sub(T, Q, T, count);                           // T = T_(j-1) - 2^j c_j^2
      m1604xxh(P, Q, count, D1, D2);       // Q = a_j^2
      mp_sub(Q, R, R, count);                           // R = a_j^2 - c_j^2 = b_j^2
      mp_sqrt(R, S, Q, W, count, D1, D2);  // S = b_j
      mp_sub(P, S, Q, count);                           // Q = a_j - b_j
      mp_half(Q, Q, count);                             // Q = c_(j+1)
      mp_add_folded(P, S, P, count);
      mp_half(P, P, count);                             // P = a_(j+1)
      f *= 2.0;
    });
    if (!iterated) return nullptr;
  }

  log.last_stage_start = begin_stage(fit, log);  // ended once the digits are written
  m1604xxh(P, Q, count, D1, D2);         // Q = a_i^2
  mp_add_folded(Q, Q, P, count);  // 2 a_i^2
  mp_recip(T, Q, W, count, D1, D2);      // Q = 1 / T, units frame
  m1604h(P, Q, R, count, D1, D2);        // R = 2 a_i^2 / T = pi, units frame
  spot_check_pi(R + 1, count - 1);
  return R + 1;
}
