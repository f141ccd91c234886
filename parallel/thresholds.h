// Where threads pay: every length from which work is shared among threads, together, each
// with the measurement behind its value. They were chosen on two cores; a run's digits never
// depend on them.
#pragma once

#include <cstdint>

// Below this many digits a run not given a thread count takes one thread: its products of 2^16
// doubles could share the work, but a second thread gains nothing there (2^18 digits: 0.90 to
// 1.36 times the one-thread time).
constexpr int32_t kThreadsFromDigits = 1 << 19;

// Passes over words and doubles.
// Below this many doubles (or words) a pass over an array (a release, a product by a small
// factor; the conversion of words goes with its transform) stays in one thread: waking the
// others costs more than they save. Chosen on two cores from 2^15 to 2^19 (both programs at
// 2^22 digits): from 2^16 on, the short products of the Newton steps no longer leave the
// second core idle.
constexpr int32_t kParallelFrom = 1 << 16;

// Sums, differences and halving stream their words once: below this many words a second
// thread gains less than its start and its waits cost. From 2^17 words two threads take 0.52 to
// 0.58 of one's time for a sum, and whole runs of 2^20 and 2^21 digits 0.97 to 0.99 of theirs
// (2^16: no gain). (Products by a small factor do more a word and share the threads from
// kParallelFrom.)
constexpr int32_t kLinearParallelFrom = 1 << 17;

// The transform.
// Below this many doubles a transform's walk stays in one thread. A walk does several times a
// pass's work on each double, yet its threads pay from no shorter length: from 2^15, where the
// passes between walks stay in one thread long enough for the other to fall asleep, 2^17
// digits took 1.3 times as long.
constexpr int32_t kWalkParallelFrom = 1 << 16;

// Blocks of at least this many doubles below the top are walked as tasks when a team walks the
// tree: each walks its own stages and hands its four quarters to whichever threads are free, so
// that a thread slowed by the rest of the machine hands its share over, and more threads than
// four find work.
constexpr int32_t kTaskBlockFrom = 1 << 14;

// Products side by side, and the release's ranges.
// Two products of a Newton step that touch separate data run at once, one thread each, for
// transforms from kSideBySideFrom to kSideBySideBelow doubles: they need no wait inside, where
// sharing each transform of that size costs its threads a wait at every pass (a square root of
// 2^14 to 2^16 words took 1.07 to 1.13 times as long shared; from 2^17 doubles sharing is
// faster). From 2^11 doubles a product takes several times a team's start.
constexpr int32_t kSideBySideFrom = 1 << 11;
constexpr int32_t kSideBySideBelow = 1 << 17;

// A release that keeps the upper half's terms too reads every element twice: its real part for
// term p, its imaginary part for term p + L/2. Shared among threads from kPairedFrom doubles,
// where the elements no longer stay in the caches, it is cut into pairs of ranges L/2 apart
// that one thread releases one after the other while their elements are still in its cache:
// pieces of at most kPairedRangeTerms terms, whose elements (16 bytes each) fill half a core's
// second-level cache, or more pieces, for the threads, as cut_ranges would cut them. A squaring
// of 2^20 to 2^23 words took 0.92 to 0.975 of the time it took with ranges cut by halves; one
// below 2^20, 1.03 to 1.04.
constexpr int32_t kPairedFrom = 1 << 20;
constexpr int32_t kPairedRangeTerms = 1 << 15;
