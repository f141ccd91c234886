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
// product by i by one by -i. Element by element, on scalars.
namespace {

// Adjoint of the four-point group: A = o0 + o1, B = o0 - o1, D = o2 + o3, E = -i (o2 - o3),
// then P0, P2 = A +- D and P1, P3 = B +- E.
inline void group4_adjoint(const Cx* o, Cx* p) {
  const Cx A = o[0] + o[1], B = o[0] - o[1], D = o[2] + o[3], E = times_minus_i(o[2] - o[3]);
  p[0] = A + D, p[2] = A - D, p[1] = B + E, p[3] = B - E;
}

// Adjoint of the eight-point group: results 0 to 3 back through the four-point group, 4 to 7
// through g, h, r, t with the conjugate twiddles of w_8 and w_8^3.
inline void group8_adjoint(const Cx* o, Cx* y) {
  Cx s[4];
  group4_adjoint(o, s);
  const Cx g = o[4] + o[5], h = o[4] - o[5], r = o[6] + o[7], t = o[6] - o[7];
  // h conj(w_8) and t conj(w_8^3) as two products each.
  const Cx H = {(h.re + h.im) * kC4, (h.im - h.re) * kC4};
  const Cx T = {(t.im - t.re) * kC4, -(t.re + t.im) * kC4};
  const Cx d[4] = {g + r, H + T, times_minus_i(g - r), times_minus_i(H - T)};
  for (int j = 0; j < 4; ++j) {
    y[j] = s[j] + d[j];
    y[j + 4] = s[j] - d[j];
  }
}

inline void load_elements(const double* a, Cx* x, int count) {
  for (int j = 0; j < count; ++j) x[j] = load(a, j);
}
inline void store_elements(double* a, const Cx* x, int count) {
  for (int j = 0; j < count; ++j) store(a, j, x[j]);
}

// w_16^j and w_16^(3j), w_32^j and w_32^(3j), conjugated.
constexpr Cx kConjW16[4] = {{1.0, 0.0}, {kC8, -kS8}, {kC4, -kC4}, {kS8, -kC8}};
constexpr Cx kConjW16Cubed[4] = {{1.0, 0.0}, {kS8, -kC8}, {-kC4, -kC4}, {-kC8, kS8}};
constexpr Cx kConjW32[8] = {{1.0, 0.0},   {kC16, -kS16}, {kC8, -kS8}, {kC316, -kS316},
                            {kC4, -kC4},  {kS316, -kC316}, {kS8, -kC8}, {kS16, -kC16}};
constexpr Cx kConjW32Cubed[8] = {{1.0, 0.0},  {kC316, -kS316}, {kS8, -kC8},   {-kS16, -kC16},
                                 {-kC4, -kC4}, {-kC16, -kS16}, {-kC8, kS8}, {-kS316, kC316}};

}  // namespace

void fft_kernel16_inverse(double* a) {
  Cx o[8], y[8];
  load_elements(a, o, 8);
  group8_adjoint(o, y);
  store_elements(a, y, 8);
}

void fft_kernel16_odd_inverse(double* a) {
  Cx o[8], P[4], Q[4], x[8];
  load_elements(a, o, 8);
  group4_adjoint(o, P);
  group4_adjoint(o + 4, Q);
  for (int j = 0; j < 4; ++j) {
    const Cx p = P[j] * kConjW16[j], q = Q[j] * kConjW16Cubed[j];
    x[j] = p + q;
    x[j + 4] = times_minus_i(p - q);
  }
  store_elements(a, x, 8);
}

void fft_kernel32_inverse(double* a) {
  Cx o[16], s[8], U[4], V[4], x[16];
  load_elements(a, o, 16);
  group8_adjoint(o, s);
  group4_adjoint(o + 8, U);
  group4_adjoint(o + 12, V);
  Cx d[8];
  for (int j = 0; j < 4; ++j) {
    const Cx u = U[j] * kConjW16[j], v = V[j] * kConjW16Cubed[j];
    d[j] = u + v;
    d[j + 4] = times_minus_i(u - v);
  }
  for (int j = 0; j < 8; ++j) {
    x[j] = s[j] + d[j];
    x[j + 8] = s[j] - d[j];
  }
  store_elements(a, x, 16);
}

void fft_kernel32_odd_inverse(double* a) {
  Cx o[16], P[8], Q[8], x[16];
  load_elements(a, o, 16);
  group8_adjoint(o, P);
  group8_adjoint(o + 8, Q);
  for (int j = 0; j < 8; ++j) {
    const Cx p = P[j] * kConjW32[j], q = Q[j] * kConjW32Cubed[j];
    x[j] = p + q;
    x[j + 8] = times_minus_i(p - q);
  }
  store_elements(a, x, 16);
}
