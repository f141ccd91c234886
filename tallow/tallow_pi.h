// The run of tallow: computes pi to bx digits (a power of two, at least 128), prints the
// sizing and timing lines and writes pi.txt. Products of word transform length pieces_from and
// more cut words into pieces (kPiecesFrom in the program; tests force either form).
#pragma once

#include <cstdint>

void tallow_pi(int32_t bx, int32_t pieces_from);
