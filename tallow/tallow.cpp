#include "entry.h"
#include "tallow_pi.h"

int main(int argc, char** argv) { return run_pi_program(argc, argv, "tallow", tallow_compute); }
