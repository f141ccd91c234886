// The JSON report of an invocation, for scripts: what was asked and run, every run's stages,
// the hash of the digits written and what was checked. Written by hand, two spaces an indent
// and the keys of an object in alphabetical order, so that the programs need no JSON library.
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "entry.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), or 0 for a byte that
// starts none: a stray continuation, an overlong form, a surrogate, past U+10FFFF, cut short.
size_t utf8_sequence(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char byte = static_cast<unsigned char>(text[at + k]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xbf)) return 0;
  }
  return length;
}

// text as a JSON string: quotes, backslashes and control characters escaped, bytes that are
// not UTF-8 replaced by U+FFFD, so that the file always parses; other bytes as they are.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const size_t sequence = utf8_sequence(text, at);
    if (sequence != 1) {
      out += sequence == 0 ? "\xef\xbf\xbd" : text.substr(at, sequence);
      at += sequence == 0 ? 0 : sequence - 1;
      continue;
    }
    const char ch = text[at];
    const unsigned char byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20) {
      const char* named = ch == '\b' ? "\\b" : ch == '\f' ? "\\f" : ch == '\n' ? "\\n"
                          : ch == '\r' ? "\\r" : ch == '\t' ? "\\t" : nullptr;
      char escape[8];
      if (named == nullptr) std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += named != nullptr ? named : escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// The processor's model name as cpuinfo gives it ("model name : ..."), as a JSON value: a
// string, or null.
std::string cpu_model(const char* cpuinfo_path) {
  std::ifstream in(cpuinfo_path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    const size_t first = line.find_first_not_of(" \t", colon + 1);
    return quoted(first == std::string::npos ? std::string() : line.substr(first));
  }
  return "null";
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// One member of an object: its key, the value's JSON text, and the comma unless it is last.
void member(std::string& out, const char* indent, const char* key, const std::string& value,
            bool last = false) {
  out += indent;
  out += quoted(key) + ": " + value + (last ? "\n" : ",\n");
}

}  // namespace

std::string hex_text(const uint8_t* bytes, int32_t count) {
  std::string text;
  char pair[3];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::string report_json(const RunPlan& plan, const RunLog* logs, int32_t runs, int64_t finished,
                        const int32_t* totals_ms, int32_t most_threads, const uint8_t* sha256,
                        const char* cpuinfo_path) {
  std::string out = "{\n";
  member(out, "  ", "bx", std::to_string(plan.bx));
  // Every product's terms checked by their sums at 1 and -1 and by their distance from
  // integers, the digits before the last 20 against pi's known ones, and every run's digits
  // against the first's: a run reaches its report only if all held.
  member(out, "  ", "checks",
         "{\n    \"products\": true,\n    \"runs_agreed\": true,\n    \"spot_check\": true\n  }");
  member(out, "  ", "cpu", cpu_model(cpuinfo_path));
  member(out, "  ", "date", quoted(utc_now()));
  member(out, "  ", "digits", std::to_string(plan.digits));
  member(out, "  ", "layout", quoted(plan.layout == PiLayout::plain ? "plain" : "lines"));
  member(out, "  ", "length", std::to_string(plan.length));
  member(out, "  ", "program", quoted(plan.program));
  member(out, "  ", "repeat", std::to_string(plan.repeat < 0 ? 1 : plan.repeat));
  std::string list = runs == 0 ? "[]" : "[\n";
  for (int32_t r = 0; r < runs; ++r) {
    std::string stages = logs[r].stages == 0 ? "[]" : "[\n";
    for (int32_t s = 0; s < logs[r].stages; ++s) {
      stages += "        " + std::to_string(logs[r].stage_ms[s]) +
                (s + 1 < logs[r].stages ? ",\n" : "\n      ]");
    }
    list += "    {\n";
    member(list, "      ", "stages_ms", stages);
    member(list, "      ", "total_ms", std::to_string(totals_ms[r]), true);
    list += r + 1 < runs ? "    },\n" : "    }\n  ]";
  }
  member(out, "  ", "runs", list);
  // Runs finished: the runs listed are the last of them.
  member(out, "  ", "runs_finished", std::to_string(finished));
  member(out, "  ", "sha256", quoted(hex_text(sha256, 32)));
  member(out, "  ", "threads", std::to_string(most_threads));
  member(out, "  ", "version", quoted(TALLOW_VERSION), true);
  return out + "}\n";
}
