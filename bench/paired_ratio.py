#!/usr/bin/env python3
"""Times a program against a baseline in adjacent pairs and prints the median of the pairs'
ratios (ours / baseline) with its quartiles.

Usage: python3 bench/paired_ratio.py [--runs N] [--bin DIR] [--baseline DIR]
                                     [--args ARGS] [--baseline-args ARGS] PROGRAM DIGITS

PROGRAM is tallow or wicker, taken from DIR (--bin, default build/release/PROGRAM) with ARGS
before DIGITS; the baseline is the program of that name in --baseline (an earlier build, say)
or, without it, the same program, with --baseline-args. So

  python3 bench/paired_ratio.py --baseline /tmp/old --args="-t 1" --baseline-args="-t 1" tallow 4194304

measures a change with one thread, and

  python3 bench/paired_ratio.py --baseline-args="-t 1" tallow 1048576

what every core gives over one thread (the speed-up is baseline / ours). Each pair runs both,
in turns that alternate which goes first, in separate folders, so that the slow drifts of a
shared machine fall on both runs of a pair alike: the ratio of one pair is steadier than the
ratio of two medians.
"""
import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def program_in(folder, program):
    """The program in folder, or in folder/program as the build lays it out."""
    for path in (os.path.join(folder, program), os.path.join(folder, program, program)):
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    sys.exit(f"no program {program} in {folder}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", choices=["tallow", "wicker"])
    parser.add_argument("digits", type=int)
    parser.add_argument("--runs", type=int, default=11, help="pairs (default 11)")
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--baseline", help="folder of the baseline build")
    parser.add_argument("--args", default="", help="options of our runs")
    parser.add_argument("--baseline-args", default="", help="options of the baseline's runs")
    args = parser.parse_args()
    if args.runs < 2:
        sys.exit("--runs: at least 2 pairs")
    commands = {
        "ours": [program_in(os.path.abspath(args.bin), args.program)] + shlex.split(args.args),
        "baseline": [program_in(os.path.abspath(args.baseline or args.bin), args.program)] +
                    shlex.split(args.baseline_args),
    }
    ratios, times = [], {"ours": [], "baseline": []}
    with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
        folders = {"ours": a, "baseline": b}
        for i in range(args.runs):
            took = {}
            for name in (["baseline", "ours"] if i % 2 == 0 else ["ours", "baseline"]):
                start = time.perf_counter()
                subprocess.run(commands[name] + ["-q", str(args.digits)], cwd=folders[name],
                               stdout=subprocess.DEVNULL, check=True)
                took[name] = time.perf_counter() - start
                times[name].append(took[name])
            ratios.append(took["ours"] / took["baseline"])
    q = statistics.quantiles(ratios, n=4)
    median = statistics.median(ratios)
    print(f"{args.program} {args.args or '(default)'} against {args.baseline or 'itself'} "
          f"{args.baseline_args or '(default)'} at {args.digits} digits: ours/baseline "
          f"{median:.3f} (quartiles {q[0]:.3f} to {q[2]:.3f}, {args.runs} pairs), speed-up "
          f"{1 / median:.2f}; medians {statistics.median(times['ours']):.3f} s and "
          f"{statistics.median(times['baseline']):.3f} s")


if __name__ == "__main__":
    main()
