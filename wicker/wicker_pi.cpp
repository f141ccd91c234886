// wicker: pi by the Gauss-Legendre iteration keeping a^2, b^2 and 2t; each iteration costs one
// product and one square root, the end one reciprocal and one product.
#include "wicker_pi.h"

#include <cstdio>

#include "entry.h"
#include "mp.h"

const int16_t* wicker_compute(int32_t bx, const RunBuffers& buffers, std::FILE* console,
                             ThreadFit& fit, RunLog& log) {
  const int32_t count = bx / 4;
  const int32_t steps = log2_steps(bx);
  int16_t* A2 = buffers.numbers[0];                     // a^2; at the end a^2 + b^2
  int16_t* B2 = buffers.numbers[1];                     // b^2; at the end 1 / T
  int16_t* T = buffers.numbers[2];                      // 2t
  int16_t* M = buffers.numbers[3];                      // a^2 b^2
  int16_t* U = buffers.numbers[4];                      // (a^2 + b^2) / 4, c^2; at the end pi
  int16_t* W = buffers.work;
  double* D1 = buffers.d1;
  double* D2 = buffers.d2;

  const bool set_up = timed_stage(fit, log, console, 0, [&] {
    for (int32_t k = 0; k < count + 4; ++k) A2[k] = B2[k] = T[k] = 0;
    A2[0] = 10000;        // a_0^2 = 1, folded into word 0
    B2[0] = T[0] = 5000;  // b_0^2 = 1/2, T_0 = 2 t_0 = 1/2
  });
  if (!set_up) return nullptr;

  double g = 2.0;
  for (int32_t j = 1; j <= steps - 1; ++j) {
    const bool iterated = timed_stage(fit, log, console, j, [&] {
      mp_add_folded(A2, B2, U, count);
      mp_quarter(U, count);                               // U = (a^2 + b^2) / 4
      m1604h(A2, B2, M, count, D1, D2);      // M = a^2 b^2
      mp_sqrt(M, B2, A2, W, count, D1, D2);  // B2 = a b = b_j^2
      mp_half(B2, A2, count);                             // A2 = a b / 2
      mp_add_folded(A2, U, A2, count);  // a_j^2
      mp_sub(A2, B2, U, count);                           // U = c_j^2
      mp_mul_small(U, g, count);                          // U = 2^j c_j^2
      mp_sub(T, U, T, count);                             // T = T_j
      g *= 2.0;
    });
    if (!iterated) return nullptr;
  }

  log.last_stage_start = begin_stage(fit, log);  // ended once the digits are written
  mp_add_folded(A2, B2, A2, count);
  mp_recip(T, B2, W, count, D1, D2);       // B2 = 1 / T, units frame
  m1604h(A2, B2, U, count, D1, D2);        // U = (a^2 + b^2) / (2t) = pi
  spot_check_pi(U + 1, count - 1);
  return U + 1;
}
