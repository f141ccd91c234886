// The entry both programs share: the length from the command line or the dialogue, checked and
// rounded to a power of two, then the program's own driver. Also the clock and the checked
// allocation the drivers use.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "mp.h"

constexpr int32_t kMinDigits = 128;         // the arithmetic needs at least 32 words
constexpr int32_t kMaxDigits = 1073741824;  // 2^30: the largest power of two bx can hold

// Reads one decimal integer, surrounded by blanks at most, from 1 to kMaxDigits; returns 0 for
// anything else.
int32_t parse_length(const char* text);
// The least power of two of at least kMinDigits that is not below length.
int32_t round_length(int32_t length);
// Runs a program: with no argument it prompts for the length, with one it takes it from there;
// -h and --help print the usage. Returns the exit status.
int run_pi_program(int argc, char** argv, void (*calc_pi)(int32_t bx));

// Milliseconds of a monotonic clock; only differences mean anything.
int64_t clock_ms();

// count elements of T from the heap, or the end of the run with "Memory Allocation Failure!\n".
template <typename T>
T* allocate_or_fail(int64_t count) {
  void* p = std::malloc(static_cast<size_t>(count) * sizeof(T));
  if (p == nullptr) fatal("Memory Allocation Failure!\n");
  return static_cast<T*>(p);
}
