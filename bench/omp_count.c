/* Counts the parallel regions and barriers a program enters: preloaded, it wraps GOMP's entry
 * points for parallel regions, explicit barriers and the ends of worksharing loops that wait,
 * and prints the counts to standard error at exit.
 * Build: cc -O2 -shared -fPIC bench/omp_count.c -o omp_count.so -ldl
 * Use:   LD_PRELOAD=./omp_count.so build/release/tallow/tallow 1048576 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

static atomic_long regions, barriers;

static void report(void) {
  fprintf(stderr, "parallel regions %ld, barriers %ld\n", (long)regions, (long)barriers);
}

__attribute__((constructor)) static void start(void) { atexit(report); }

void GOMP_parallel(void (*fn)(void*), void* data, unsigned threads, unsigned flags) {
  static void (*real)(void (*)(void*), void*, unsigned, unsigned);
  if (!real) real = dlsym(RTLD_NEXT, "GOMP_parallel");
  atomic_fetch_add(&regions, 1);
  real(fn, data, threads, flags);
}

void GOMP_parallel_sections(void (*fn)(void*), void* data, unsigned threads, unsigned count,
                            unsigned flags) {
  static void (*real)(void (*)(void*), void*, unsigned, unsigned, unsigned);
  if (!real) real = dlsym(RTLD_NEXT, "GOMP_parallel_sections");
  atomic_fetch_add(&regions, 1);
  real(fn, data, threads, count, flags);
}

void GOMP_barrier(void) {
  static void (*real)(void);
  if (!real) real = dlsym(RTLD_NEXT, "GOMP_barrier");
  atomic_fetch_add(&barriers, 1);
  real();
}

void GOMP_loop_end(void) {
  static void (*real)(void);
  if (!real) real = dlsym(RTLD_NEXT, "GOMP_loop_end");
  atomic_fetch_add(&barriers, 1);
  real();
}
