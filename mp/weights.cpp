// The weights of the products' transforms: tables of powers of theta = e^(i pi / L).
#include <cmath>

#include "weights.h"

namespace {

// Long transforms fill the tables from cos and sin, shorter ones from exact powers.
constexpr int32_t kExactWeightsFrom = 1 << 16;

// table[i] = root^i for i < count, root = e^(i pi step / L) (step a power of two).
void fill_powers(Cx* table, int32_t count, int32_t step, int32_t L) {
  table[0] = {1.0, 0.0};
  for (int32_t i = 1; i < count; ++i) {
    if (L >= kExactWeightsFrom) {
      const double angle = kPi * (static_cast<double>(i) * step) / L;
      table[i] = {std::cos(angle), std::sin(angle)};
    } else {
      // root^i = root^(2^b) root^(i - 2^b), with root^(2^b) = e^(i pi / (L / (step 2^b))).
      const int32_t top = 1 << (31 - __builtin_clz(static_cast<uint32_t>(i)));
      const Cx power = half_turn_over(L / (step * top));
      table[i] = top == i ? power : power * table[i - top];
    }
  }
}

}  // namespace

Weights make_weights(int32_t L) {
  const int32_t elements = L / 2;
  Weights weights;
  fill_powers(weights.fine, elements < kWeightBlock ? elements : kWeightBlock, 1, L);
  const int32_t blocks = (elements + kWeightBlock - 1) / kWeightBlock;
  fill_powers(weights.mid, blocks < kWeightBlock ? blocks : kWeightBlock, kWeightBlock, L);
  return weights;
}
