// The JSON report of an invocation, for scripts and for a benchmarker to keep: what was asked and
// run, the machine and the build, every reported run's stages with their threads, times and the
// load they gave way to, the statistics, the CPU time beside the wall time, the hash and the ends
// of the digits written, and what was checked. Two spaces an indent, the keys of an object in
// alphabetical order; text that is not UTF-8 (a processor's name) has its bad bytes replaced.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "entry.h"

namespace {

using nlohmann::json;

// The value after "key" and its separator on the first line of the file at path that starts
// with key, as cpuinfo ("model name\t: ...") and os-release (PRETTY_NAME="...") give them;
// null where there is none.
json value_in(const char* path, const std::string& key, char separator) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    const size_t at = line.find(separator);
    if (at == std::string::npos) break;
    const size_t first = line.find_first_not_of(" \t\"", at + 1);
    if (first == std::string::npos) return "";
    const size_t last = line.find_last_not_of(" \t\"");
    return line.substr(first, last - first + 1);
  }
  return nullptr;
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

json machine(const char* cpuinfo_path) {
  json out;
  out["cpu"] = value_in(cpuinfo_path, "model name", ':');
  int32_t cores[kMaxThreads];
  out["cores"] = usable_cores(cores, kMaxThreads);
  const long long kib = scan_file("/proc/meminfo", "MemTotal: %lld kB");
  out["memory_bytes"] = kib < 0 ? json(nullptr) : json(kib * 1024);
  utsname name = {};
  out["kernel"] = uname(&name) == 0 ? json(std::string(name.sysname) + " " + name.release + " " +
                                           name.machine)
                                    : json(nullptr);
  out["system"] = value_in("/etc/os-release", "PRETTY_NAME", '=');
  return out;
}

json build() {
  return {{"compiler", std::string("g++ ") + __VERSION__},
          {"native_code", TALLOW_NATIVE_CODE != 0},
          {"type", TALLOW_BUILD_TYPE},
          {"version", TALLOW_VERSION}};
}

// A stage's name as its console line numbers it.
std::string stage_name(int32_t s, int32_t stages) {
  if (s == 0) return "set-up";
  return s + 1 == stages ? "last" : "iteration " + std::to_string(s);
}

json run_of(const RunLog& log, int32_t total_ms) {
  json stages = json::array(), stages_ms = json::array();
  for (int32_t s = 0; s < log.stages; ++s) {
    stages.push_back({{"gave_way_to", log.stage_gave_way[s]},
                      {"name", stage_name(s, log.stages)},
                      {"threads", log.stage_threads[s]},
                      {"us", log.stage_us[s]}});
    stages_ms.push_back(log.stage_ms[s]);
  }
  const double wall = total_ms / 1000.0, cpu = static_cast<double>(log.cpu_us) / 1e6;
  return {{"cpu_s", cpu},
          {"cores_busy", wall > 0 ? cpu / wall : 0.0},
          {"stages", stages},
          {"stages_ms", stages_ms},
          {"total_ms", total_ms}};
}

}  // namespace

std::string report_json(const RunPlan& plan, const RunsReported& reported,
                        const char* cpuinfo_path) {
  json out;
  out["bx"] = plan.bx;
  out["build"] = build();
  // Every product's terms checked by their sums at 1 and -1 and by their distance from
  // integers, the digits before the last 20 against pi's known ones, and every run's digits
  // against the first's: a run reaches its report only if all held.
  out["checks"] = {{"products", true}, {"runs_agreed", true}, {"spot_check", true}};
  out["machine"] = machine(cpuinfo_path);
  out["cpu"] = out["machine"]["cpu"];  // where scripts found it before the machine's details
  out["date"] = utc_now();
  out["digits"] = plan.digits;
  out["digits_written"] = {{"first", reported.first_digits}, {"last", reported.last_digits}};
  out["layout"] = plan.layout == PiLayout::plain ? "plain" : "lines";
  out["length"] = plan.length;
  out["program"] = plan.program;
  out["repeat"] = plan.repeat < 0 ? 1 : plan.repeat;
  json runs = json::array();
  double cpu = 0.0, wall = 0.0;
  for (int32_t r = 0; r < reported.runs; ++r) {
    runs.push_back(run_of(reported.logs[r], reported.totals_ms[r]));
    cpu += static_cast<double>(reported.logs[r].cpu_us) / 1e6;
    wall += reported.totals_ms[r] / 1000.0;
  }
  out["runs"] = runs;
  // Runs finished: the runs listed are the last of them.
  out["runs_finished"] = reported.finished;
  out["sha256"] = reported.sha256 != nullptr ? hex_text(reported.sha256, 32) : "";
  out["statistics"] = {{"fastest_ms", reported.fastest_ms},
                       {"median_ms", reported.median_ms},
                       {"slowest_ms", reported.slowest_ms}};
  out["threads"] = reported.most_threads;
  // The share of the cores the runs listed kept busy, and that share over the threads.
  const double busy = wall > 0 ? cpu / wall : 0.0;
  out["cpu_time"] = {{"cores_busy", busy},
                     {"efficiency", busy / reported.most_threads},
                     {"cpu_s", cpu},
                     {"wall_s", wall}};
  out["version"] = TALLOW_VERSION;
  return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string hex_text(const uint8_t* bytes, int32_t count) {
  std::string text;
  char pair[3];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}
