// Word-wise operations: sums, differences, small-factor products, halving, unit carries.
#include "carry_chain.h"
#include "mp.h"

int32_t mp_add(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  int32_t carry = 0;
  for (int32_t k = n - 1; k >= 0; --k) {
    int32_t s = a[k] + b[k] + carry;
    carry = s >= kWordBase ? 1 : 0;
    c[k] = static_cast<int16_t>(s - carry * kWordBase);
  }
  return carry;
}

int32_t mp_sub(const int16_t* a, const int16_t* b, int16_t* c, int32_t n) {
  int32_t borrow = 0;
  for (int32_t k = n - 1; k >= 0; --k) {
    int32_t d = a[k] - b[k] + borrow;
    borrow = d < 0 ? -1 : 0;
    c[k] = static_cast<int16_t>(d - borrow * kWordBase);
  }
  return borrow;
}

// One pass of c = (c if accumulate) + a * f. Every product a[k] f is an integer below 2^45,
// exact in a double; the carry chain adds them exactly.
template <bool accumulate>
static uint64_t mul_small_pass(const int16_t* a, double f, int16_t* c, int32_t n) {
  CarryChain chain;
  for (int32_t k = n - 1; k >= 0; --k) {
    const uint64_t term = static_cast<uint64_t>(a[k] * f);
    c[k] = add_place(chain, term, accumulate ? static_cast<uint32_t>(c[k]) : 0);
  }
  return carry_out(chain);
}

void mp_mul_small(int16_t* a, double f, int32_t n) { mul_small_pass<false>(a, f, a, n); }

void mp_mul_small_to(const int16_t* a, double f, int16_t* c, int32_t n) {
  mul_small_pass<false>(a, f, c, n);
}

int32_t mp_mul_small_add(const int16_t* a, double f, int16_t* c, int32_t n) {
  return static_cast<int32_t>(mul_small_pass<true>(a, f, c, n));
}

// The remainder that word k - 1 passes down is (its parity) times 10000; as 10000 is even (and
// a multiple of 4), it does not change the parity (or the remainder mod 4) of the next sum, so
// every word's remainder is that of the input word alone and no chain runs from word to word.
// Going from the last word up reads each input word before it is overwritten.
void mp_half(const int16_t* a, int16_t* c, int32_t n) {
  for (int32_t k = n - 1; k >= 1; --k) {
    c[k] = static_cast<int16_t>((a[k] + (a[k - 1] & 1) * kWordBase) >> 1);
  }
  if (n > 0) c[0] = static_cast<int16_t>(a[0] >> 1);
}

void mp_quarter(int16_t* a, int32_t n) {
  for (int32_t k = n - 1; k >= 1; --k) {
    a[k] = static_cast<int16_t>((a[k] + (a[k - 1] & 3) * kWordBase) >> 2);
  }
  if (n > 0) a[0] = static_cast<int16_t>(a[0] >> 2);
}

void kuriage(int16_t* a, int32_t n) {
  for (int32_t k = n - 1; k >= 0; --k) {
    if (a[k] + 1 < kWordBase) {
      ++a[k];
      return;
    }
    a[k] = static_cast<int16_t>(a[k] + 1 - kWordBase);
  }
  fatal("error kuriage");
}

void kurisage(int16_t* a, int32_t n) {
  for (int32_t k = n - 1; k >= 0; --k) {
    if (a[k] > 0) {
      --a[k];
      return;
    }
    a[k] = static_cast<int16_t>(a[k] - 1 + kWordBase);
  }
  fatal("error kurisage");
}

void kuriage_h(int16_t* a, int32_t n, int32_t carry) {
  int64_t c = carry;
  for (int32_t k = n - 1; k >= 0 && c != 0; --k) {
    int64_t v = a[k] + c;
    c = v / kWordBase;
    a[k] = static_cast<int16_t>(v - c * kWordBase);
  }
  if (c != 0) fatal("error kuriage_h");
}
