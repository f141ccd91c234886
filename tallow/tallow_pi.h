// The run of tallow: computes pi to bx digits (a power of two, at least 128), prints the
// sizing and timing lines to console and writes the first `digits` digits after the point
// (at most bx - 20) to the prepared digit file. Products of transform length
// balanced_from and more take balanced words (kBalancedFrom in the program; tests force either
// form). Before each stage it fits the thread count to the load (fit_threads_to_load), with
// most_threads at most.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mp.h"

void tallow_pi(int32_t bx, int32_t digits, int32_t balanced_from, std::FILE* console = stdout,
               int32_t most_threads = 0);
