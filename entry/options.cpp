// The command line, read the GNU way: short options bundled or with their values attached,
// long options with "=VALUE" or the next word, options before or after the length, "--" to
// end them, the last of a repeated option counting.
#include <errno.h>  // program_invocation_short_name
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "entry.h"

namespace {

constexpr const char* kVersion = TALLOW_VERSION;  // the project's version, set by the build
// Options with no short form.
constexpr int kVersionOption = 256, kReportOption = 257, kPlainOption = 258, kStressOption = 259;

constexpr option kLongOptions[] = {
    {"threads", required_argument, nullptr, 't'}, {"output", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},         {"repeat", required_argument, nullptr, 'r'},
    {"report", required_argument, nullptr, kReportOption},
    {"plain", no_argument, nullptr, kPlainOption}, {"stress", no_argument, nullptr, kStressOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption}, {nullptr, 0, nullptr, 0}};

const char* long_name_of(int value) {
  for (const option& o : kLongOptions) {
    if (o.name != nullptr && o.val == value) return o.name;
  }
  return "";
}

// A mistake: one line that names it, one that points to the help; the exit status.
int mistake(const char* format, const char* what) {
  const char* program = program_invocation_short_name;
  std::fprintf(stderr, "%s: ", program);
  std::fprintf(stderr, format, what);
  std::fprintf(stderr, "\nTry '%s --help' for more information.\n", program);
  return 2;
}

// The long options that word ("--rep", "--rep=2") abbreviates, in getopt's words: "'--repeat'
// '--report'"; empty when it abbreviates one or none.
std::string ambiguous_matches(const char* word) {
  if (std::strncmp(word, "--", 2) != 0) return "";
  const char* name = word + 2;
  const size_t length = std::strcspn(name, "=");
  std::string matches;
  int32_t count = 0;
  for (const option& o : kLongOptions) {
    if (o.name == nullptr || std::strncmp(o.name, name, length) != 0) continue;
    if (std::strlen(o.name) == length) return "";  // an exact name is no abbreviation
    matches += std::string(count++ > 0 ? " " : "") + "'--" + o.name + "'";
  }
  return count > 1 ? matches : "";
}

// Whether the two paths name one file: the same file where both exist (or the same link), the
// same folder and name where they do not; two names of one descriptor are one file too.
bool one_file(const char* a, const char* b) {
  if (named_descriptor(a) >= 0 || named_descriptor(b) >= 0) {
    return named_descriptor(a) == named_descriptor(b);
  }
  struct stat first, second;
  if (stat(a, &first) == 0 && stat(b, &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  if (lstat(a, &first) == 0 && lstat(b, &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  auto resolved = [](const char* path) {
    const char* slash = std::strrchr(path, '/');
    const std::string folder = slash == nullptr ? "." : std::string(path, slash - path + 1);
    char* real = realpath(folder.c_str(), nullptr);
    std::string whole = (real != nullptr ? std::string(real) : folder) + "/" +
                        (slash == nullptr ? path : slash + 1);
    std::free(real);
    return whole;
  };
  return resolved(a) == resolved(b);
}

}  // namespace

void print_usage(std::FILE* out) {
  const char* p = program_invocation_short_name;
  std::fprintf(out,
               "usage: %s [OPTION]... [LENGTH]\n"
               "Computes pi to LENGTH decimal digits and writes them to pi.txt; without LENGTH\n"
               "it asks for it. The work runs to LENGTH rounded up to a power of two, at least\n"
               "128; its last 20 digits, which truncation may touch, are never written, so a\n"
               "run writes LENGTH digits, at most that power of two less 20.\n"
               "  -t, --threads=N    run N threads (default: OMP_NUM_THREADS if set, else\n"
               "                     one thread up to LENGTH 262144 and above it every core\n"
               "                     the process may use that no other busy process holds);\n"
               "                     the digits are the same for any N\n"
               "  -o, --output=FILE  write the digits to FILE instead of pi.txt; with FILE -,\n"
               "                     to standard output, and the console lines to standard\n"
               "                     error\n"
               "  -q, --quiet        print no console lines but a summary, unless the run\n"
               "                     fails\n"
               "  -r, --repeat=N     run the whole computation N times (0: until SIGINT or\n"
               "                     SIGTERM), write the digits of the first run, stop if\n"
               "                     another run's digits differ; a line each later run,\n"
               "                     then a summary line\n"
               "      --report=FILE  write a JSON summary of the runs to FILE (with FILE -,\n"
               "                     to standard output) when the invocation succeeds\n"
               "      --plain        write the digits as 3.14159... on one line\n"
               "      --stress       load every core until SIGINT or SIGTERM: a worker a\n"
               "                     core (-t N: N workers), each computing with one thread\n"
               "                     at LENGTH, or at lengths from 65536 up in turn, again\n"
               "                     and again (-r N: N runs each), its digits compared with\n"
               "                     its own and the other workers'; no file unless -o\n"
               "  -h, --help         print this help and exit\n"
               "      --version      print the program's name and version and exit\n"
               "Examples:\n"
               "  timeout --preserve-status -s INT 10m %s --stress\n"
               "                     a stability test of ten minutes on every core\n"
               "  %s -r 5 --report run.json 16777216\n"
               "                     a benchmark of five runs and its report\n"
               "  %s -q --plain -o - 10000 | cut -c 9993-\n"
               "                     the last ten digits, plain, through another tool\n"
               "Exit status: 0 when the digits are written (an endless repeat stopped by\n"
               "SIGINT or SIGTERM after runs that all agreed too), 1 when the run fails, 2 for\n"
               "a mistake on the command line. See 'man %s'.\n",
               p, p, p, p, p);
}

int parse_command_line(int argc, char** argv, const char* name, CommandLine* line) {
  optind = 0;  // start afresh, whatever read a command line before
  opterr = 0;  // the messages below name the program by its short name
  for (;;) {
    const int c = getopt_long(argc, argv, ":t:o:qr:h", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 't':
        line->threads = parse_count(optarg, kMaxThreads);
        if (line->threads == 0) {
          return mistake("invalid thread count '%s' (a whole number from 1 to 1024)", optarg);
        }
        break;
      case 'o':
        line->output = optarg;
        break;
      case 'q':
        line->quiet = true;
        break;
      case 'r':
        line->repeat = parse_count_from_zero(optarg, kMostRepeats);
        if (line->repeat < 0) {
          return mistake("invalid repeat count '%s' (a whole number from 0 to 1000000)", optarg);
        }
        break;
      case kReportOption:
        line->report = optarg;
        break;
      case kPlainOption:
        line->plain = true;
        break;
      case kStressOption:
        line->stress = true;
        break;
      case 'h':
        print_usage(stdout);
        return finish_standard_output();  // help that cannot be written is a failure
      case kVersionOption:
        std::printf("%s %s\n", name, kVersion);
        return finish_standard_output();
      case ':': {
        // The word that held the option: "--threads" for the long form.
        const char* word = argv[optind - 1];
        if (std::strncmp(word, "--", 2) == 0) {
          return mistake("option '%s' requires an argument", word);
        }
        const char option_letter[] = {static_cast<char>(optopt), '\0'};
        return mistake("option requires an argument -- '%s'", option_letter);
      }
      default: {
        if (optopt == 0) {
          const char* word = argv[optind - 1];
          const std::string matches = ambiguous_matches(word);
          if (!matches.empty()) {
            const std::string what = std::string("option '%s' is ambiguous; possibilities: ") +
                                     matches;
            const std::string given(word, std::strcspn(word, "="));
            return mistake(what.c_str(), given.c_str());
          }
          return mistake("unrecognized option '%s'", word);
        }
        // A letter that is an option was refused only in its long form, given a value.
        if (optopt == 'q' || optopt == 'h' || optopt == kVersionOption ||
            optopt == kPlainOption || optopt == kStressOption) {
          return mistake("option '--%s' doesn't allow an argument", long_name_of(optopt));
        }
        const char option_letter[] = {static_cast<char>(optopt), '\0'};
        return mistake("invalid option -- '%s'", option_letter);
      }
    }
  }
  if (argc - optind > 1) return mistake("one length at most: '%s' is a second", argv[optind + 1]);
  if (argc - optind == 1) {
    line->length = argv[optind];
    if (parse_length(line->length) == 0) {
      return mistake("invalid length '%s' (a whole number from 1 to 1073741824)", line->length);
    }
  }
  if (line->stress && line->report != nullptr) {
    return mistake("--report does not go with --stress%s", "");
  }
  // Both outputs on standard output, or in one file, would leave one of them destroyed.
  const char* digits = line->output != nullptr ? line->output : "pi.txt";
  const bool digits_down_stream = std::strcmp(digits, "-") == 0;
  if (line->report != nullptr) {
    const bool report_down_stream = std::strcmp(line->report, "-") == 0;
    if (digits_down_stream && report_down_stream) {
      return mistake("the digits and the report cannot both go to standard output%s", "");
    }
    const char* report = report_down_stream ? "/dev/stdout" : line->report;
    if (one_file(digits_down_stream ? "/dev/stdout" : digits, report)) {
      return mistake("the digits and the report cannot go to one file: '%s'", line->report);
    }
  }
  // OpenMP takes any count from OMP_NUM_THREADS; a run takes no more than -t allows.
  const int64_t environment = environment_threads();
  if (line->threads == 0 && environment > kMaxThreads) {
    return mistake("invalid OMP_NUM_THREADS '%s' (a whole number from 1 to 1024)",
                   std::getenv("OMP_NUM_THREADS"));
  }
  return -1;
}
