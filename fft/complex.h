// Complex values as two doubles, and the few operations the butterflies are written with.
#pragma once

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
constexpr double kHalfPi = 1.5707963267948966;

// conj(A^3) for A on the unit circle: (x - t y, y - t x) with t = 4 x y.
inline Cx conj_cube(Cx a) {
  double t = 4.0 * a.im * a.re;
  return {a.re - t * a.im, a.im - t * a.re};
}

// z w_8 and z w_8^3 as two products each.
inline Cx times_w8(Cx z) { return {(z.re - z.im) * kC4, (z.re + z.im) * kC4}; }
inline Cx times_w8_cubed(Cx z) { return {-(z.re + z.im) * kC4, (z.re - z.im) * kC4}; }
