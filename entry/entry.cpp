#include "entry.h"

#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kBadLength = "length must be a whole number from 1 to 1073741824\n";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// No length needs more characters than this; a longer line is refused without reading on.
constexpr size_t kMaxLineLength = 4096;

// Reads one line of standard input; false at end of input before any character, or for a line
// longer than kMaxLineLength.
bool read_line(std::string* line) {
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() == kMaxLineLength) return false;
    line->push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

int32_t parse_length(const char* text) { return parse_count(text, kMaxDigits); }

int32_t parse_count_from_zero(const char* text, int32_t largest) {
  const char* p = text;
  while (is_blank(*p)) ++p;
  if (*p < '0' || *p > '9') return -1;
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > largest) return -1;
    ++p;
  }
  while (is_blank(*p)) ++p;
  return *p == '\0' ? static_cast<int32_t>(value) : -1;
}

int32_t parse_count(const char* text, int32_t largest) {
  const int32_t value = parse_count_from_zero(text, largest);
  return value > 0 ? value : 0;
}

int32_t round_length(int32_t length) {
  if (length > kMaxDigits) return 0;
  int32_t bx = kMinDigits;
  while (bx < length) bx *= 2;
  return bx;
}

int32_t written_digits(int32_t length, int32_t bx) {
  return length < bx - kUncertainDigits ? length : bx - kUncertainDigits;
}

namespace {

// Threads that spin while they wait hold their core: with another busy process on the machine,
// a partner that has lost its core keeps the spinning one waiting for a whole time slice, at
// each of a run's thousands of waits (a run of 2^22 digits with two threads beside one busy
// process: 4.9 s spinning, 2.7 s sleeping). A run that fits its thread count to the load takes
// one thread there and keeps OpenMP's own waits, which spin a little before they sleep (3 to
// 10% faster than sleeping on an idle machine). A run given its thread count cannot give way,
// so its waiting threads sleep unless OMP_WAIT_POLICY says otherwise; OpenMP reads the
// variable once, as it starts, so the program starts itself again with the variable set, and
// with the length if it was typed (where it cannot, it goes on as it is). Shorter runs not
// given a count take one thread: their products of 2^16 doubles could share the work, but a
// second thread gains nothing there (2^18 digits: 0.90 to 1.36 times the one-thread time).
constexpr int32_t kThreadsFromDigits = 1 << 19;

void wait_by_sleeping(int argc, char** argv, const char* typed_length) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr) return;
  // The program's own file by its real name, so that the process keeps its name.
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return;
  path[length] = '\0';
  std::vector<char*> args(argv, argv + argc);
  std::string typed = typed_length != nullptr ? typed_length : "";
  if (typed_length != nullptr) args.push_back(typed.data());
  args.push_back(nullptr);
  if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0) return;
  std::fflush(stdout);
  execv(path, args.data());
}

// OpenMP takes a thread count from OMP_NUM_THREADS that starts with a positive number (a list
// such as "4,2" too); anything else it warns of and ignores, and so does the run.
bool environment_gives_threads() {
  const char* text = std::getenv("OMP_NUM_THREADS");
  if (text == nullptr) return false;
  char* end = nullptr;
  const long threads = std::strtol(text, &end, 10);
  return end != text && threads > 0;
}

// A descriptor of 0 to 2 that the caller left closed gets /dev/null, read-only, so that no
// file the run opens can take its place (and have console lines written into it), while
// writing there still fails as it would on a closed descriptor.
void keep_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

// A stream that takes everything and keeps nothing, with no descriptor behind it: the console
// of a quiet run.
std::FILE* null_stream() {
  cookie_io_functions_t io = {};
  io.write = [](void*, const char*, size_t size) -> ssize_t {
    return static_cast<ssize_t>(size);
  };
  std::FILE* f = fopencookie(nullptr, "w", io);
  if (f == nullptr) fatal("Memory Allocation Failure!\n");
  return f;
}

}  // namespace

int run_pi_program(int argc, char** argv, const char* name, ComputePi compute) {
  keep_standard_descriptors();
  // A reader gone or a file-size limit makes a write fail and the run say so, rather than end
  // the process silently by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  CommandLine line;
  const int status = parse_command_line(argc, argv, name, &line);
  if (status >= 0) return status;
  if (line.threads > 0) omp_set_num_threads(line.threads);
  // With the digits on standard output, everything else the run prints, failures included,
  // goes to standard error (the prompt too, before standard output is redirected).
  const bool to_stdout = line.output != nullptr && std::strcmp(line.output, "-") == 0;
  std::string typed_line;
  const char* text = line.length;
  bool typed = true;
  if (text == nullptr) {
    std::FILE* prompt = to_stdout ? stderr : stdout;
    std::fprintf(prompt, "length of pi =? ");
    std::fflush(prompt);
    typed = read_line(&typed_line);
    text = typed_line.c_str();
  }
  // A NUL inside the typed line would hide what follows it.
  const bool whole = line.length != nullptr || std::strlen(text) == typed_line.size();
  const int32_t length = typed && whole ? parse_length(text) : 0;
  const bool long_enough = length != 0 && round_length(length) >= kThreadsFromDigits;
  const bool threaded = long_enough && omp_get_max_threads() > 1;
  const bool count_given = line.threads > 0 || environment_gives_threads();
  if (!long_enough && !count_given) omp_set_num_threads(1);
  if (threaded && count_given) {
    wait_by_sleeping(argc, argv, line.length == nullptr ? text : nullptr);
  }
  const int32_t most_threads = threaded && !count_given ? omp_get_max_threads() : 0;
  if (to_stdout) {
    const int digits = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (digits < 0) fatal("file open error!\n", "standard output", errno);
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) fatal("file open error!\n", "standard error", errno);
    prepare_pi_stream(digits);
  }
  if (length == 0) fatal(kBadLength);
  if (!to_stdout) prepare_pi_file(line.output != nullptr ? line.output : "pi.txt");
  if (line.report != nullptr) prepare_report_file(line.report);
  std::FILE* console = line.quiet ? null_stream() : stdout;
  RunPlan plan;
  plan.bx = round_length(length);
  plan.digits = written_digits(length, plan.bx);
  plan.length = length;
  plan.console = console;
  plan.most_threads = most_threads;
  plan.repeat = line.repeat;
  plan.layout = line.plain ? PiLayout::plain : PiLayout::lines;
  plan.report = line.report;
  plan.program = name;
  run_pi(plan, compute);
  if (line.quiet) std::fclose(console);
  // Console lines lost to a full or closed standard output make the run a failure, though
  // the digits are whole.
  return finish_standard_output();
}

int finish_standard_output() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (flushed && std::ferror(stdout) == 0) return 0;
  // An earlier write's reason is gone by now; a failed flush gives its own.
  std::fprintf(stderr, "%s: error writing standard output%s%s\n", program_invocation_short_name,
               error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return 1;
}

int64_t clock_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
