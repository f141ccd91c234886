// Runs tallow or wicker in a fresh temporary directory and collects what it printed and wrote.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

struct ProgramRun {
  int status = -1;
  std::string out, err, pi_file;
  bool wrote_pi_file = false;
  int temporary_files = 0;  // temporary digit files (.pi-*) left beside the target
};

inline std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// input == nullptr closes standard input at once. setup runs in the directory beforehand;
// prefix stands before the program on its command line (a command that runs it). target is the
// digit file to collect, relative to the directory (pi.txt unless the run names another).
inline ProgramRun run_program(const std::string& program, const std::string& args,
                              const char* input, const std::string& setup = "",
                              const std::string& prefix = "",
                              const std::string& target = "pi.txt") {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/pi_program_test.XXXXXX";
  fs::path dir = mkdtemp(pattern);
  std::string stdin_from = "/dev/null";
  if (input != nullptr) {
    std::ofstream(dir / "in.txt", std::ios::binary) << input;
    stdin_from = "in.txt";
  }
  std::string command = "cd '" + dir.string() + "' && " + (setup.empty() ? "" : setup + " && ") +
                        prefix + " '" + program + "' " + args + " < " + stdin_from +
                        " > out.txt 2> err.txt";
  int raw = std::system(command.c_str());
  ProgramRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = read_text(dir / "out.txt");
  run.err = read_text(dir / "err.txt");
  const fs::path file = dir / target;
  run.wrote_pi_file = fs::is_regular_file(fs::symlink_status(file));
  if (run.wrote_pi_file) run.pi_file = read_text(file);
  if (fs::is_directory(file.parent_path())) {
    for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path())) {
      run.temporary_files += entry.path().filename().string().starts_with(".pi-");
    }
  }
  fs::remove_all(dir);
  return run;
}

// The console output with every millisecond figure (digits before "msec" or " msec") replaced
// by N.
inline std::string without_times(const std::string& out) {
  std::string result;
  size_t i = 0;
  while (i < out.size()) {
    size_t end = i;
    while (end < out.size() && out[end] >= '0' && out[end] <= '9') ++end;
    if (end > i) {
      const bool time = out.compare(end, 4, "msec") == 0 || out.compare(end, 5, " msec") == 0;
      result += time ? std::string("N") : out.substr(i, end - i);
      i = end;
    } else {
      result += out[i++];
    }
  }
  return result;
}

// The digits after the point in a pi.txt (everything after the header, blanks removed).
inline std::string digits_in(const std::string& pi_file) {
  std::string digits;
  for (size_t i = pi_file.find("\n\n") + 2; i < pi_file.size(); ++i) {
    if (pi_file[i] >= '0' && pi_file[i] <= '9') digits += pi_file[i];
  }
  return digits;
}

// The length of the common prefix of a and b.
inline size_t agreeing_digits(const std::string& a, const std::string& b) {
  size_t k = 0;
  while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
  return k;
}
