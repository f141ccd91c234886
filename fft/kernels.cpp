// Straight-line transforms of 4 to 32 doubles and their adjoints.
// The larger kernels work on pairs of neighbouring elements (Cx2).
#include "complex_pair.h"
#include "fft_internal.h"

namespace {

// Four-point group of P0..P3, given as the pairs (P0, P1) and (P2, P3): with A = P0 + P2,
// B = P1 + P3, D = P0 - P2 and E = P1 - P3, writes A + B, A - B, D + iE, D - iE.
void group4(Cx2 p01, Cx2 p23, double* out) {
  Cx2 ab = p01 + p23, de = p01 - p23;
  Cx2 x = firsts(ab, de), y = seconds(ab, times_i(de));  // (A, D) and (B, iE)
  Cx2 sum = x + y, difference = x - y;
  store_pair(out, 0, firsts(sum, difference));
  store_pair(out, 2, seconds(sum, difference));
}

// Eight-point transform of y0..y7 (four pairs), results in bit-reversed order:
// X0, X4, X2, X6, X1, X5, X3, X7.
void group8(Cx2 y01, Cx2 y23, Cx2 y45, Cx2 y67, double* out) {
  Cx2 s01 = y01 + y45, s23 = y23 + y67, d01 = y01 - y45, d23 = y23 - y67;
  // Results 0 to 3 are a + b, a - b, c + iu, c - iu with a = s0 + s2, b = s1 + s3,
  // c = s0 - s2, u = s1 - s3: the four-point group of s0..s3.
  group4(s01, s23, out);
  // g = d0 + i d2, h = (d1 + i d3) w_8, r = d0 - i d2, t = (d1 - i d3) w_8^3: results 4 to 7
  // are g + h, g - h, r + t, r - t.
  Cx2 gh = d01 + times_i(d23), rt = d01 - times_i(d23);
  Cx2 gr = firsts(gh, rt);
  Cx2 ht = seconds(gh, rt) * make_pair(Cx{kC4, kC4}, Cx{-kC4, kC4});
  Cx2 sum = gr + ht, difference = gr - ht;
  store_pair(out, 4, firsts(sum, difference));
  store_pair(out, 6, seconds(sum, difference));
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
  group8(load_pair(a, 0), load_pair(a, 2), load_pair(a, 4), load_pair(a, 6), a);
}

void fft_kernel16_odd(double* a) {
  Cx2 x01 = load_pair(a, 0), x23 = load_pair(a, 2), x45 = load_pair(a, 4), x67 = load_pair(a, 6);
  // P_j = (x_j + i x_(j+4)) w_16^j and Q_j = (x_j - i x_(j+4)) w_16^(3j).
  Cx2 p01 = (x01 + times_i(x45)) * make_pair(Cx{1.0, 0.0}, Cx{kC8, kS8});
  Cx2 p23 = (x23 + times_i(x67)) * make_pair(Cx{kC4, kC4}, Cx{kS8, kC8});
  Cx2 q01 = (x01 - times_i(x45)) * make_pair(Cx{1.0, 0.0}, Cx{kS8, kC8});
  Cx2 q23 = (x23 - times_i(x67)) * make_pair(Cx{-kC4, kC4}, Cx{-kC8, -kS8});
  group4(p01, p23, a);
  group4(q01, q23, a + 8);
}

void fft_kernel32(double* a) {
  Cx2 x[8];
  for (int j = 0; j < 8; ++j) x[j] = load_pair(a, 2 * j);
  // s_j = x_j + x_(j+8), d_j = x_j - x_(j+8), as pairs (j, j + 1).
  Cx2 s[4], d[4];
  for (int j = 0; j < 4; ++j) {
    s[j] = x[j] + x[j + 4];
    d[j] = x[j] - x[j + 4];
  }
  // U_j = (d_j + i d_(j+4)) w_16^j and V_j = (d_j - i d_(j+4)) w_16^(3j).
  Cx2 u01 = (d[0] + times_i(d[2])) * make_pair(Cx{1.0, 0.0}, Cx{kC8, kS8});
  Cx2 u23 = (d[1] + times_i(d[3])) * make_pair(Cx{kC4, kC4}, Cx{kS8, kC8});
  Cx2 v01 = (d[0] - times_i(d[2])) * make_pair(Cx{1.0, 0.0}, Cx{kS8, kC8});
  Cx2 v23 = (d[1] - times_i(d[3])) * make_pair(Cx{-kC4, kC4}, Cx{-kC8, -kS8});
  group8(s[0], s[1], s[2], s[3], a);
  group4(u01, u23, a + 16);
  group4(v01, v23, a + 24);
}

void fft_kernel32_odd(double* a) {
  Cx2 x[8];
  for (int j = 0; j < 8; ++j) x[j] = load_pair(a, 2 * j);
  // P_j = (x_j + i x_(j+8)) w_32^j and Q_j = (x_j - i x_(j+8)) w_32^(3j), as pairs (j, j + 1).
  const Cx2 p_twiddles[4] = {
      make_pair(Cx{1.0, 0.0}, Cx{kC16, kS16}), make_pair(Cx{kC8, kS8}, Cx{kC316, kS316}),
      make_pair(Cx{kC4, kC4}, Cx{kS316, kC316}), make_pair(Cx{kS8, kC8}, Cx{kS16, kC16})};
  const Cx2 q_twiddles[4] = {
      make_pair(Cx{1.0, 0.0}, Cx{kC316, kS316}), make_pair(Cx{kS8, kC8}, Cx{-kS16, kC16}),
      make_pair(Cx{-kC4, kC4}, Cx{-kC16, kS16}), make_pair(Cx{-kC8, -kS8}, Cx{-kS316, -kC316})};
  Cx2 p[4], q[4];
  for (int j = 0; j < 4; ++j) {
    p[j] = (x[j] + times_i(x[j + 4])) * p_twiddles[j];
    q[j] = (x[j] - times_i(x[j + 4])) * q_twiddles[j];
  }
  group8(p[0], p[1], p[2], p[3], a);
  group8(q[0], q[1], q[2], q[3], a + 16);
}

// The adjoints run the kernels' steps backwards, each step by its own adjoint: a sum and
// difference x + y, x - y by a sum and difference, a product by a twiddle by its conjugate, a
// product by i by one by -i, and a regrouping of pairs (firsts, seconds) by its inverse.
namespace {

// Adjoint of group4: the pairs (P0, P1) and (P2, P3) from the four results at out.
void group4_adjoint(const double* out, Cx2& p01, Cx2& p23) {
  const Cx2 o01 = load_pair(out, 0), o23 = load_pair(out, 2);
  const Cx2 sum = firsts(o01, o23), difference = seconds(o01, o23);
  const Cx2 x = sum + difference, y = sum - difference;  // (A, D) and (B, iE)
  const Cx2 ab = firsts(x, y), de = seconds(x, times_minus_i(y));
  p01 = ab + de;
  p23 = ab - de;
}

// Adjoint of group8: y01 to y67 from the eight results at out.
void group8_adjoint(const double* out, Cx2* y) {
  Cx2 s01, s23;
  group4_adjoint(out, s01, s23);
  const Cx2 o45 = load_pair(out, 4), o67 = load_pair(out, 6);
  const Cx2 sum = firsts(o45, o67), difference = seconds(o45, o67);
  const Cx2 gr = sum + difference;
  const Cx2 ht = mul_conj(sum - difference, twiddles(Cx{kC4, kC4}, Cx{-kC4, kC4}));
  const Cx2 gh = firsts(gr, ht), rt = seconds(gr, ht);
  const Cx2 d01 = gh + rt, d23 = times_minus_i(gh - rt);
  y[0] = s01 + d01;
  y[2] = s01 - d01;
  y[1] = s23 + d23;
  y[3] = s23 - d23;
}

// The twiddles of the odd groups as pairs (j, j + 1): w_16^j and w_16^(3j), w_32^j and
// w_32^(3j).
constexpr Cx kW16[4] = {{1.0, 0.0}, {kC8, kS8}, {kC4, kC4}, {kS8, kC8}};
constexpr Cx kW16Cubed[4] = {{1.0, 0.0}, {kS8, kC8}, {-kC4, kC4}, {-kC8, -kS8}};
constexpr Cx kW32[8] = {{1.0, 0.0}, {kC16, kS16}, {kC8, kS8}, {kC316, kS316},
                        {kC4, kC4}, {kS316, kC316}, {kS8, kC8}, {kS16, kC16}};
constexpr Cx kW32Cubed[8] = {{1.0, 0.0},   {kC316, kS316}, {kS8, kC8},   {-kS16, kC16},
                             {-kC4, kC4},  {-kC16, kS16},  {-kC8, -kS8}, {-kS316, -kC316}};

// Adjoint of x, x' -> P = (x + i x') w, Q = (x - i x') v for pairs: x = conj(w) P + conj(v) Q,
// x' = -i (conj(w) P - conj(v) Q).
inline void odd_split_adjoint(Cx2 p, Cx2 q, const Cx* w, const Cx* v, int j, Cx2& x,
                              Cx2& x_far) {
  const Cx2 u = mul_conj(p, twiddles(w[j], w[j + 1])), t = mul_conj(q, twiddles(v[j], v[j + 1]));
  x = u + t;
  x_far = times_minus_i(u - t);
}

}  // namespace

void fft_kernel16_inverse(double* a) {
  Cx2 y[4];
  group8_adjoint(a, y);
  for (int j = 0; j < 4; ++j) store_pair(a, 2 * j, y[j]);
}

void fft_kernel16_odd_inverse(double* a) {
  Cx2 p01, p23, q01, q23, x01, x23, x45, x67;
  group4_adjoint(a, p01, p23);
  group4_adjoint(a + 8, q01, q23);
  odd_split_adjoint(p01, q01, kW16, kW16Cubed, 0, x01, x45);
  odd_split_adjoint(p23, q23, kW16, kW16Cubed, 2, x23, x67);
  store_pair(a, 0, x01);
  store_pair(a, 2, x23);
  store_pair(a, 4, x45);
  store_pair(a, 6, x67);
}

void fft_kernel32_inverse(double* a) {
  Cx2 s[4], u01, u23, v01, v23, d[4];
  group8_adjoint(a, s);
  group4_adjoint(a + 16, u01, u23);
  group4_adjoint(a + 24, v01, v23);
  odd_split_adjoint(u01, v01, kW16, kW16Cubed, 0, d[0], d[2]);
  odd_split_adjoint(u23, v23, kW16, kW16Cubed, 2, d[1], d[3]);
  for (int j = 0; j < 4; ++j) {
    store_pair(a, 2 * j, s[j] + d[j]);
    store_pair(a, 2 * j + 8, s[j] - d[j]);
  }
}

void fft_kernel32_odd_inverse(double* a) {
  Cx2 p[4], q[4];
  group8_adjoint(a, p);
  group8_adjoint(a + 16, q);
  for (int j = 0; j < 4; ++j) {
    Cx2 x, x_far;
    odd_split_adjoint(p[j], q[j], kW32, kW32Cubed, 2 * j, x, x_far);
    store_pair(a, 2 * j, x);
    store_pair(a, 2 * j + 8, x_far);
  }
}
