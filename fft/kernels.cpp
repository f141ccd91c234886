// Straight-line transforms of 4 to 32 doubles, and the small leaf that finishes 64 or 128.
#include "complex.h"
#include "fft_internal.h"

namespace {

// Four-point group: (A + B, A - B, D + iE, D - iE) with A = P0 + P2, B = P1 + P3,
// D = P0 - P2, E = P1 - P3.
void group4(Cx p0, Cx p1, Cx p2, Cx p3, double* out) {
  Cx a = p0 + p2, b = p1 + p3, d = p0 - p2, e = p1 - p3;
  store(out, 0, a + b);
  store(out, 1, a - b);
  store(out, 2, d + times_i(e));
  store(out, 3, d - times_i(e));
}

// Eight-point transform of y, results in bit-reversed order: X0, X4, X2, X6, X1, X5, X3, X7.
void group8(const Cx* y, double* out) {
  Cx s0 = y[0] + y[4], s1 = y[1] + y[5], s2 = y[2] + y[6], s3 = y[3] + y[7];
  Cx d0 = y[0] - y[4], d1 = y[1] - y[5], d2 = y[2] - y[6], d3 = y[3] - y[7];
  Cx a = s0 + s2, b = s1 + s3, c = s0 - s2, u = s1 - s3;
  store(out, 0, a + b);
  store(out, 1, a - b);
  store(out, 2, c + times_i(u));
  store(out, 3, c - times_i(u));
  Cx g = d0 + times_i(d2);
  Cx h = times_w8(d1 + times_i(d3));
  Cx r = d0 - times_i(d2);
  Cx t = times_w8_cubed(d1 - times_i(d3));
  store(out, 4, g + h);
  store(out, 5, g - h);
  store(out, 6, r + t);
  store(out, 7, r - t);
}

}  // namespace

void fft_kernel4(double* a) {
  Cx x0 = load(a, 0), x1 = load(a, 1);
  store(a, 0, x0 + x1);
  store(a, 1, x0 - x1);
}

void fft_kernel8_fwd(double* a) {
  Cx x0 = load(a, 0), x1 = load(a, 1), x2 = load(a, 2), x3 = load(a, 3);
  Cx p = x0 + x2, q = x0 - x2, r = x1 + x3, t = x1 - x3;
  store(a, 0, p + r);
  store(a, 1, q + times_i(t));
  store(a, 2, p - r);
  store(a, 3, q - times_i(t));
}

void fft_kernel8_bwd(double* a) {
  Cx x0 = load(a, 0), x1 = load(a, 1), x2 = load(a, 2), x3 = load(a, 3);
  Cx p = x0 + x2, q = x0 - x2, r = x1 + x3, t = x1 - x3;
  store(a, 0, p + r);
  store(a, 1, q - times_i(t));
  store(a, 2, p - r);
  store(a, 3, q + times_i(t));
}

void fft_kernel16(double* a) {
  const Cx y[8] = {load(a, 0), load(a, 1), load(a, 2), load(a, 3),
                   load(a, 4), load(a, 5), load(a, 6), load(a, 7)};
  group8(y, a);
}

void fft_kernel16_odd(double* a) {
  Cx x[8];
  for (int j = 0; j < 8; ++j) x[j] = load(a, j);
  Cx p0 = x[0] + times_i(x[4]), p1 = x[1] + times_i(x[5]);
  Cx p2 = x[2] + times_i(x[6]), p3 = x[3] + times_i(x[7]);
  Cx q0 = x[0] - times_i(x[4]), q1 = x[1] - times_i(x[5]);
  Cx q2 = x[2] - times_i(x[6]), q3 = x[3] - times_i(x[7]);
  // P_j = p_j w_16^j and Q_j = q_j w_16^(3j).
  group4(p0, p1 * Cx{kC8, kS8}, times_w8(p2), p3 * Cx{kS8, kC8}, a);
  group4(q0, q1 * Cx{kS8, kC8}, times_w8_cubed(q2), q3 * Cx{-kC8, -kS8}, a + 8);
}

void fft_kernel32(double* a) {
  Cx x[16];
  for (int j = 0; j < 16; ++j) x[j] = load(a, j);
  Cx s[8], d[8];
  for (int j = 0; j < 8; ++j) {
    s[j] = x[j] + x[j + 8];
    d[j] = x[j] - x[j + 8];
  }
  // U_j = (d_j + i d_(j+4)) w_16^j and V_j = (d_j - i d_(j+4)) w_16^(3j).
  Cx u0 = d[0] + times_i(d[4]), u1 = d[1] + times_i(d[5]);
  Cx u2 = d[2] + times_i(d[6]), u3 = d[3] + times_i(d[7]);
  Cx v0 = d[0] - times_i(d[4]), v1 = d[1] - times_i(d[5]);
  Cx v2 = d[2] - times_i(d[6]), v3 = d[3] - times_i(d[7]);
  group8(s, a);
  group4(u0, u1 * Cx{kC8, kS8}, times_w8(u2), u3 * Cx{kS8, kC8}, a + 16);
  group4(v0, v1 * Cx{kS8, kC8}, times_w8_cubed(v2), v3 * Cx{-kC8, -kS8}, a + 24);
}

void fft_kernel32_odd(double* a) {
  Cx x[16];
  for (int j = 0; j < 16; ++j) x[j] = load(a, j);
  Cx p[8], q[8];
  for (int j = 0; j < 8; ++j) {
    p[j] = x[j] + times_i(x[j + 8]);
    q[j] = x[j] - times_i(x[j + 8]);
  }
  // P_j = p_j w_32^j and Q_j = q_j w_32^(3j).
  p[1] = p[1] * Cx{kC16, kS16};
  p[2] = p[2] * Cx{kC8, kS8};
  p[3] = p[3] * Cx{kC316, kS316};
  p[4] = times_w8(p[4]);
  p[5] = p[5] * Cx{kS316, kC316};
  p[6] = p[6] * Cx{kS8, kC8};
  p[7] = p[7] * Cx{kS16, kC16};
  q[1] = q[1] * Cx{kC316, kS316};
  q[2] = q[2] * Cx{kS8, kC8};
  q[3] = q[3] * Cx{-kS16, kC16};
  q[4] = times_w8_cubed(q[4]);
  q[5] = q[5] * Cx{-kC16, kS16};
  q[6] = q[6] * Cx{-kC8, -kS8};
  q[7] = q[7] * Cx{-kS316, -kC316};
  group8(p, a);
  group8(q, a + 16);
}

void fft_leaf_small(int32_t n, double* a) {
  if (n == 128) {
    fft_kernel32(a);
    fft_kernel32_odd(a + 32);
    fft_kernel32(a + 64);
    fft_kernel32(a + 96);
  } else {
    fft_kernel16(a);
    fft_kernel16_odd(a + 16);
    fft_kernel16(a + 32);
    fft_kernel16(a + 48);
  }
}
