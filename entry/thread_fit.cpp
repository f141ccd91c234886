// The default thread count gives way to other busy processes: before each stage a run that
// was not given its thread count looks at the machine's ready tasks and takes one thread for
// each core that no other process's ready task holds.
#include <dirent.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "entry.h"

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
  fit.gave_way_to = give_way ? others : 0;
  fit.busy_before = others > 0;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const int32_t machine = cores > 0 ? static_cast<int32_t>(cores) : fit.most;
  omp_set_num_threads(give_way ? threads_beside(fit.most, machine, others) : fit.most);
}
