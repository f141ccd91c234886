// The leaves of the transform's tree, blocks of 128 doubles or fewer: straight-line kernels,
// and the fixed blocks of 64 and 128 doubles, or their adjoints.
#include <cmath>

#include "butterflies.h"
#include "fft_internal.h"

namespace {

// A block of 32 doubles or fewer: a kernel, or its adjoint.
inline void small_block(int32_t n, Kind kind, Direction direction, double* a) {
  const bool forward = direction == Direction::forward;
  if (n == 32) {
    if (kind == Kind::normal) {
      forward ? fft_kernel32(a) : fft_kernel32_inverse(a);
    } else {
      forward ? fft_kernel32_odd(a) : fft_kernel32_odd_inverse(a);
    }
  } else if (n == 16) {
    if (kind == Kind::normal) {
      forward ? fft_kernel16(a) : fft_kernel16_inverse(a);
    } else {
      forward ? fft_kernel16_odd(a) : fft_kernel16_odd_inverse(a);
    }
  } else if (n == 8) {
    forward ? fft_kernel8_fwd(a) : fft_kernel8_bwd(a);
  } else if (n == 4) {
    fft_kernel4(a);
  }
}

// Blocks of 64 and 128 doubles are straight-line code: the block's stage with exact twiddles
// from fixed tables, all its butterflies on pairs of elements, and the kernels of its quarters.
// A general stage that small would spend half its butterflies on single elements with twiddles
// of their own. Twiddles of element k below q = n/8, as powers of w_n: normal blocks w_n^(2k)
// and w_n^(6k); odd-frequency blocks z0 = w_n^k, z2 = w_8 z0, w1 = z0^3 and w3 = w_8^3 w1.
// The compiler computes the tables; the angle in long double keeps every entry the correctly
// rounded root (a double angle misses it in the last bit for a third of them).
constexpr Cx root_of_unity(int32_t k, int32_t n) {
  constexpr long double kPiLong = 3.141592653589793238462643383279502884L;
  const long double angle = 2.0L * kPiLong * k / n;
  return {static_cast<double>(std::cos(angle)), static_cast<double>(std::sin(angle))};
}

template <int32_t n>
struct FixedTwiddles {
  static constexpr int32_t q = n / 8;
  Cx normal[2][q];
  Cx odd[4][q];
  constexpr FixedTwiddles() : normal{}, odd{} {
    for (int32_t k = 0; k < q; ++k) {
      normal[0][k] = root_of_unity(2 * k, n);
      normal[1][k] = root_of_unity(6 * k, n);
      odd[0][k] = root_of_unity(k, n);
      odd[1][k] = root_of_unity(k + n / 8, n);
      odd[2][k] = root_of_unity(3 * k, n);
      odd[3][k] = root_of_unity(3 * k + 3 * n / 8, n);
    }
  }
};

template <int32_t n, Direction direction>
[[gnu::noinline]] void fixed_block(Kind kind, double* a) {
  constexpr int32_t q = n / 8;
  const auto quarters = [kind, a] {
    for (int32_t i = 0; i < 4; ++i) {
      small_block(n / 4, quarter_kind(i, kind), direction, a + i * (n / 4));
    }
  };
  if constexpr (direction == Direction::inverse) quarters();
  static constexpr FixedTwiddles<n> T;
  for (int32_t k = 0; k < q; k += 2) {
    if (kind == Kind::normal) {
      butterfly<direction, Cx2>(a, k, q, twiddles(T.normal[0][k], T.normal[0][k + 1]),
                                twiddles(T.normal[1][k], T.normal[1][k + 1]));
    } else {
      butterfly_odd<direction, Cx2>(
          a, k, q, twiddles(T.odd[0][k], T.odd[0][k + 1]), twiddles(T.odd[1][k], T.odd[1][k + 1]),
          twiddles(T.odd[2][k], T.odd[2][k + 1]), twiddles(T.odd[3][k], T.odd[3][k + 1]));
    }
  }
  if constexpr (direction == Direction::forward) quarters();
}

}  // namespace

void fft_leaf(int32_t n, Kind kind, Direction direction, double* a) {
  const bool forward = direction == Direction::forward;
  if (n == 128) {
    forward ? fixed_block<128, Direction::forward>(kind, a)
            : fixed_block<128, Direction::inverse>(kind, a);
  } else if (n == 64) {
    forward ? fixed_block<64, Direction::forward>(kind, a)
            : fixed_block<64, Direction::inverse>(kind, a);
  } else {
    small_block(n, kind, direction, a);
  }
}
