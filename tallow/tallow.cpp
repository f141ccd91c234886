#include "entry.h"
#include "tallow_pi.h"

int main(int argc, char** argv) {
  return run_pi_program(argc, argv, "tallow",
                        [](int32_t bx, int32_t digits, std::FILE* console, int32_t most_threads) {
                          tallow_pi(bx, digits, kBalancedFrom, console, most_threads);
                        });
}
