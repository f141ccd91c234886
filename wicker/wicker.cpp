#include "entry.h"
#include "wicker_pi.h"

int main(int argc, char** argv) {
  return run_pi_program(argc, argv, "wicker",
                        [](int32_t bx, int32_t digits, std::FILE* console, int32_t most_threads) {
                          wicker_pi(bx, digits, kBalancedFrom, console, most_threads);
                        });
}
