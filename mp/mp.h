// Multi-precision arithmetic on fixed-length numbers in base 10000.
//
// A number is a caller-owned array of signed 16-bit words, word 0 most significant; its word
// count n travels with every call. Normalised words hold 0 to 9999, four decimal digits each.
// Two readings of an array:
//   fraction frame: word 0 holds the four digits right after the point (value X / 10000^n);
//   units frame:    word 0 is the integer part (value X / 10000^(n-1)).
// A fraction-frame value of 1 or more (below 3.2768) folds its integer part into word 0
// (10000 times the integer part plus four digits, at most 32767).
// Numbers that go through the products, the square root or the reciprocal have at least two
// guard words beyond n; those routines use them while they work and leave them 0.
//
// Linear operations run from word n-1 up to word 0 and read the inputs of each index before
// writing that index (halving and quartering also read the word above first), so the result may
// be any of the inputs. The arithmetic allocates nothing and keeps no state; the one state of
// this library is the process's table of temporary files not yet in place (pi_file.cpp), which
// signal handlers and exit remove.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kWordBase = 10000;

// How the words of a product enter its transform, chosen from the product's word transform
// length L (a power of two):
//   words:    each word one double, 0 to 9999;
//   balanced: each word one double from -5000 to 5000 (a word of 5000 or more borrows one from
//             the word above). Digits like a run's then average 0, and the rounding error of
//             the long products is a thousand times smaller, at almost no cost.
// Products use balanced words from balanced_from on and plain words below; tests force either
// form at any length. The programs use balanced words at every length (kBalancedFrom): the
// transform weights each word by a root of unity, which spreads a large mean such as plain
// words' 5000 over every frequency and doubles their rounding error, while balanced words keep
// theirs where it was.
enum class WordForm { words, balanced };
constexpr int32_t kBalancedFrom = 0;

// Prints message to standard output (to standard error where standard output cannot take it) and
// ends the process with status 1. With a path, also says on standard error what failed there and
// why: "program: path: strerror(error)".
[[noreturn]] void fatal(const char* message, const char* path = nullptr, int error = 0);

// c = a + b over n words; returns the carry out of word 0 (1 or 0).
int32_t mp_add(const int16_t* a, const int16_t* b, int16_t* c, int32_t n);
// c = a + b over n words, a carry out of word 0 kept in it (word 0 then holds 10000 or more:
// an integer part folded into the word, as the drivers' sums of a^2 and b^2 have).
void mp_add_folded(const int16_t* a, const int16_t* b, int16_t* c, int32_t n);
// c = a - b over n words, modulo 10000^n; returns the borrow out of word 0 (-1 or 0).
int32_t mp_sub(const int16_t* a, const int16_t* b, int16_t* c, int32_t n);
// a = a * f in place, f a non-negative integer below 2^31; the carry out of word 0 is lost.
void mp_mul_small(int16_t* a, double f, int32_t n);
// c = a * f; the carry out of word 0 is lost.
void mp_mul_small_to(const int16_t* a, double f, int16_t* c, int32_t n);
// c = c + a * f, a and c distinct; returns the low 32 bits of the carry out of word 0.
int32_t mp_mul_small_add(const int16_t* a, double f, int16_t* c, int32_t n);
// c = floor(a / 2); word 0 of a may hold a folded integer part.
void mp_half(const int16_t* a, int16_t* c, int32_t n);
// a = floor(a / 4) in place; word 0 may hold a folded integer part.
void mp_quarter(int16_t* a, int32_t n);
// Adds one unit at word n-1; fatal ("error kuriage") if the carry leaves word 0.
void kuriage(int16_t* a, int32_t n);
// Subtracts one unit at word n-1; fatal ("error kurisage") if the borrow leaves word 0.
void kurisage(int16_t* a, int32_t n);
// Adds carry (0 to 2^31-1) at word n-1; fatal ("error kuriage_h") if any carry leaves word 0.
void kuriage_h(int16_t* a, int32_t n, int32_t carry);

// c = a * b to n words (fraction frame), truncated or one unit low in word n-1. n is a power of
// two of at least 4; c has n + 2 words, distinct from a and b (fatal "error m1604h\n"), and
// c[n] = c[n+1] = 0 on return. w1, w2: n doubles each.
void m1604h(const int16_t* a, const int16_t* b, int16_t* c, int32_t n, double* w1, double* w2,
            int32_t balanced_from = kBalancedFrom);
// c = a * a, as m1604h with one transform fewer (fatal "error m1604xxh\n" if c is a).
// Returns the carry out of its last accumulation (0 for operands below 1); callers ignore it.
int32_t m1604xxh(const int16_t* a, int16_t* c, int32_t n, double* w1, double* w2,
                 int32_t balanced_from = kBalancedFrom);

// x = sqrt(a) to n words, fraction frame, 0.0001 <= a < 1. n: power of two, at least 16.
// a has n + 2 words (words n, n+1 set to 0); x and y have n + 4 words (at least 20); y is
// scratch for the inverse root; t has n + 6 words (at least 22); w1, w2: n doubles (at least 32).
void mp_sqrt(int16_t* a, int16_t* x, int16_t* y, int16_t* t, int32_t n, double* w1, double* w2,
             int32_t balanced_from = kBalancedFrom);
// y = 1 / b to n words in the units frame, 0.0001 <= b < 1. n: power of two, at least 8.
// b has n + 2 words (words n, n+1 set to 0); y has n + 4 words (at least 20), all cleared;
// t has n + 6 words (at least 14); w1, w2: n doubles (at least 16).
void mp_recip(int16_t* b, int16_t* y, int16_t* t, int32_t n, double* w1, double* w2,
              int32_t balanced_from = kBalancedFrom);

// Compares the digits of pi computed to bx digits (the word_count = bx / 4 - 1 words after the
// point that write_pi_file takes, bx a power of two from 2^7 to 2^30) with pi's known digits at
// positions bx - 35 to bx - 20; fatal ("error spot check\n") if they differ or bx has no entry.
void spot_check_pi(const int16_t* words, int32_t word_count);

// Makes the temporary file that write_pi_file fills, beside path (pi.txt by default), so that
// a folder where it cannot be made, or a file there that could not be replaced, fails before
// the work ("file open error!\n" and the reason); from then on exit and the terminating signals
// remove it. A character or block device at path (/dev/null, a terminal), a link that leads
// to a device, a FIFO or a socket, and a name of one of the process's descriptors
// (named_descriptor) are written in place instead. Does nothing when a destination is prepared.
void prepare_pi_file(const char* path);
// The descriptor that path names, directly or through links: 1 for /dev/stdout, N for
// /dev/fd/N, /proc/self/fd/N or a link to one of them; -1 for any other path.
int named_descriptor(const char* path);
// Makes write_pi_file send the digits down the stream fd instead (nothing is renamed, no file
// made); a closed or full stream is a failed write.
void prepare_pi_stream(int fd);
// How the digits are laid out: lines, the header "PI=3." and an empty line, then 50 digits to a
// line in groups of ten, an empty line after every 1000, the last line holding what is left;
// plain, "3." and every digit on one line.
enum class PiLayout { lines, plain };
// Writes the digit file: the first `digits` digits of words (four a word) in the layout, into
// the prepared file (preparing pi.txt if nothing is prepared), then renames it over its
// target; sha256, when not null, receives the SHA-256 of the bytes written (32 bytes). Fatal on
// a word outside 0 to 9999 ("error write_pi_file\n"), on failure to open ("file open
// error!\n") or to write or rename ("file write error!\n"), with the reason; an earlier file is
// then left as it was. text, when given, is room of text_bytes where the threads lay out many
// lines at once; without it the digits go a thousand at a time.
void write_pi_file(const int16_t* words, int32_t digits, PiLayout layout = PiLayout::lines,
                   uint8_t* sha256 = nullptr, char* text = nullptr, int64_t text_bytes = 0);
// The report's file, made and written with the same care as the digit file: prepared before
// the work, written whole at the end.
void prepare_report_file(const char* path);
void prepare_report_stream(int fd);
void write_report_file(const char* text, size_t length);
// SHA-256, fed in pieces: start, add the bytes, finish into a digest of 32 bytes.
struct Sha256 {
  uint32_t state[8];
  uint64_t bytes;     // added so far
  uint8_t block[64];  // the bytes of an unfinished block
};
void sha256_start(Sha256& hash);
void sha256_add(Sha256& hash, const void* data, size_t bytes);
void sha256_finish(Sha256& hash, uint8_t* digest);
// The SHA-256 of bytes bytes at data, into digest (32 bytes).
void sha256_of(const void* data, size_t bytes, uint8_t* digest);
// Removes the temporary files that are not yet in place: async-signal-safe, for handlers.
void remove_pending_files();
// Leaves the temporary files to the process that made them: a process forked from it that
// ends does not remove them.
void forget_pending_files();
// Removes the report's temporary file, when the invocation fails after the work.
void remove_pending_report();
// Ends the process by signal_number with its default action, or, where that cannot end it (the
// first process of a PID namespace), with status 128 + signal_number. Async-signal-safe.
[[noreturn]] void end_by_signal(int signal_number);
