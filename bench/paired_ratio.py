#!/usr/bin/env python3
"""Times a program against an earlier build of it in adjacent pairs and prints the median of the
pairs' ratios (ours / baseline) with its quartiles.

Usage: python3 bench/paired_ratio.py PROGRAM RUNS DIGITS BASELINE_DIR [ARGS...]

PROGRAM is tallow or wicker from build/release; BASELINE_DIR holds the earlier build's program
of the same name. Each pair runs both, in turns that alternate which goes first, in separate
directories, so that the slow drifts of a shared machine fall on both runs of a pair alike: the
ratio of one pair is steadier than the ratio of two medians. ARGS go before DIGITS (-t 1, say).
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    program, runs, digits, baseline = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    extra = sys.argv[5:]
    exes = {"ours": os.path.join(ROOT, "build", "release", program, program),
            "baseline": os.path.join(baseline, program)}
    ratios, times = [], {"ours": [], "baseline": []}
    with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
        dirs = {"ours": a, "baseline": b}
        for i in range(runs):
            took = {}
            for name in (["baseline", "ours"] if i % 2 == 0 else ["ours", "baseline"]):
                start = time.perf_counter()
                subprocess.run([exes[name]] + extra + [digits], cwd=dirs[name],
                               stdout=subprocess.DEVNULL, check=True)
                took[name] = time.perf_counter() - start
                times[name].append(took[name])
            ratios.append(took["ours"] / took["baseline"])
    q = statistics.quantiles(ratios, n=4)
    print(f"{program} {' '.join(extra)} {digits}: ours/baseline {statistics.median(ratios):.3f} "
          f"(quartiles {q[0]:.3f} to {q[2]:.3f}, {runs} pairs); medians "
          f"{statistics.median(times['ours']):.3f} s and {statistics.median(times['baseline']):.3f} s")


if __name__ == "__main__":
    main()
