#include "entry.h"

#include <omp.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace {

constexpr const char* kBadLength = "length must be a whole number from 1 to 1073741824\n";
constexpr const char* kVersion = TALLOW_VERSION;  // the project's version, set by the build

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void print_usage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "usage: %s [-t N] [-o FILE] [-q] [LENGTH]\n"
               "       %s -h | --help | --version\n"
               "Computes pi to LENGTH decimal digits (rounded up to a power of two, at least 128)\n"
               "and writes them to pi.txt. Without LENGTH it asks for it.\n"
               "  -t, --threads N  run N threads (default: every core the process may use that\n"
               "                   no other busy process holds, or OMP_NUM_THREADS); the\n"
               "                   digits are the same for any N\n"
               "  -o, --output FILE  write the digits to FILE instead of pi.txt; with FILE -,\n"
               "                   to standard output, and the console lines to standard error\n"
               "  -q, --quiet      print no console lines unless the run fails\n"
               "  --version        print the program's name and version\n",
               program, program);
}

bool is(const char* arg, const char* a, const char* b = "") {
  return std::strcmp(arg, a) == 0 || std::strcmp(arg, b) == 0;
}

bool is_option(const char* arg) {
  if (arg[0] != '-') return false;
  if (arg[1] == '-') return true;
  return (arg[1] >= 'a' && arg[1] <= 'z') || (arg[1] >= 'A' && arg[1] <= 'Z');
}

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

int32_t parse_count(const char* text, int32_t largest) {
  const char* p = text;
  while (is_blank(*p)) ++p;
  if (*p < '0' || *p > '9') return 0;
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > largest) return 0;
    ++p;
  }
  while (is_blank(*p)) ++p;
  if (*p != '\0' || value < 1) return 0;
  return static_cast<int32_t>(value);
}

int32_t round_length(int32_t length) {
  if (length > kMaxDigits) return 0;
  int32_t bx = kMinDigits;
  while (bx < length) bx *= 2;
  return bx;
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

}  // namespace

int run_pi_program(int argc, char** argv, const char* name,
                   void (*calc_pi)(int32_t bx, std::FILE* console, int32_t most_threads)) {
  const char* program = argc > 0 ? argv[0] : name;
  if (argc == 2 && is(argv[1], "-h", "--help")) {
    print_usage(stdout, program);
    return 0;
  }
  if (argc == 2 && is(argv[1], "--version")) {
    std::printf("%s %s\n", name, kVersion);
    return 0;
  }
  // Options, each at most once, stand before the length.
  int32_t next = 1, threads = 0;
  const char* output = nullptr;
  bool quiet = false;
  while (next < argc && is_option(argv[next])) {
    const char* option = argv[next];
    const bool has_value = next + 1 < argc;
    if (is(option, "-t", "--threads") && has_value && threads == 0) {
      threads = parse_count(argv[next + 1], kMaxThreads);
      if (threads == 0) {
        std::fprintf(stderr, "%s: the thread count must be a whole number from 1 to %d\n",
                     program, kMaxThreads);
        return 2;
      }
      next += 2;
    } else if (is(option, "-o", "--output") && has_value && output == nullptr) {
      output = argv[next + 1];
      next += 2;
    } else if (is(option, "-q", "--quiet") && !quiet) {
      quiet = true;
      next += 1;
    } else {
      break;
    }
  }
  if (argc > next + 1 || (argc == next + 1 && is_option(argv[next]))) {
    print_usage(stderr, program);
    return 2;
  }
  if (threads > 0) omp_set_num_threads(threads);
  // With the digits on standard output, everything else the run prints, failures included,
  // goes to standard error (the prompt too, before standard output is redirected).
  const bool to_stdout = output != nullptr && std::strcmp(output, "-") == 0;
  std::string line;
  const char* text;
  const bool from_argument = argc == next + 1;
  bool typed = true;
  if (from_argument) {
    text = argv[next];
  } else {
    std::FILE* prompt = to_stdout ? stderr : stdout;
    std::fprintf(prompt, "length of pi =? ");
    std::fflush(prompt);
    typed = read_line(&line);
    text = line.c_str();
  }
  // A NUL inside the typed line would hide what follows it.
  const bool whole = from_argument || std::strlen(text) == line.size();
  const int32_t length = typed && whole ? parse_length(text) : 0;
  const bool long_enough = length != 0 && round_length(length) >= kThreadsFromDigits;
  const bool threaded = long_enough && omp_get_max_threads() > 1;
  const bool count_given = threads > 0 || std::getenv("OMP_NUM_THREADS") != nullptr;
  if (!long_enough && !count_given) omp_set_num_threads(1);
  if (threaded && count_given) wait_by_sleeping(argc, argv, from_argument ? nullptr : text);
  const int32_t most_threads = threaded && !count_given ? omp_get_max_threads() : 0;
  if (to_stdout) {
    const int digits = dup(STDOUT_FILENO);
    if (digits < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) fatal("file open error!\n");
    prepare_pi_stream(digits);
  }
  if (length == 0) fatal(kBadLength);
  if (!to_stdout) prepare_pi_file(output != nullptr ? output : "pi.txt");
  std::FILE* console = stdout;
  if (quiet) {
    console = std::fopen("/dev/null", "w");
    if (console == nullptr) fatal("file open error!\n");
  }
  calc_pi(round_length(length), console, most_threads);
  if (quiet) std::fclose(console);
  // Console lines lost to a full or closed standard output make the run a failure, though
  // the digits are whole.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: error writing standard output\n", program);
    return 1;
  }
  return 0;
}

namespace {

// Buffers start on a cache line, so that the transform's pairs of elements never straddle one
// where they need not (the heap alone gives 16 bytes).
constexpr size_t kBufferAlignment = 64;

int64_t aligned_bytes(int64_t bytes) {
  return (bytes + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
}

template <typename T>
T* allocate_or_fail(int64_t count) {
  void* p = std::aligned_alloc(kBufferAlignment, aligned_bytes(count * int64_t{sizeof(T)}));
  if (p == nullptr) fatal("Memory Allocation Failure!\n");
  return static_cast<T*>(p);
}

// Up to this length the sizing line keeps the figure the programs have always printed.
constexpr int32_t kClassicSizingUpTo = 1 << 26;

constexpr int64_t kMiB = 1 << 20;

}  // namespace

int64_t run_bytes(int32_t bx) {
  const int64_t count = bx / 4;
  const int64_t number = aligned_bytes((count + 4) * 2);
  const int64_t work = aligned_bytes((count + 14) * 2);
  const int64_t doubles = aligned_bytes(count * 8);
  return 5 * number + work + 2 * doubles;
}

bool memory_suffices(int64_t needed, int64_t available) {
  return available < 0 || needed <= available;
}

namespace {

// The number that format (one %lld) reads from the first line of the file that it matches;
// -1 where the file cannot be read or no line matches.
long long scan_file(const char* path, const char* format) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long long value = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, format, &value) == 1) break;
  }
  std::fclose(f);
  return value;
}

}  // namespace

int64_t available_memory(const char* meminfo_path) {
  const long long kib = scan_file(meminfo_path, "MemAvailable: %lld kB");
  return kib < 0 ? -1 : static_cast<int64_t>(kib) * 1024;
}

RunBuffers allocate_run(int32_t bx, std::FILE* console) {
  // Linux grants allocations it cannot back and kills the run part-way, with nothing said:
  // a run that cannot fit is refused before it starts.
  const int64_t needed = run_bytes(bx);
  const int64_t available = available_memory("/proc/meminfo");
  if (!memory_suffices(needed, available)) {
    char message[160];
    std::snprintf(message, sizeof message,
                  "Memory Allocation Failure!\n%" PRId64 " MiB needed, %" PRId64
                  " MiB available\n",
                  (needed + kMiB - 1) / kMiB, available / kMiB);
    fatal(message);
  }
  const int32_t count = bx / 4;
  RunBuffers b;
  for (int16_t*& number : b.numbers) number = allocate_or_fail<int16_t>(count + 4);
  b.work = allocate_or_fail<int16_t>(count + 14);
  b.d1 = allocate_or_fail<double>(count);
  b.d2 = allocate_or_fail<double>(count);
  std::fprintf(console, "bx = %d  ", bx);
  // Up to 2^26 digits 12 (count + 4) + 16 count: a little below the 28 count + 68 bytes
  // allocated, printed as the programs have always printed it; beyond, the bytes allocated.
  const int64_t shown = bx <= kClassicSizingUpTo ? 28 * int64_t{count} + 48 : needed;
  std::fprintf(console, "use memory = %" PRId64 "\n", shown);
  return b;
}

void free_run(const RunBuffers& b) {
  for (int16_t* number : b.numbers) std::free(number);
  std::free(b.work);
  std::free(b.d1);
  std::free(b.d2);
}

int32_t log2_steps(int32_t bx) {
  int32_t steps = 1;
  while ((int64_t{1} << steps) < bx) ++steps;
  return steps;
}

int64_t clock_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int32_t ready_tasks(const char* stat_path) {
  return static_cast<int32_t>(scan_file(stat_path, "procs_running %lld"));
}

int32_t ready_tasks_in(const char* tasks_path) {
  DIR* dir = opendir(tasks_path);
  if (dir == nullptr) return -1;
  int32_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char path[4096], line[512];
    std::snprintf(path, sizeof path, "%s/%s/stat", tasks_path, entry->d_name);
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) continue;  // a task that has just ended
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // "tid (name) state ...": the name may hold blanks and parentheses, the state follows the
    // last parenthesis.
    const char* end = read ? std::strrchr(line, ')') : nullptr;
    if (end != nullptr && end[1] == ' ' && end[2] == 'R') ++count;
  }
  closedir(dir);
  return count;
}

int32_t threads_beside(int32_t most, int32_t cores, int32_t others) {
  const int32_t idle = cores - others;
  return idle < 1 ? 1 : (idle < most ? idle : most);
}

namespace {

// Ready tasks of other processes, or -1. This process's own are counted before and after the
// machine's, and the larger count taken: a thread of its own that starts or stops waiting
// between the reads then never counts as another's.
int32_t ready_elsewhere() {
  const int32_t own_before = ready_tasks_in("/proc/self/task");
  const int32_t all = ready_tasks("/proc/stat");
  const int32_t own_after = ready_tasks_in("/proc/self/task");
  if (all < 0 || own_before < 0 || own_after < 0) return -1;
  const int32_t own = own_before > own_after ? own_before : own_after;
  return all > own ? all - own : 0;
}

// A task seen ready this long after another look is a busy process's rather than a passing one.
constexpr useconds_t kSecondLookMicroseconds = 200;

}  // namespace

void fit_threads_to_load(ThreadFit& fit) {
  if (fit.most <= 1) return;
  int32_t others = ready_elsewhere();
  if (others < 0) return;  // nothing to go by: the count stays
  // Tasks of other processes come and go (a daemon's turn, a shell starting a command): past
  // its first stage the run gives way only to what it has seen at two stages running, and
  // before it first gives way it looks once more. Once it has, one look a stage will do.
  const bool giving_way = omp_get_max_threads() < fit.most;
  if (others > 0 && fit.busy_before && !giving_way) {
    usleep(kSecondLookMicroseconds);
    const int32_t again = ready_elsewhere();
    if (again >= 0 && again < others) others = again;
  }
  const bool give_way = others > 0 && fit.busy_before;
  fit.busy_before = others > 0;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const int32_t machine = cores > 0 ? static_cast<int32_t>(cores) : fit.most;
  omp_set_num_threads(give_way ? threads_beside(fit.most, machine, others) : fit.most);
}
