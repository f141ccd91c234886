#!/usr/bin/env python3
"""Times tallow and wicker with one other CPU-bound process running: every core (the default)
against one thread (-t 1), in pairs whose order alternates, and prints the medians, their
ratio and the median of the pairs' own ratios (steadier on a noisy machine).

Usage: python3 bench/under_load.py [--runs N] [--lengths L1,L2,...] [--bin DIR] [--idle | --twins]

The load is one `yes > /dev/null`, started before the first run and stopped after the last;
--idle measures the same without it. DIR holds tallow and wicker (default: the release build).

--twins measures, with no load, what the machine gives two threads that share nothing: each
round times one -t 1 run alone, two -t 1 runs started together (in folders of their own), one
run with every core and one -t 1 run alone again, and prints the medians over the rounds of the
work two independent runs do against one (twice the time alone over the time together) and of
the default run's speed-up over -t 1.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def seconds(command, workdir):
    start = time.perf_counter()
    status = subprocess.run(command, cwd=workdir, stdout=subprocess.DEVNULL).returncode
    if status != 0:
        sys.exit("failed: %s (status %d)" % (" ".join(command), status))
    return time.perf_counter() - start


def seconds_together(commands, workdirs):
    start = time.perf_counter()
    runs = [subprocess.Popen(c, cwd=w, stdout=subprocess.DEVNULL)
            for c, w in zip(commands, workdirs)]
    for c, run in zip(commands, runs):
        if run.wait() != 0:
            sys.exit("failed: %s (status %d)" % (" ".join(c), run.returncode))
    return time.perf_counter() - start


def twins(programs, lengths, rounds):
    with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as second:
        print("| digits | program | two -t 1 runs' work against one | every core against -t 1 |")
        print("|---|---|---|---|")
        for length in lengths:
            for name, path in programs.items():
                one = [path, "-t", "1", length]
                work, speed_up = [], []
                for _ in range(rounds):
                    before = seconds(one, first)
                    together = seconds_together([one, one], [first, second])
                    every = seconds([path, length], first)
                    alone = (before + seconds(one, first)) / 2
                    work.append(2 * alone / together)
                    speed_up.append(alone / every)
                print("| %s | %s | %.2f (%.2f to %.2f) | %.2f (%.2f to %.2f) |"
                      % (length, name, statistics.median(work), min(work), max(work),
                         statistics.median(speed_up), min(speed_up), max(speed_up)))
                sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--lengths", default="1048576,4194304")
    parser.add_argument("--bin", help="directory with tallow and wicker")
    parser.add_argument("--idle", action="store_true", help="no load")
    parser.add_argument("--twins", action="store_true",
                        help="two independent -t 1 runs against one, no load")
    args = parser.parse_args()
    programs = {}
    for name in ("tallow", "wicker"):
        path = (os.path.join(args.bin, name) if args.bin
                else os.path.join(ROOT, "build", "release", name, name))
        if not os.access(path, os.X_OK):
            sys.exit("no program at %s (cmake --workflow --preset build)" % path)
        programs[name] = path
    if args.twins:
        twins(programs, args.lengths.split(","), args.runs)
        return
    load = None if args.idle else subprocess.Popen(["yes"], stdout=subprocess.DEVNULL)
    try:
        with tempfile.TemporaryDirectory() as workdir:
            print("| digits | program | every core s | one thread s | ratio | pair ratio |")
            print("|---|---|---|---|---|---|")
            for length in args.lengths.split(","):
                for name, path in programs.items():
                    every, one = [], []
                    for run in range(args.runs):
                        # Which goes first alternates, so that drifts fall on both alike.
                        if run % 2 == 0:
                            every.append(seconds([path, length], workdir))
                        one.append(seconds([path, "-t", "1", length], workdir))
                        if run % 2 == 1:
                            every.append(seconds([path, length], workdir))
                    e, o = statistics.median(every), statistics.median(one)
                    pairs = statistics.median(a / b for a, b in zip(every, one))
                    print("| %s | %s | %.3f | %.3f | %.2f | %.2f |"
                          % (length, name, e, o, e / o, pairs))
                    sys.stdout.flush()
    finally:
        if load is not None:
            load.kill()
            load.wait()


if __name__ == "__main__":
    main()
