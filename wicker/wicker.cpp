#include "entry.h"
#include "wicker_pi.h"

int main(int argc, char** argv) { return run_pi_program(argc, argv, "wicker", wicker_compute); }
