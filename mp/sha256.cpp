// SHA-256 (FIPS 180-4): the hash of the digits a run writes, for its report, and of its result
// words, to compare repeated runs. Written here rather than taken from a library: a library
// loaded at start-up cost short runs more than the whole hash costs long ones.
#include <cstring>

#include "mp.h"

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Mixes one block of 64 bytes into the state.
void compress(uint32_t* state, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    const uint32_t t1 = h + s1 + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    const uint32_t t2 = s0 + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256_start(Sha256& hash) {
  std::memcpy(hash.state, kStart, sizeof kStart);
  hash.bytes = 0;
}

void sha256_add(Sha256& hash, const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t held = hash.bytes % 64;
  hash.bytes += bytes;
  if (held > 0) {
    const size_t taken = bytes < 64 - held ? bytes : 64 - held;
    std::memcpy(hash.block + held, p, taken);
    p += taken;
    bytes -= taken;
    if (held + taken < 64) return;
    compress(hash.state, hash.block);
  }
  for (; bytes >= 64; bytes -= 64, p += 64) compress(hash.state, p);
  std::memcpy(hash.block, p, bytes);
}

void sha256_finish(Sha256& hash, uint8_t* digest) {
  const uint64_t bits = hash.bytes * 8;
  const uint8_t one = 0x80, zero = 0;
  sha256_add(hash, &one, 1);
  while (hash.bytes % 64 != 56) sha256_add(hash, &zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256_add(hash, length, 8);
  for (int i = 0; i < 8; ++i) {
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(hash.state[i] >> (24 - 8 * k));
  }
}

void sha256_of(const void* data, size_t bytes, uint8_t* digest) {
  Sha256 hash;
  sha256_start(hash);
  sha256_add(hash, data, bytes);
  sha256_finish(hash, digest);
}
