// Split-radix complex transform by decimation in frequency, worked depth first and finished by
// straight-line kernels, with its output in bit-reversed order; the inverse is the adjoint of
// the same network, run in the opposite order, which takes that order back to natural order.
// One walk of the tree serves both, and products: the pointwise product runs leaf by leaf
// between the forward and the inverse kernels while each leaf is still in cache.
#include "complex_pair.h"
#include "fft.h"
#include "fft_internal.h"
#include "parallel.h"

namespace {

// The pointwise products of one block at offset `at` of `len` doubles.
inline void pointwise(const SpectrumPass& pass, int32_t at, int32_t len) {
  const int32_t elements = len / 2;
  if (pass.product != nullptr) {
    double* d = pass.product + at;
    const double* e = pass.factor + at;
    if (elements == 1) store(d, 0, load(d, 0) * load(e, 0));
    for (int32_t k = 0; k + 1 < elements; k += 2) {
      store_pair(d, k, load_pair(d, k) * load_pair(e, k));
    }
  }
  if (pass.square != nullptr) {
    double* d = pass.square + at;
    if (elements == 1) store(d, 0, load(d, 0) * load(d, 0));
    for (int32_t k = 0; k + 1 < elements; k += 2) {
      const Cx2 z = load_pair(d, k);
      store_pair(d, k, z * z);
    }
  }
}

// The stage of a block of m doubles at offset `at` of every array in `arrays` (null ones left
// out).
void stages(int32_t m, Kind kind, int32_t at, double* const arrays[2], Direction direction) {
  for (int32_t x = 0; x < 2; ++x) {
    if (arrays[x] != nullptr) fft_stage(m, kind, direction, arrays[x] + at);
  }
}

// The one walk of the tree below a block of m doubles at offset `at`, depth first: the forward
// arrays' stage before the quarters, the inverse arrays' after them, and at each leaf the
// forward kernels, the pointwise products and the inverse kernels while the leaf is in cache.
// In a team (in_tasks), the quarters of blocks from 4 kTaskBlockFrom doubles on are tasks: the
// same calls on the same data in the same order within each block, so the same results.
void walk(int32_t m, Kind kind, int32_t at, const SpectrumPass& pass, bool in_tasks) {
  if (m <= 128) {
    for (double* f : pass.forward) {
      if (f != nullptr) fft_leaf(m, kind, Direction::forward, f + at);
    }
    pointwise(pass, at, m);
    for (double* b : pass.inverse) {
      if (b != nullptr) fft_leaf(m, kind, Direction::inverse, b + at);
    }
    return;
  }
  stages(m, kind, at, pass.forward, Direction::forward);
  const int32_t sub = m / 4;
  if (in_tasks && sub >= kTaskBlockFrom) {
    for (int32_t i = 0; i < 4; ++i) {
#pragma omp task default(none) firstprivate(sub, kind, at, i) shared(pass)
      walk(sub, quarter_kind(i, kind), at + i * sub, pass, true);
    }
#pragma omp taskwait
  } else {
    for (int32_t i = 0; i < 4; ++i) walk(sub, quarter_kind(i, kind), at + i * sub, pass, false);
  }
  stages(m, kind, at, pass.inverse, Direction::inverse);
}

// The items of the top stage of n doubles that thread t of a team of `team` takes: from
// item_from to item_to - 1.
struct ItemShare {
  int32_t from, to;
};
ItemShare item_share(int32_t n, int32_t team, int32_t t) {
  const int64_t items = fft_stage_items(n);
  return {static_cast<int32_t>(items * t / team), static_cast<int32_t>(items * (t + 1) / team)};
}

// Fills the elements of forward array x that items from to to - 1 of its top stage read, in
// all four quarters.
void fill_items(int32_t n, const SpectrumPass& pass, int32_t x, int32_t slot, ItemShare items) {
  int32_t spans[4][2];
  const int32_t count = fft_stage_item_spans(n, items.from, items.to, spans);
  const int32_t quarter = n / 8;
  for (int32_t i = 0; i < 4; ++i) {
    for (int32_t s = 0; s < count; ++s) {
      pass.fill(pass.fill_source[x], pass.forward[x], i * quarter + spans[s][0],
                i * quarter + spans[s][1], slot);
    }
  }
}

// The top stage of both arrays (null ones left out), shared among the threads of the enclosing
// team: every thread calls it and takes the same stretch of items in every pass, forward and
// inverse, and fills the elements its forward items read. So the elements that a thread
// converts, transforms first and last and releases stay in its own cache from one pass to the
// next (spectrum_pass_share); on these machines a pass over data that the other core wrote
// last takes about twice as long as over the core's own.
void shared_stage(int32_t n, Direction direction, const SpectrumPass& pass) {
  double* const* arrays = direction == Direction::forward ? pass.forward : pass.inverse;
  if (arrays[0] == nullptr && arrays[1] == nullptr) return;  // every thread alike: no barrier
  const int32_t t = omp_get_thread_num();
  const ItemShare items = item_share(n, omp_get_num_threads(), t);
  for (int32_t x = 0; x < 2; ++x) {
    if (arrays[x] == nullptr) continue;
    if (direction == Direction::forward && pass.fill_source[x] != nullptr) {
      fill_items(n, pass, x, t, items);
    }
    for (int32_t item = items.from; item < items.to; ++item) {
      fft_stage_item(n, Kind::normal, direction, arrays[x], item);
    }
  }
#pragma omp barrier
}

// The walk with its top level shared among threads: the top stages item by item, then the
// four quarters as tasks, then the top inverse stages. Three waits a pass: a thread that is
// descheduled holds the others up at each of them.
void walk_shared(int32_t n, const SpectrumPass& pass) {
  const int32_t sub = n / 4;
#pragma omp parallel num_threads(spectrum_pass_team())
  {
    shared_stage(n, Direction::forward, pass);
#pragma omp single
    for (int32_t i = 0; i < 4; ++i) {
#pragma omp task default(none) firstprivate(sub, i) shared(pass)
      walk(sub, quarter_kind(i, Kind::normal), i * sub, pass, true);
    }
    shared_stage(n, Direction::inverse, pass);
  }
}

// The bit reversal of the elements of n doubles.
void permute(int32_t n, double* a) {
  if (n >= 64) {
    bitrev_permute(n, a);
  } else if (n == 32) {
    bitrev32(a);
  } else if (n == 16) {
    bitrev16(a);
  }
}

}  // namespace

void fft_block(int32_t n, Kind kind, Direction direction, double* a) {
  SpectrumPass pass;
  (direction == Direction::forward ? pass.forward : pass.inverse)[0] = a;
  walk(n, kind, 0, pass, false);
}

void spectrum_pass(int32_t n, const SpectrumPass& pass) {
  if (use_threads(n, kWalkParallelFrom)) {
    walk_shared(n, pass);
  } else {
    for (int32_t x = 0; x < 2; ++x) {
      if (pass.fill_source[x] != nullptr) {
        pass.fill(pass.fill_source[x], pass.forward[x], 0, n / 2, 0);
      }
    }
    walk(n, Kind::normal, 0, pass, false);
  }
}

int32_t spectrum_pass_team() {
  const int32_t threads = omp_get_max_threads();
  return threads < kFillSlots ? threads : kFillSlots;
}

SpectrumShare spectrum_pass_share(int32_t n, int32_t team, int32_t t) {
  // The stage's items from..to - 1 read runs from 64 from + 1 and their mirrors, down from
  // q - 64 from; cut at 64 from, the runs' first elements, the halves go whole to one thread
  // each (the middle item's four elements and each quarter's first stay with the last thread
  // in the stage: a few lines a pass).
  const int32_t q = n / 8, h = n / 16;
  const ItemShare items = item_share(n, team, t);
  const auto clip = [](int32_t e, int32_t low, int32_t high) {
    return e < low ? low : (e > high ? high : e);
  };
  const int32_t from = clip(kStageRunElements * items.from, 0, h);
  const int32_t to = clip(kStageRunElements * items.to, 0, h);
  return {{from, to}, {q - to, q - from}};
}

void cfft_forward(int32_t n, double* a) {
  SpectrumPass pass;
  pass.forward[0] = a;
  spectrum_pass(n, pass);
  permute(n, a);
}

void cfft_backward(int32_t n, double* a) {
  // The adjoint of the forward network takes bit-reversed order to natural order.
  permute(n, a);
  SpectrumPass pass;
  pass.inverse[0] = a;
  spectrum_pass(n, pass);
}
