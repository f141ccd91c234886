// The computation of wicker (one product and a square root an iteration), for run_pi
// (ComputePi): pi to bx digits (a power of two, at least 128) in the run's buffers, a timing
// line for every stage to console. Before each stage it fits the thread count to the load
// (fit_threads_to_load).
#pragma once

#include <cstdint>
#include <cstdio>

#include "entry.h"
#include "mp.h"

const int16_t* wicker_compute(int32_t bx, const RunBuffers& buffers, std::FILE* console,
                             ThreadFit& fit, RunLog& log);
