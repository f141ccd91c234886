// Helpers shared by the tests: fatal-path checks, word arrays, exact big-integer arithmetic on
// words, and the expected layout of pi.txt.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// Runs statement in a child process and checks that it prints exactly message on standard
// output and exits with status 1. Standard output is sent where the death test reads, after
// what the child printed before (it re-runs the test program) has gone its own way.
#define EXPECT_FATAL(statement, message)                                      \
  EXPECT_EXIT(                                                                \
      {                                                                       \
        std::fflush(stdout);                                                  \
        dup2(2, 1);                                                           \
        statement;                                                            \
      },                                                                      \
      ::testing::ExitedWithCode(1), ::testing::StrEq(message))

// A word array holding values, padded with zeros to at least size words.
inline std::vector<int16_t> words(std::initializer_list<int> values, size_t size = 0) {
  std::vector<int16_t> w;
  for (int v : values) w.push_back(static_cast<int16_t>(v));
  if (w.size() < size) w.resize(size, 0);
  return w;
}

inline std::vector<int16_t> random_words(std::mt19937& rng, int32_t n, size_t size = 0) {
  std::uniform_int_distribution<int> word(0, 9999);
  std::vector<int16_t> w(n);
  for (auto& v : w) v = static_cast<int16_t>(word(rng));
  if (w.size() < size) w.resize(size, 0);
  return w;
}

// Exact non-negative integers as base-10000 words, most significant first (as the library
// stores them), with schoolbook arithmetic: slow and plainly right.
using BigWords = std::vector<int64_t>;

inline BigWords big_from(const int16_t* w, int32_t n) { return BigWords(w, w + n); }

inline void big_normalise(BigWords& a) {
  int64_t carry = 0;
  for (size_t k = a.size(); k-- > 0;) {
    int64_t v = a[k] + carry;
    carry = v / 10000;
    a[k] = v % 10000;
    if (a[k] < 0) a[k] += 10000, --carry;
  }
  while (carry != 0) {
    a.insert(a.begin(), carry % 10000);
    carry /= 10000;
  }
  while (a.size() > 1 && a[0] == 0) a.erase(a.begin());
}

inline BigWords big_mul(const BigWords& a, const BigWords& b) {
  BigWords c(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    for (size_t j = 0; j < b.size(); ++j) c[i + j + 1] += a[i] * b[j];  // below 2^63 for our sizes
  }
  big_normalise(c);
  return c;
}

// a * 10000^k
inline BigWords big_shift(BigWords a, size_t k) {
  a.insert(a.end(), k, 0);
  big_normalise(a);
  return a;
}

inline BigWords big_add_small(BigWords a, int64_t v) {
  a.back() += v;
  big_normalise(a);
  return a;
}

inline BigWords big_add(BigWords a, const BigWords& b) {
  if (a.size() < b.size()) a.insert(a.begin(), b.size() - a.size(), 0);
  for (size_t k = 0; k < b.size(); ++k) a[a.size() - b.size() + k] += b[k];
  big_normalise(a);
  return a;
}

// The lowest k words of a, padded with leading zeros.
inline BigWords big_low(BigWords a, size_t k) {
  if (a.size() < k) a.insert(a.begin(), k - a.size(), 0);
  return BigWords(a.end() - k, a.end());
}

// The value of a above its lowest k words, as an integer (it must fit).
inline int64_t big_high(const BigWords& a, size_t k) {
  int64_t v = 0;
  for (size_t i = 0; i + k < a.size(); ++i) v = v * 10000 + a[i];
  return v;
}

// -1, 0 or 1 as a is below, equal to or above b.
inline int big_compare(BigWords a, BigWords b) {
  big_normalise(a);
  big_normalise(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
  }
  return 0;
}

// The text pi.txt must hold for these digits after the point, built digit by digit: lines of
// five groups of ten, an empty line after every 1000 digits but at the end, the last line
// holding what is left, then one line end.
inline std::string expected_pi_file(const std::string& digits) {
  std::string out = "PI=3.\n\n";
  for (size_t i = 0; i < digits.size(); ++i) {
    out += digits[i];
    const size_t done = i + 1;
    if (done == digits.size()) {
      out += '\n';
    } else if (done % 1000 == 0) {
      out += "\n\n";
    } else if (done % 50 == 0) {
      out += '\n';
    } else if (done % 10 == 0) {
      out += ' ';
    }
  }
  return out;
}

// A 32-byte digest as 64 lowercase hexadecimal digits, as sha256sum prints it.
inline std::string hex_of(const uint8_t* digest) {
  char text[65];
  for (int i = 0; i < 32; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

// Digits of words, four per word with leading zeros.
inline std::string digits_of(const int16_t* w, int32_t n) {
  std::string s;
  char buf[8];
  for (int32_t k = 0; k < n; ++k) {
    std::snprintf(buf, sizeof buf, "%04d", w[k]);
    s += buf;
  }
  return s;
}
