// The digit file pi.txt: header, lines of 50 digits in groups of ten, an empty line every 1000.
#include <cstdio>

#include "mp.h"

namespace {

constexpr int32_t kBlockWords = 25;  // 100 digits: two lines of 50

int32_t high_pair(int32_t w) { return w / 100; }
int32_t low_pair(int32_t w) { return w - 100 * high_pair(w); }

// Writes one block of 25 words as two lines; word 12 is split across them.
bool write_block(std::FILE* f, const int16_t* w) {
  bool ok = true;
  ok &= std::fprintf(f, "%04d%04d%02d ", w[0], w[1], high_pair(w[2])) > 0;
  ok &= std::fprintf(f, "%02d%04d%04d ", low_pair(w[2]), w[3], w[4]) > 0;
  ok &= std::fprintf(f, "%04d%04d%02d ", w[5], w[6], high_pair(w[7])) > 0;
  ok &= std::fprintf(f, "%02d%04d%04d ", low_pair(w[7]), w[8], w[9]) > 0;
  ok &= std::fprintf(f, "%04d%04d%02d\n", w[10], w[11], high_pair(w[12])) > 0;
  ok &= std::fprintf(f, "%02d%04d%04d ", low_pair(w[12]), w[13], w[14]) > 0;
  ok &= std::fprintf(f, "%04d%04d%02d ", w[15], w[16], high_pair(w[17])) > 0;
  ok &= std::fprintf(f, "%02d%04d%04d ", low_pair(w[17]), w[18], w[19]) > 0;
  ok &= std::fprintf(f, "%04d%04d%02d ", w[20], w[21], high_pair(w[22])) > 0;
  ok &= std::fprintf(f, "%02d%04d%04d\n", low_pair(w[22]), w[23], w[24]) > 0;
  return ok;
}

// Writes two digits of the tail and the separator that follows every complete group.
bool write_tail_pair(std::FILE* f, int32_t pair, int32_t* digits) {
  bool ok = std::fprintf(f, "%02d", pair) > 0;
  *digits += 2;
  if (*digits % 50 == 0) {
    ok &= std::fputs("\n", f) >= 0;
  } else if (*digits % 10 == 0) {
    ok &= std::fputs(" ", f) >= 0;
  }
  return ok;
}

}  // namespace

void write_pi_file(const int16_t* words, int32_t word_count) {
  // A word outside 0 to 9999 would print as the wrong number of digits: refuse it before the
  // file is touched.
  for (int32_t k = 0; k < word_count; ++k) {
    if (words[k] < 0 || words[k] >= kWordBase) fatal("error write_pi_file\n");
  }
  char name[16];
  std::snprintf(name, sizeof name, "pi.txt");
  std::FILE* f = std::fopen(name, "w");
  if (f == nullptr) fatal("file open error!\n");

  bool ok = std::fputs("PI=3.\n\n", f) >= 0;
  int32_t full_words = word_count > 0 ? word_count / kBlockWords * kBlockWords : 0;
  int32_t since_empty_line = 0;
  for (int32_t k = 0; k < full_words; k += kBlockWords) {
    ok &= write_block(f, words + k);
    since_empty_line += 100;
    if (since_empty_line == 1000) {
      since_empty_line = 0;
      ok &= std::fputs("\n", f) >= 0;
    }
  }
  int32_t tail_digits = 0;
  for (int32_t k = full_words; k < word_count; ++k) {
    ok &= write_tail_pair(f, high_pair(words[k]), &tail_digits);
    ok &= write_tail_pair(f, low_pair(words[k]), &tail_digits);
  }
  ok &= std::fputs("\n", f) >= 0;
  ok &= std::ferror(f) == 0;
  // The close flushes the last buffer, so its result decides as much as any write.
  ok &= std::fclose(f) == 0;
  if (!ok) fatal("file write error!\n");
}
