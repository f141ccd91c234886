// The buffers of a run, and the check before they are allocated that the memory at hand holds
// them: the machine's, and what the process's memory cgroup (a container's limit) still allows.
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "entry.h"

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

// The files of one cgroup version's memory controller.
struct MemoryFiles {
  const char* limit;
  const char* usage;
  const char* dropped;   // the memory.stat line of the file pages the kernel can drop at once
};
constexpr MemoryFiles kVersion2 = {"memory.max", "memory.current", "inactive_file %lld"};
constexpr MemoryFiles kVersion1 = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                                   "total_inactive_file %lld"};

constexpr int64_t kKiB = 1 << 10;

// The threads OpenMP starts get stacks of this size, which the memory check counts; their
// frames take about 35 KiB.
constexpr int64_t kThreadStackBytes = 256 * kKiB;
// The main thread's frames take about 40 KiB: a lower stack limit is raised to the room it
// wants where the hard limit allows, and a hard limit below the room it needs is refused.
constexpr int64_t kMainStackWanted = 256 * kKiB;
constexpr int64_t kMainStackNeeded = 64 * kKiB;

// The two numbers of the first line of the file at path ("50000 100000"); false where it
// cannot be read or holds no two numbers ("max 100000").
bool scan_two(const std::string& path, long long* first, long long* second) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  const bool read = std::fscanf(f, "%lld %lld", first, second) == 2;
  std::fclose(f);
  return read;
}

}  // namespace

void for_each_cgroup(const char* proc_cgroup_path, const char* cgroup_root,
                     const char* v1_controller,
                     const std::function<void(const std::string& folder, bool v2)>& visit) {
  std::FILE* f = std::fopen(proc_cgroup_path, "r");
  if (f == nullptr) return;
  char line[4096];
  // Lines "id:controllers:path"; v2's is "0::path", v1's line names the controller among its
  // controllers. Inside a cgroup namespace the path is "/" and the root is the container's.
  while (std::fgets(line, sizeof line, f) != nullptr) {
    line[std::strcspn(line, "\n")] = '\0';
    char* controllers = std::strchr(line, ':');
    char* path = controllers != nullptr ? std::strchr(controllers + 1, ':') : nullptr;
    if (path == nullptr) continue;
    *controllers++ = '\0';
    *path++ = '\0';
    const std::string names = std::string(",") + controllers + ",";
    const bool v2 = std::strcmp(line, "0") == 0 && *controllers == '\0';
    const bool v1 = names.find(std::string(",") + v1_controller + ",") != std::string::npos;
    if (!v1 && !v2) continue;
    const std::string base = std::string(cgroup_root) + (v1 ? std::string("/") + v1_controller : "");
    // The process's own group, then each above it, up to the root.
    for (std::string below = path;;) {
      visit(base + below, !v1);
      if (below.empty() || below == "/") break;
      below.erase(below.find_last_of('/'));
    }
  }
  std::fclose(f);
}


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

int64_t available_memory(const char* meminfo_path) {
  const long long kib = scan_file(meminfo_path, "MemAvailable: %lld kB");
  return kib < 0 ? -1 : static_cast<int64_t>(kib) * 1024;
}

int64_t cgroup_memory_left(const char* proc_cgroup_path, const char* cgroup_root) {
  int64_t least = -1;
  for_each_cgroup(proc_cgroup_path, cgroup_root, "memory",
                  [&least](const std::string& folder, bool v2) {
    const MemoryFiles& files = v2 ? kVersion2 : kVersion1;
    const long long limit = scan_file((folder + "/" + files.limit).c_str(), "%lld");
    const long long usage = scan_file((folder + "/" + files.usage).c_str(), "%lld");
    // v2 writes "max" where there is no limit, which reads as none here.
    if (limit < 0 || usage < 0) return;
    const long long dropped = scan_file((folder + "/memory.stat").c_str(), files.dropped);
    const long long held = dropped <= 0 ? usage : (usage > dropped ? usage - dropped : 0);
    const int64_t left = limit > held ? limit - held : 0;
    if (least < 0 || left < least) least = left;
  });
  return least;
}

int32_t cgroup_cpu_threads(const char* proc_cgroup_path, const char* cgroup_root) {
  int64_t least = -1;
  for_each_cgroup(proc_cgroup_path, cgroup_root, "cpu",
                  [&least](const std::string& folder, bool v2) {
    long long quota = -1, period = -1;
    if (v2) {
      if (!scan_two(folder + "/cpu.max", &quota, &period)) return;  // "max": no quota
    } else {
      quota = scan_file((folder + "/cpu.cfs_quota_us").c_str(), "%lld");
      period = scan_file((folder + "/cpu.cfs_period_us").c_str(), "%lld");
    }
    if (quota <= 0 || period <= 0) return;  // v1's -1: no quota
    const int64_t cpus = quota / period > 0 ? quota / period : 1;
    if (least < 0 || cpus < least) least = cpus;
  });
  return least < 0 ? -1 : static_cast<int32_t>(least < kMaxThreads ? least : kMaxThreads);
}

void prepare_stacks() {
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) == 0) {
    pthread_attr_setstacksize(&attributes, kThreadStackBytes);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
  }
  rlimit stack = {};
  if (getrlimit(RLIMIT_STACK, &stack) != 0 || stack.rlim_cur == RLIM_INFINITY ||
      stack.rlim_cur >= static_cast<rlim_t>(kMainStackWanted)) {
    return;
  }
  const rlim_t wanted = static_cast<rlim_t>(kMainStackWanted);
  if (stack.rlim_max > stack.rlim_cur) {
    stack.rlim_cur = stack.rlim_max == RLIM_INFINITY || stack.rlim_max > wanted ? wanted
                                                                                : stack.rlim_max;
    setrlimit(RLIMIT_STACK, &stack);
    getrlimit(RLIMIT_STACK, &stack);
  }
  if (stack.rlim_cur >= static_cast<rlim_t>(kMainStackNeeded)) return;
  std::fprintf(stderr, "%s: a stack limit of %lld KiB; the run needs %lld KiB\n",
               program_invocation_short_name, static_cast<long long>(stack.rlim_cur / kKiB),
               static_cast<long long>(kMainStackNeeded / kKiB));
  fatal("Memory Allocation Failure!\n");
}

int64_t memory_at_hand() {
  const int64_t available = available_memory("/proc/meminfo");
  const int64_t cgroup = cgroup_memory_left("/proc/self/cgroup", "/sys/fs/cgroup");
  return cgroup >= 0 && (available < 0 || cgroup < available) ? cgroup : available;
}

void refuse_unless_memory_holds(int64_t needed) {
  const int64_t available = memory_at_hand();
  if (!memory_suffices(needed, available)) {
    std::fprintf(stderr, "%" PRId64 " MiB needed, %" PRId64 " MiB available\n",
                 (needed + kMiB - 1) / kMiB, available / kMiB);
    fatal("Memory Allocation Failure!\n");
  }
}

int64_t run_bytes_with_threads(int32_t bx, int32_t threads) {
  return run_bytes(bx) + int64_t{threads - 1} * kThreadStackBytes;
}

RunBuffers allocate_run(int32_t bx, std::FILE* console, int32_t threads) {
  // Linux grants allocations it cannot back and kills the run part-way, with nothing said:
  // a run that cannot fit is refused before it starts. The threads' stacks count too.
  const int64_t needed = run_bytes_with_threads(bx, threads);
  refuse_unless_memory_holds(needed);
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
