// The run of wicker: computes pi to bx digits (a power of two, at least 128), prints the
// sizing and timing lines and writes pi.txt. forms says how the products' words enter their
// transforms (kProductForms in the program; tests force any form).
#pragma once

#include <cstdint>

#include "mp.h"

void wicker_pi(int32_t bx, ProductForms forms);
