// The digit file (pi.txt unless the run names another): header, lines of 50 digits in groups of
// ten, an empty line every 1000.
//
// The file is replaced whole or not at all. The digits go to a temporary file beside it, made
// before the computation, and only a complete, flushed and synced file is renamed over it. A
// fatal error or a signal in between removes the temporary file, so an earlier file is never
// cut short, a link in its place is replaced rather than followed, and runs side by side in one
// folder never mix their files. The digits may go down a stream instead (standard output), in
// the same layout; a stream that takes them no more ends the run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "mp.h"

namespace {

constexpr size_t kLongestPath = 4096;

// Where the digits go: the temporary file waiting to become the digit file, or a stream. This
// is the program's one piece of process-wide state: the exit and signal handlers can learn the
// temporary file's name from nowhere else.
struct PendingFile {
  int fd;
  bool stream;  // fd is a stream to write to, with no file to rename
  char target[kLongestPath];
  char name[kLongestPath + 32];
  volatile std::sig_atomic_t armed;  // the name is (about to be) a file to remove
};
PendingFile pending = {-1, false, "", "", 0};

void remove_pending_file() {
  if (pending.armed != 0) unlink(pending.name);
}

// Removes the temporary file and ends the process by the same signal (the handler was reset
// to the default as it ran). unlink and raise are async-signal-safe.
void on_terminating_signal(int signal_number) {
  remove_pending_file();
  raise(signal_number);
}

void install_cleanup() {
  std::atexit(remove_pending_file);  // fatal errors end the process through exit
  struct sigaction action = {};
  action.sa_handler = on_terminating_signal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    sigaction(signal_number, nullptr, &old);
    if (old.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);  // nohup stays
  }
  // Past a file-size limit the write fails and says so, rather than kill the run silently.
  std::signal(SIGXFSZ, SIG_IGN);
}

constexpr int32_t kBlockWords = 25;  // 100 digits: two lines of 50

int32_t high_pair(int32_t w) { return w / 100; }
int32_t low_pair(int32_t w) { return w - 100 * high_pair(w); }

// Writes one block of 25 words as two lines of five groups of ten digits (word 12 is split
// across them), formatted by hand: printf spent more than the digits' whole computation's
// last stage on them.
bool write_block(std::FILE* f, const int16_t* w) {
  char digits[4 * kBlockWords];
  for (int32_t k = 0; k < kBlockWords; ++k) {
    int32_t v = w[k];
    for (int32_t i = 3; i >= 0; --i) {
      digits[4 * k + i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
  }
  char lines[4 * kBlockWords + 10];
  for (int32_t g = 0; g < 10; ++g) {
    std::memcpy(lines + 11 * g, digits + 10 * g, 10);
    lines[11 * g + 10] = g % 5 == 4 ? '\n' : ' ';
  }
  return std::fwrite(lines, 1, sizeof lines, f) == sizeof lines;
}

// Writes two digits of the tail and the separator that follows every complete group.
bool write_tail_pair(std::FILE* f, int32_t pair, int32_t* digits) {
  bool ok = std::fprintf(f, "%02d", pair) > 0;
  *digits += 2;
  if (*digits % 50 == 0) {
    ok &= std::fputs("\n", f) >= 0;
  } else if (*digits % 10 == 0) {
    ok &= std::fputs(" ", f) >= 0;
  }
  return ok;
}

}  // namespace

void prepare_pi_file(const char* path) {
  if (pending.armed != 0 || pending.stream) return;
  static bool cleanup_installed = false;
  if (!cleanup_installed) install_cleanup();
  cleanup_installed = true;
  if (path[0] == '\0' || std::strlen(path) >= kLongestPath) fatal("file open error!\n");
  std::strcpy(pending.target, path);
  // rename cannot put a file in a directory's place: say so now, not after the work.
  struct stat existing;
  if (lstat(path, &existing) == 0 && S_ISDIR(existing.st_mode)) fatal("file open error!\n");
  for (int32_t attempt = 0;; ++attempt) {
    std::snprintf(pending.name, sizeof pending.name, "%s.%ld.%d.tmp", path,
                  static_cast<long>(getpid()), attempt);
    // Armed before it exists, so a signal cannot slip between the two; the name holds this
    // process's id, so no other run's file can be removed by mistake.
    pending.armed = 1;
    // Exclusive and never through a link; 0666 less the umask, as a new pi.txt would have.
    pending.fd = open(pending.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (pending.fd >= 0) return;
    pending.armed = 0;
    if (errno != EEXIST || attempt == 99) fatal("file open error!\n");
  }
}

void prepare_pi_stream(int fd) {
  if (pending.armed != 0 || pending.stream) return;
  pending.fd = fd;
  pending.stream = true;
  // A reader that has gone makes the write fail and the run say so, rather than end it silently.
  std::signal(SIGPIPE, SIG_IGN);
}

void write_pi_file(const int16_t* words, int32_t word_count) {
  // A word outside 0 to 9999 would print as the wrong number of digits: refuse it before the
  // file is touched.
  for (int32_t k = 0; k < word_count; ++k) {
    if (words[k] < 0 || words[k] >= kWordBase) fatal("error write_pi_file\n");
  }
  prepare_pi_file("pi.txt");
  std::FILE* f = fdopen(pending.fd, "w");
  if (f == nullptr) fatal("file open error!\n");

  bool ok = std::fputs("PI=3.\n\n", f) >= 0;
  int32_t full_words = word_count > 0 ? word_count / kBlockWords * kBlockWords : 0;
  int32_t since_empty_line = 0;
  for (int32_t k = 0; k < full_words; k += kBlockWords) {
    ok &= write_block(f, words + k);
    since_empty_line += 100;
    if (since_empty_line == 1000) {
      since_empty_line = 0;
      ok &= std::fputs("\n", f) >= 0;
    }
  }
  int32_t tail_digits = 0;
  for (int32_t k = full_words; k < word_count; ++k) {
    ok &= write_tail_pair(f, high_pair(words[k]), &tail_digits);
    ok &= write_tail_pair(f, low_pair(words[k]), &tail_digits);
  }
  ok &= std::fputs("\n", f) >= 0;
  ok &= std::fflush(f) == 0;
  ok &= std::ferror(f) == 0;
  if (pending.stream) {
    ok &= std::fclose(f) == 0;
    if (!ok) fatal("file write error!\n");
    return;
  }
  ok &= fsync(fileno(f)) == 0;  // on disk before it takes the name
  ok &= std::fclose(f) == 0;
  pending.fd = -1;
  if (!ok || std::rename(pending.name, pending.target) != 0) fatal("file write error!\n");
  pending.armed = 0;
}
