#!/usr/bin/env python3
"""What the main thread runs while the other threads wait.

Usage: perf record -o run.data PROGRAM -q LENGTH   (once or several times, one file each)
       python3 bench/wait_sites.py run.data [more.data ...]

For every sample of a thread other than the first (the main thread) that lies in libgomp (a
thread waiting at a barrier or for work), takes the main thread's sample nearest in time (within
0.5 ms) and counts the function it was in. The top of the list is the work that leaves the
other threads idle: one-thread stretches, and the ends of shared passes.
"""
import bisect
import collections
import re
import subprocess
import sys


def samples(path):
    out = subprocess.run(["perf", "script", "-i", path, "-F", "tid,time,ip,sym,dso"],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        m = re.match(r"\s*(\d+)\s+([\d.]+):\s+\S+\s+(.*)", line)
        if not m:
            continue
        rest = m.group(3)
        where = "[libgomp]" if "libgomp" in rest else rest.split(" (")[0]
        yield int(m.group(1)), float(m.group(2)), where.replace("(anonymous namespace)::", "")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sites = collections.Counter()
    others = waiting = 0
    for path in sys.argv[1:]:
        rows = list(samples(path))
        main_tid = min(tid for tid, _, _ in rows)
        main_rows = [(t, where) for tid, t, where in rows if tid == main_tid]
        times = [t for t, _ in main_rows]
        for tid, t, where in rows:
            if tid == main_tid:
                continue
            others += 1
            if where != "[libgomp]" or not times:
                continue
            waiting += 1
            i = min(bisect.bisect_left(times, t), len(times) - 1)
            if i > 0 and t - times[i - 1] < times[i] - t:
                i -= 1
            if abs(times[i] - t) < 0.0005:
                sites[main_rows[i][1][:70]] += 1
    print(f"samples of the other threads: {others}, waiting: {waiting}"
          f" ({100.0 * waiting / max(others, 1):.1f}%)")
    for where, count in sites.most_common(25):
        print(f"{count:7d}  {where}")


if __name__ == "__main__":
    main()
