#include <cstdio>
#include <cstdlib>

#include "mp.h"

void fatal(const char* message) {
  std::printf("%s", message);
  std::exit(1);  // the normal exit flushes standard output
}
