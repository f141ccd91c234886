#include "entry.h"

#include <fcntl.h>
#include <omp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "thresholds.h"

namespace {

constexpr const char* kBadLength = "length must be a whole number from 1 to 1073741824\n";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// No length needs more characters than this; a longer line is refused without reading on.
constexpr size_t kMaxLineLength = 4096;

// Reads one line of standard input; false at end of input before any character, or for a line
// longer than kMaxLineLength. Fatal where standard input cannot be read (a folder, a
// descriptor open for writing only).
bool read_line(std::string* line) {
  int c;
  bool any = false;
  errno = 0;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() == kMaxLineLength) return false;
    line->push_back(static_cast<char>(c));
  }
  if (c == EOF && std::ferror(stdin) != 0) {
    fatal("file read error!\n", "standard input", errno != 0 ? errno : EIO);
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
// with the length if it was typed (where it cannot, it goes on as it is). Runs shorter than
// kThreadsFromDigits not given a count take one thread.

// OpenMP warns of an OMP_NUM_THREADS that is no plain count, and ignores it; a program that
// starts itself again leaves such a value out, so that the warning comes once.
void leave_out_unplain_thread_count() {
  if (environment_threads() < 0) unsetenv("OMP_NUM_THREADS");
}

void wait_by_sleeping(int argc, char** argv, const char* typed_length) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr) return;
  // The program's own file by its real name, so that the process keeps its name.
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return;
  path[length] = '\0';
  leave_out_unplain_thread_count();
  std::vector<char*> args(argv, argv + argc);
  std::string typed = typed_length != nullptr ? typed_length : "";
  if (typed_length != nullptr) args.push_back(typed.data());
  args.push_back(nullptr);
  if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0) return;
  std::fflush(stdout);
  execv(path, args.data());
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

}  // namespace

// A team of `threads` that cannot be made (a limit on processes or on address space) fails the
// run before the work, with the program's own message: OpenMP's would end it with its own, at
// the first shared stage. The threads are made and wait until all are; then OpenMP's team is
// made, which it keeps for the run.
void start_threads(int32_t threads) {
  if (threads <= 1) return;
  // Each thread waits on a lock held until all are made: no descriptor is needed, which a run
  // with few to spare may lack.
  pthread_mutex_t hold = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&hold);
  std::vector<pthread_t> started;
  int error = 0;
  for (int32_t t = 1; t < threads && error == 0; ++t) {
    pthread_t thread;
    error = pthread_create(&thread, nullptr, [](void* lock) -> void* {
      pthread_mutex_lock(static_cast<pthread_mutex_t*>(lock));
      pthread_mutex_unlock(static_cast<pthread_mutex_t*>(lock));
      return nullptr;
    }, &hold);
    if (error == 0) started.push_back(thread);
  }
  pthread_mutex_unlock(&hold);
  for (pthread_t thread : started) pthread_join(thread, nullptr);
  if (error != 0) {
    char what[48];
    std::snprintf(what, sizeof what, "%d threads", threads);
    fatal("Thread Creation Failure!\n", what, error);
  }
#pragma omp parallel num_threads(threads)
  {
  }
}

namespace {

// Where the console lines go: standard output's descriptor, and the reason of the first write
// that failed.
struct ConsoleSink {
  int fd = STDOUT_FILENO;
  int error = 0;
};

ssize_t write_to_sink(void* cookie, const char* bytes, size_t size) {
  ConsoleSink& sink = *static_cast<ConsoleSink*>(cookie);
  for (size_t done = 0; done < size;) {
    const ssize_t wrote = write(sink.fd, bytes + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (sink.error == 0) sink.error = wrote < 0 ? errno : EIO;
      return -1;
    }
    done += static_cast<size_t>(wrote);
  }
  return static_cast<ssize_t>(size);
}

// The console: a line at a time down standard output, so that a log holds every finished line
// even of a run that a signal ends, keeping the reason of a failed write for the message.
std::FILE* console_stream(ConsoleSink& sink) {
  cookie_io_functions_t io = {};
  io.write = write_to_sink;
  std::FILE* f = fopencookie(&sink, "w", io);
  if (f == nullptr) fatal("Memory Allocation Failure!\n");
  setvbuf(f, nullptr, _IOLBF, 0);
  return f;
}

// Closes the console; 0 when every line got out, otherwise 1 after saying why on standard
// error.
int finish_console(std::FILE* console, const ConsoleSink& sink) {
  const bool closed = std::fclose(console) == 0;
  if (closed && sink.error == 0) return finish_standard_output();
  const int error = sink.error != 0 ? sink.error : EIO;
  std::fprintf(stderr, "%s: error writing standard output: %s\n", program_invocation_short_name,
               std::strerror(error));
  return 1;
}

}  // namespace

std::FILE* null_stream() {
  cookie_io_functions_t io = {};
  io.write = [](void*, const char*, size_t size) -> ssize_t {
    return static_cast<ssize_t>(size);
  };
  std::FILE* f = fopencookie(nullptr, "w", io);
  if (f == nullptr) fatal("Memory Allocation Failure!\n");
  return f;
}

int64_t environment_threads() {
  const char* text = std::getenv("OMP_NUM_THREADS");
  if (text == nullptr) return 0;
  // A list such as "4,2" gives the first level's count; blanks may stand around it.
  const char* p = text;
  while (is_blank(*p)) ++p;
  int64_t first = -1;
  for (;;) {
    if (*p < '1' || *p > '9') return -1;
    int64_t value = 0;
    // Past the largest count the value stays above it, however long.
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (value <= kMaxThreads) value = value * 10 + (*p - '0');
    }
    if (first < 0) first = value;
    while (is_blank(*p)) ++p;
    if (*p == '\0') return first;
    if (*p++ != ',') return -1;
    while (is_blank(*p)) ++p;
  }
}

int32_t within_cpu_quota(int32_t threads) {
  const int32_t quota = cgroup_cpu_threads("/proc/self/cgroup", "/sys/fs/cgroup");
  return quota > 0 && quota < threads ? quota : threads;
}

int32_t running_threads() {
  const int32_t limit = omp_get_thread_limit();
  return omp_get_max_threads() < limit ? omp_get_max_threads() : limit;
}

bool writes_to_standard_output(const char* path) {
  return path != nullptr && (std::strcmp(path, "-") == 0 || named_descriptor(path) == 1);
}

namespace {

// With the digits or the report on standard output, the console lines and failures go to
// standard error: the stream keeps standard output's descriptor, which this returns.
int keep_standard_output_for_a_stream() {
  const int stream = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (stream < 0) fatal("file open error!\n", "standard output", errno);
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) fatal("file open error!\n", "standard error", errno);
  return stream;
}

// The stress test: a worker for each core the process may use (or as -t or OMP_NUM_THREADS
// say), at the length given or at lengths in turn; no digit file unless -o names one.
int run_stress_program(const CommandLine& line, ComputePi compute) {
  const int64_t environment = environment_threads();
  int32_t workers = line.threads > 0 ? line.threads : static_cast<int32_t>(environment);
  if (workers <= 0) {
    int32_t cores[kMaxThreads];
    workers = within_cpu_quota(usable_cores(cores, kMaxThreads));
  }
  if (writes_to_standard_output(line.output)) {
    prepare_pi_stream(keep_standard_output_for_a_stream());
  } else if (line.output != nullptr) {
    prepare_pi_file(line.output);
  }
  ConsoleSink sink;
  std::FILE* out = console_stream(sink);
  StressPlan plan;
  plan.workers = workers;
  plan.length = line.length != nullptr ? parse_length(line.length) : 0;
  plan.runs = line.repeat > 0 ? line.repeat : 0;
  plan.console = line.quiet ? null_stream() : out;
  plan.summary = out;
  plan.write_digits = line.output != nullptr;
  plan.layout = line.plain ? PiLayout::plain : PiLayout::lines;
  const int status = run_stress(plan, compute);
  if (line.quiet) std::fclose(plan.console);
  return finish_console(out, sink) != 0 ? 1 : status;
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
  prepare_stacks();
  if (line.stress) return run_stress_program(line, compute);
  if (line.threads > 0) omp_set_num_threads(line.threads);
  // With the digits or the report on standard output, everything else the run prints, failures
  // included, goes to standard error (the prompt too, before standard output is redirected).
  const bool digits_to_stdout = writes_to_standard_output(line.output);
  const bool report_to_stdout = writes_to_standard_output(line.report);
  const bool to_stdout = digits_to_stdout || report_to_stdout;
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
  const bool count_given = line.threads > 0 || environment_threads() > 0;
  if (!long_enough && !count_given) omp_set_num_threads(1);
  // A container's CPU quota holds the default count as an affinity does.
  if (!count_given) omp_set_num_threads(within_cpu_quota(omp_get_max_threads()));
  const bool threaded = long_enough && running_threads() > 1;
  if (threaded && count_given) {
    wait_by_sleeping(argc, argv, line.length == nullptr ? text : nullptr);
  }
  const int32_t most_threads = threaded && !count_given ? running_threads() : 0;
  if (to_stdout) {
    const int stream = keep_standard_output_for_a_stream();
    if (digits_to_stdout) prepare_pi_stream(stream);
    if (report_to_stdout) prepare_report_stream(stream);
  }
  if (length == 0) fatal(kBadLength);
  if (!digits_to_stdout) prepare_pi_file(line.output != nullptr ? line.output : "pi.txt");
  if (line.report != nullptr && !report_to_stdout) prepare_report_file(line.report);
  ConsoleSink sink;
  std::FILE* out = console_stream(sink);
  std::FILE* console = line.quiet ? null_stream() : out;
  RunPlan plan;
  plan.bx = round_length(length);
  plan.digits = written_digits(length, plan.bx);
  plan.length = length;
  plan.console = console;
  plan.summary = out;
  plan.most_threads = most_threads;
  plan.threads = running_threads();
  plan.repeat = line.repeat;
  plan.layout = line.plain ? PiLayout::plain : PiLayout::lines;
  plan.report = line.report != nullptr;
  plan.program = name;
  const std::string report = run_pi(plan, compute);
  if (line.quiet) std::fclose(console);
  // Console lines lost to a full or closed standard output make the run a failure, though
  // the digits are whole; the report, which would say it succeeded, is not written.
  if (finish_console(out, sink) != 0) {
    remove_pending_report();
    return 1;
  }
  if (plan.report) write_report_file(report.data(), report.size());
  return 0;
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

int64_t clock_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t cpu_time_us() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  const auto us = [](const timeval& t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; };
  return us(usage.ru_utime) + us(usage.ru_stime);
}
