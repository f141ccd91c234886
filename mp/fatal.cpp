#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp.h"

void fatal(const char* message, const char* path, int error) {
  // A standard output that cannot take the message (closed, full, a reader gone) leaves it to
  // standard error, so that no failure goes unsaid.
  const bool said = std::fputs(message, stdout) >= 0 && std::fflush(stdout) == 0 &&
                    std::ferror(stdout) == 0;
  if (!said) std::fputs(message, stderr);
  if (path != nullptr) {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, path,
                 std::strerror(error));
  }
  std::exit(1);
}
