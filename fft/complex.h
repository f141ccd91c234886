// Complex values as two doubles, and the few operations the butterflies are written with.
#pragma once

#include <bit>
#include <cstdint>

struct Cx {
  double re;
  double im;
};

inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx operator*(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Cx times_i(Cx a) { return {-a.im, a.re}; }
inline Cx times_minus_i(Cx a) { return {a.im, -a.re}; }
inline Cx conj(Cx a) { return {a.re, -a.im}; }
inline Cx mul_conj(Cx z, Cx w) { return z * conj(w); }

// Element e of an interleaved array.
inline Cx load(const double* a, int e) { return {a[2 * e], a[2 * e + 1]}; }
inline void store(double* a, int e, Cx z) {
  a[2 * e] = z.re;
  a[2 * e + 1] = z.im;
}

constexpr double kC4 = 0.7071067811865476;     // cos(pi/4)
constexpr double kC8 = 0.9238795325112867;     // cos(pi/8)
constexpr double kS8 = 0.3826834323650898;     // sin(pi/8)
constexpr double kC16 = 0.9807852804032304;    // cos(pi/16)
constexpr double kS16 = 0.19509032201612828;   // sin(pi/16)
constexpr double kC316 = 0.8314696123025452;   // cos(3pi/16)
constexpr double kS316 = 0.5555702330196022;   // sin(3pi/16)
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

// conj(A^3) for A on the unit circle: (x - t y, y - t x) with t = 4 x y.
inline Cx conj_cube(Cx a) {
  double t = 4.0 * a.im * a.re;
  return {a.re - t * a.im, a.im - t * a.re};
}

// z w_8 and z w_8^3 as two products each.
inline Cx times_w8(Cx z) { return {(z.re - z.im) * kC4, (z.re + z.im) * kC4}; }
inline Cx times_w8_cubed(Cx z) { return {-(z.re + z.im) * kC4, (z.re - z.im) * kC4}; }

// cos and sin of pi / 2^k (the double nearest), k = 0..31, as the library's cos and sin give
// them: every stage and real-data pass starts its twiddles from one of these, and a leaf's
// many small stages would otherwise spend a noticeable share of the transform in cos and sin.
constexpr Cx kHalfTurnFractions[32] = {
    {-1, 1.2246467991473532e-16},  // 0
    {6.123233995736766e-17, 1},  // 1
    {0.70710678118654757, 0.70710678118654746},  // 2
    {0.92387953251128674, 0.38268343236508978},  // 3
    {0.98078528040323043, 0.19509032201612825},  // 4
    {0.99518472667219693, 0.098017140329560604},  // 5
    {0.99879545620517241, 0.049067674327418015},  // 6
    {0.99969881869620425, 0.024541228522912288},  // 7
    {0.9999247018391445, 0.012271538285719925},  // 8
    {0.99998117528260111, 0.0061358846491544753},  // 9
    {0.99999529380957619, 0.0030679567629659761},  // 10
    {0.99999882345170188, 0.0015339801862847655},  // 11
    {0.99999970586288223, 0.00076699031874270449},  // 12
    {0.99999992646571789, 0.00038349518757139556},  // 13
    {0.99999998161642933, 0.00019174759731070329},  // 14
    {0.99999999540410733, 9.5873799095977345e-05},  // 15
    {0.99999999885102686, 4.7936899603066881e-05},  // 16
    {0.99999999971275666, 2.3968449808418219e-05},  // 17
    {0.99999999992818922, 1.1984224905069705e-05},  // 18
    {0.99999999998204725, 5.9921124526424275e-06},  // 19
    {0.99999999999551181, 2.9960562263346608e-06},  // 20
    {0.99999999999887801, 1.4980281131690111e-06},  // 21
    {0.99999999999971945, 7.4901405658471574e-07},  // 22
    {0.99999999999992983, 3.7450702829238413e-07},  // 23
    {0.99999999999998246, 1.8725351414619535e-07},  // 24
    {0.99999999999999567, 9.3626757073098084e-08},  // 25
    {0.99999999999999889, 4.6813378536549088e-08},  // 26
    {0.99999999999999978, 2.3406689268274551e-08},  // 27
    {0.99999999999999989, 1.1703344634137277e-08},  // 28
    {1, 5.8516723170686385e-09},  // 29
    {1, 2.9258361585343192e-09},  // 30
    {1, 1.4629180792671596e-09},  // 31
};

// e^(i pi / m) for m a power of two.
inline Cx half_turn_over(int32_t m) {
  return kHalfTurnFractions[std::countr_zero(static_cast<uint32_t>(m))];
}
