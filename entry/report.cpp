// The JSON report of an invocation, for scripts: what was asked and run, every run's stages,
// the hash of the digits written and what was checked.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "entry.h"

namespace {

// The processor's model name as cpuinfo gives it ("model name : ..."), or null.
nlohmann::json cpu_model(const char* cpuinfo_path) {
  std::ifstream in(cpuinfo_path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    const size_t first = line.find_first_not_of(" \t", colon + 1);
    return first == std::string::npos ? std::string() : line.substr(first);
  }
  return nullptr;
}

std::string hex(const uint8_t* bytes, int32_t count) {
  std::string text;
  char pair[3];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

std::string report_json(const RunPlan& plan, const RunLog* logs, int32_t runs,
                        const int32_t* totals_ms, int32_t most_threads, const uint8_t* sha256,
                        const char* cpuinfo_path) {
  nlohmann::json report;
  report["program"] = plan.program;
  report["version"] = TALLOW_VERSION;
  report["length"] = plan.length;
  report["bx"] = plan.bx;
  report["digits"] = plan.digits;
  report["layout"] = plan.layout == PiLayout::plain ? "plain" : "lines";
  report["threads"] = most_threads;
  report["repeat"] = plan.repeat < 0 ? 1 : plan.repeat;
  nlohmann::json list = nlohmann::json::array();
  for (int32_t r = 0; r < runs; ++r) {
    list.push_back({{"stages_ms", std::vector<int32_t>(logs[r].stage_ms,
                                                       logs[r].stage_ms + logs[r].stages)},
                    {"total_ms", totals_ms[r]}});
  }
  report["runs"] = list;
  report["sha256"] = hex(sha256, 32);
  // Every product's terms checked by their sums at 1 and -1 and by their distance from
  // integers, the digits before the last 20 against pi's known ones, and every run's digits
  // against the first's: a run reaches its report only if all held.
  report["checks"] = {{"products", true}, {"spot_check", true}, {"runs_agreed", true}};
  report["cpu"] = cpu_model(cpuinfo_path);
  report["date"] = utc_now();
  return report.dump(2) + "\n";
}
