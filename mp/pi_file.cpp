// The digit file (pi.txt unless the run names another): header, lines of 50 digits in groups of
// ten, an empty line every 1000; or plain, "3." and the digits on one line. Also the run's
// report, written with the same care.
//
// The file is replaced whole or not at all. The digits go to a temporary file beside it, made
// before the computation, and only a complete, flushed and synced file is renamed over it. A
// fatal error or a signal in between removes the temporary file, so an earlier file is never
// cut short, a link in its place is replaced rather than followed, and runs side by side in one
// folder never mix their files. A device in the file's place is written in place, and the
// digits may go down a stream instead (standard output), in the same layout; a stream or device
// that takes them no more ends the run.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp.h"
#include "parallel.h"

namespace {

constexpr size_t kLongestPath = 4096;

// Where an output goes: the temporary file waiting to become the digit file (or the report),
// or a stream or device written in place. This is the program's one piece of process-wide
// state: the exit and signal handlers can learn the temporary files' names from nowhere else.
// The temporary file is made, renamed and removed through a descriptor of the target's folder,
// so that a folder renamed during the run still loses it.
struct PendingFile {
  int fd;
  bool in_place;  // fd is written as it is, with no file to rename
  int folder;     // the target's folder
  char target[kLongestPath];      // as the run named it, for messages
  char final_name[kLongestPath];  // its last part, in the folder
  char name[64];                  // the temporary file's, in the folder
  volatile std::sig_atomic_t armed;  // the name is (about to be) a file to remove
};
constexpr int kDigitsFile = 0, kReportFile = 1;
PendingFile pending[2] = {{-1, false, -1, "", "", "", 0}, {-1, false, -1, "", "", "", 0}};

void remove_pending_files_at_exit() { remove_pending_files(); }

// Removes the temporary files and ends the process by the same signal (the handler was reset
// to the default as it ran). unlinkat, raise and _exit are async-signal-safe.
void on_terminating_signal(int signal_number) {
  remove_pending_files();
  end_by_signal(signal_number);
}

// Every signal whose default action ends the process and that a program may catch, but those
// that report the program's own faults (SEGV, BUS, FPE, ILL, ABRT, TRAP, SYS).
bool ends_the_process(int signal_number) {
  switch (signal_number) {
    case SIGHUP: case SIGINT: case SIGQUIT: case SIGTERM: case SIGUSR1: case SIGUSR2:
    case SIGALRM: case SIGVTALRM: case SIGPROF: case SIGXCPU: case SIGIO: case SIGPWR:
    case SIGSTKFLT:
      return true;
    default:
      return signal_number >= SIGRTMIN && signal_number <= SIGRTMAX;
  }
}

void install_cleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(remove_pending_files_at_exit);  // fatal errors end the process through exit
  struct sigaction action = {};
  action.sa_handler = on_terminating_signal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (!ends_the_process(signal_number)) continue;
    struct sigaction old = {};
    sigaction(signal_number, nullptr, &old);
    // A signal the caller ignores (nohup) stays ignored, and one with a handler keeps it.
    if (old.sa_handler == SIG_DFL) sigaction(signal_number, &action, nullptr);
  }
}

// The length of path's folder part with its last slash ("a/" of "a/b", "/" of "/b"); 0 when
// path names a file of the working folder.
int folder_length(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<int>(slash - path + 1);
}

// The descriptor that text names as a whole ("/dev/fd/3": 3), or -1.
int descriptor_in(const char* text, const char* prefix) {
  const size_t length = std::strlen(prefix);
  if (std::strncmp(text, prefix, length) != 0) return -1;
  const char* p = text + length;
  if (*p < '0' || *p > '9') return -1;
  long fd = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    fd = fd * 10 + (*p - '0');
    if (fd > 1 << 20) return -1;
  }
  return *p == '\0' ? static_cast<int>(fd) : -1;
}

// Whether the file system's flags make the file or folder open as fd unreplaceable (immutable)
// or its entries unremovable (append-only).
bool fixed_by_flags(int fd) {
  int flags = 0;
  return fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// Fails before the work where the system will refuse to rename a file over the existing entry
// at path: a mount point, an immutable or append-only file, or another user's file in a sticky
// folder of a third.
void refuse_unreplaceable(const char* path, const struct stat& existing, int folder) {
  struct statx mount = {};
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &mount) == 0 &&
      (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
    fatal("file open error!\n", path, EBUSY);
  }
  if (S_ISREG(existing.st_mode)) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool fixed = fixed_by_flags(fd);
    if (fd >= 0) close(fd);
    if (fixed) fatal("file open error!\n", path, EPERM);
  }
  const uid_t me = geteuid();
  if (me == 0 || existing.st_uid == me) return;  // root may replace any file
  struct stat parent;
  if (fstatat(folder, ".", &parent, 0) == 0 && (parent.st_mode & S_ISVTX) != 0 && parent.st_uid != me) {
    fatal("file open error!\n", path, EPERM);
  }
}

// Opens the folder of path for output slot's temporary file; fatal where it cannot hold one
// under path's last part, which the rename would refuse after the work: a folder that is not
// there, an immutable or append-only one, a name longer than it takes.
void open_folder(PendingFile& file, const char* path) {
  const int length = folder_length(path);
  char folder[kLongestPath];
  std::snprintf(folder, sizeof folder, "%.*s", length > 0 ? length : 1, length > 0 ? path : ".");
  file.folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder that may be searched but not read still takes files; it cannot be synced.
  if (file.folder < 0 && errno == EACCES) file.folder = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (file.folder < 0) fatal("file open error!\n", path, errno);
  if (fixed_by_flags(file.folder)) fatal("file open error!\n", path, EPERM);
  std::strcpy(file.final_name, path + length);
  const long longest = fpathconf(file.folder, _PC_NAME_MAX);
  if (longest > 0 && std::strlen(file.final_name) > static_cast<size_t>(longest)) {
    fatal("file open error!\n", path, ENAMETOOLONG);
  }
  // The working folder needs no descriptor of its own, which a run with few to spare may lack:
  // the process holds it, renamed or not.
  if (length == 0) {
    close(file.folder);
    file.folder = AT_FDCWD;
  }
}

// Opens output slot to be written in place at path (a device, a FIFO, a descriptor).
void open_in_place(PendingFile& file, const char* path, bool fifo) {
  // A FIFO with no reader would hold the run for ever: it fails at once instead.
  file.fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | (fifo ? O_NONBLOCK : 0));
  if (file.fd < 0) fatal("file open error!\n", path, errno);
  if (fifo) fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  file.in_place = true;
}

constexpr int32_t kTemporaryNames = 100;

// Prepares output `slot` at path: a temporary file beside it, or a device in its place.
void prepare_output(int slot, const char* path) {
  PendingFile& file = pending[slot];
  if (file.armed != 0 || file.fd >= 0) return;
  install_cleanup();
  if (path[0] == '\0') fatal("file open error!\n", path, ENOENT);
  if (std::strlen(path) >= kLongestPath) fatal("file open error!\n", path, ENAMETOOLONG);
  std::strcpy(file.target, path);
  const int descriptor = named_descriptor(path);
  if (descriptor >= 0) {
    file.fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (file.fd < 0) fatal("file open error!\n", path, errno);
    file.in_place = true;
    return;
  }
  struct stat existing;
  const bool exists = lstat(path, &existing) == 0;
  mode_t mode = 0666;  // less the umask, as a new pi.txt would have
  if (exists) {
    // rename cannot put a file in a folder's place: say so now, not after the work.
    if (S_ISDIR(existing.st_mode)) fatal("file open error!\n", path, EISDIR);
    if (S_ISCHR(existing.st_mode) || S_ISBLK(existing.st_mode)) {
      return open_in_place(file, path, false);
    }
    // A link to a device, a FIFO or a socket is written through, as a tool writes /dev/stdout;
    // a link to a file or a folder, or one that leads nowhere, is replaced.
    struct stat reached;
    if (S_ISLNK(existing.st_mode) && stat(path, &reached) == 0 && !S_ISREG(reached.st_mode) &&
        !S_ISDIR(reached.st_mode)) {
      return open_in_place(file, path, S_ISFIFO(reached.st_mode));
    }
    if (S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
  }
  open_folder(file, path);
  if (exists) refuse_unreplaceable(path, existing, file.folder);
  for (int32_t attempt = 0; attempt < kTemporaryNames; ++attempt) {
    std::snprintf(file.name, sizeof file.name, ".%s-%ld-%d.tmp",
                  slot == kDigitsFile ? "pi" : "pi-report", static_cast<long>(getpid()), attempt);
    // Armed before it exists, so a signal cannot slip between the two; the name holds this
    // process's id, so no other run's file can be removed by mistake.
    file.armed = 1;
    // Exclusive and never through a link.
    file.fd = openat(file.folder, file.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0666);
    if (file.fd >= 0) {
      // The file it replaces keeps its mode.
      if (mode != 0666 && fchmod(file.fd, mode) != 0) fatal("file open error!\n", path, errno);
      file.in_place = false;  // a device or stream written before is done with
      return;
    }
    const int error = errno;
    file.armed = 0;
    if (error != EEXIST) fatal("file open error!\n", path, error);
  }
  std::fprintf(stderr, "%s: %s: every temporary name beside it is taken (.%s-%ld-0.tmp to -%d)\n",
               program_invocation_short_name, path, slot == kDigitsFile ? "pi" : "pi-report",
               static_cast<long>(getpid()), kTemporaryNames - 1);
  fatal("file open error!\n");
}

// A stream on output slot's descriptor; fatal if none can be made.
std::FILE* open_output(int slot) {
  std::FILE* f = fdopen(pending[slot].fd, "w");
  if (f == nullptr) fatal("file open error!\n", pending[slot].target, errno);
  return f;
}

// Flushes and closes f, the stream of output slot, and renames a temporary file over its
// target, then syncs the folder so that the new name outlives a power loss; error is the first
// failure of the writes (0 for none). Fatal, with the first failure's reason, if anything
// failed.
void finish_output(int slot, std::FILE* f, int error) {
  PendingFile& file = pending[slot];
  auto check = [&error](bool ok) {
    if (!ok && error == 0) error = errno != 0 ? errno : EIO;
  };
  check(std::fflush(f) == 0);
  check(std::ferror(f) == 0);
  if (file.in_place) {
    check(std::fclose(f) == 0);
    file.fd = -1;
    if (error != 0) fatal("file write error!\n", file.target, error);
    return;
  }
  check(fsync(fileno(f)) == 0);  // on disk before it takes the name
  check(std::fclose(f) == 0);
  file.fd = -1;
  if (error == 0 && renameat(file.folder, file.name, file.folder, file.final_name) != 0) {
    error = errno;
  }
  if (error != 0) fatal("file write error!\n", file.target, error);
  file.armed = 0;
  // A folder opened only to be searched cannot be synced, nor can some file systems' folders.
  const int folder = file.folder != AT_FDCWD ? file.folder : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0 && fsync(folder) != 0 && errno != EBADF && errno != EINVAL) {
    fatal("file write error!\n", file.target, errno);
  }
  if (folder >= 0) close(folder);
  file.folder = -1;
}

constexpr int32_t kLineDigits = 50;
constexpr int32_t kGroupDigits = 10;
constexpr int32_t kChunkDigits = 1000;  // an empty line follows every chunk but the last
// A whole chunk laid out in lines: its digits, a blank or line end after each group, the
// empty line.
constexpr int32_t kChunkText = kChunkDigits + kChunkDigits / kGroupDigits + 1;
// Chunks a thread takes at a time when threads share the layout.
constexpr int32_t kChunksATurn = 16;

// Lays out count digits (at most a chunk) as lines of five groups of ten, the last line
// holding what is left with no blank after it; returns the characters written to out.
int32_t lay_out(const char* digits, int32_t count, char* out) {
  char* p = out;
  for (int32_t k = 0; k < count; k += kGroupDigits) {
    const int32_t group = count - k < kGroupDigits ? count - k : kGroupDigits;
    std::memcpy(p, digits + k, group);
    p += group;
    const bool line_ends = (k + kGroupDigits) % kLineDigits == 0 || k + group == count;
    *p++ = line_ends ? '\n' : ' ';
  }
  return static_cast<int32_t>(p - out);
}

// The text of chunk `index` of the digits into out; returns its length. Every chunk but the
// file's last is whole, so chunk i of a run of chunks starts at i times a whole one's length.
int32_t format_chunk(const int16_t* words, int32_t digits, int32_t index, bool plain,
                     char* out) {
  const int32_t first = index * kChunkDigits;
  const int32_t count = digits - first < kChunkDigits ? digits - first : kChunkDigits;
  char chunk[kChunkDigits];
  char* text = plain ? out : chunk;
  const int16_t* w = words + first / 4;
  for (int32_t k = 0; k < (count + 3) / 4; ++k) {
    int32_t v = w[k];
    for (int32_t i = 3; i >= 0; --i) {
      text[4 * k + i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
  }
  if (plain) return count;
  int32_t length = lay_out(chunk, count, out);
  if (first + count < digits) out[length++] = '\n';
  return length;
}

}  // namespace

void remove_pending_files() {
  for (const PendingFile& file : pending) {
    if (file.armed != 0) unlinkat(file.folder, file.name, 0);
  }
}

void forget_pending_files() {
  for (PendingFile& file : pending) file.armed = 0;
}

void remove_pending_report() {
  PendingFile& file = pending[kReportFile];
  if (file.armed != 0) unlinkat(file.folder, file.name, 0);
  file.armed = 0;
}

void end_by_signal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
  // A process the signal cannot end (the first of a PID namespace, whose default actions the
  // kernel drops) ends with the status a shell gives a death by it.
  _exit(128 + signal_number);
}

int named_descriptor(const char* path) {
  // The names a shell gives the standard streams, whether or not /dev has them.
  if (std::strcmp(path, "/dev/stdout") == 0) return 1;
  if (std::strcmp(path, "/dev/stderr") == 0) return 2;
  char current[kLongestPath], next[kLongestPath];
  if (std::strlen(path) >= sizeof current) return -1;
  std::strcpy(current, path);
  char own[32];
  std::snprintf(own, sizeof own, "/proc/%ld/fd/", static_cast<long>(getpid()));
  // Along a chain of links (a shell's /dev/stdout is one to /proc/self/fd/1), as the system
  // follows them.
  for (int32_t hop = 0; hop < 40; ++hop) {
    const char* prefixes[] = {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", own};
    for (const char* prefix : prefixes) {
      const int fd = descriptor_in(current, prefix);
      if (fd >= 0) return fd;
    }
    const ssize_t length = readlink(current, next, sizeof next - 1);
    if (length <= 0) return -1;
    next[length] = '\0';
    const int folder = next[0] == '/' ? 0 : folder_length(current);
    if (folder + length >= static_cast<ssize_t>(sizeof current)) return -1;
    std::memmove(current + folder, next, static_cast<size_t>(length) + 1);
  }
  return -1;
}

void prepare_pi_file(const char* path) { prepare_output(kDigitsFile, path); }

void prepare_report_file(const char* path) { prepare_output(kReportFile, path); }

namespace {

void prepare_stream(int slot, int fd) {
  PendingFile& file = pending[slot];
  if (file.armed != 0 || file.fd >= 0) return;
  file.fd = fd;
  file.in_place = true;
  std::strcpy(file.target, "standard output");
}

}  // namespace

void prepare_pi_stream(int fd) { prepare_stream(kDigitsFile, fd); }

void prepare_report_stream(int fd) { prepare_stream(kReportFile, fd); }

void write_pi_file(const int16_t* words, int32_t digits, PiLayout layout, uint8_t* sha256,
                   char* text, int64_t text_bytes) {
  // A word outside 0 to 9999 would print as the wrong number of digits: refuse it before the
  // file is touched.
  const int32_t word_count = digits > 0 ? (digits + 3) / 4 : 0;
  for (int32_t k = 0; k < word_count; ++k) {
    if (words[k] < 0 || words[k] >= kWordBase) fatal("error write_pi_file\n");
  }
  prepare_pi_file("pi.txt");
  std::FILE* f = open_output(kDigitsFile);
  Sha256 hash;
  if (sha256 != nullptr) sha256_start(hash);

  // The first failure's reason is the one to give: later ones follow from it.
  int error = 0;
  auto put = [&](const char* bytes, size_t length) {
    errno = 0;
    if (std::fwrite(bytes, 1, length, f) != length && error == 0) error = errno != 0 ? errno : EIO;
    if (sha256 != nullptr) sha256_add(hash, bytes, length);
  };
  const bool plain = layout == PiLayout::plain;
  put(plain ? "3." : "PI=3.\n\n", plain ? 2 : 7);
  // Formatted by hand, as many chunks at a time as the room given holds, shared among the
  // threads: printf spent more than the whole last stage of the computation on them, and one
  // thread takes about 1.5 ms a million digits.
  const int32_t stride = plain ? kChunkDigits : kChunkText;
  char one_chunk[kChunkText];
  const bool roomy = text != nullptr && text_bytes >= kChunkText;
  char* out = roomy ? text : one_chunk;
  const int64_t room = (roomy ? text_bytes : kChunkText) / stride;
  const int32_t chunks = (digits + kChunkDigits - 1) / kChunkDigits;
  const int32_t batch = room < chunks ? static_cast<int32_t>(room) : chunks;
  for (int32_t first = 0; first < chunks && error == 0; first += batch) {
    const int32_t end = chunks - first < batch ? chunks : first + batch;
    int32_t last_length = 0;
    const bool shared = use_threads(int64_t{end - first} * kChunkDigits, kParallelFrom);
    for_each_step(shared, first, end, kChunksATurn, [=, &last_length](int32_t turn) {
      const int32_t turn_end = end - turn < kChunksATurn ? end : turn + kChunksATurn;
      for (int32_t c = turn; c < turn_end; ++c) {
        const int32_t length =
            format_chunk(words, digits, c, plain, out + int64_t{c - first} * stride);
        if (c == end - 1) last_length = length;
      }
    });
    put(out, static_cast<size_t>(int64_t{end - first - 1} * stride + last_length));
  }
  if (plain) put("\n", 1);
  if (sha256 != nullptr) sha256_finish(hash, sha256);
  finish_output(kDigitsFile, f, error);
}

void write_report_file(const char* text, size_t length) {
  std::FILE* f = open_output(kReportFile);
  errno = 0;
  const int error = std::fwrite(text, 1, length, f) == length ? 0 : (errno != 0 ? errno : EIO);
  finish_output(kReportFile, f, error);
}
