#!/usr/bin/env python3
"""Times tallow, wicker and MPFR's pi side by side and checks that they agree on the digits.

Usage: python3 bench/compare.py [--runs N] [--lengths L1,L2,...]

Builds the release programs and the MPFR peer (bench preset), runs the three programs in turn,
alternating, at each length, and prints for each length the median wall time, the ratio to MPFR
and the peak memory of each. The table also goes to bench/results/timings.md and a log-log plot
of time against digits to bench/results/time_vs_digits.png (gnuplot).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
RESULTS = os.path.join(ROOT, "bench", "results")
PACKAGES = ["cmake", "g++", "make", "libbenchmark-dev", "libmpfr-dev", "libgmp-dev", "gnuplot-nox",
            "time"]


def install_missing():
    missing = [p for p in PACKAGES
               if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode != 0]
    if missing:
        subprocess.run(["apt-get", "update"], check=True)
        subprocess.run(["apt-get", "install", "-y"] + missing, check=True)


def build():
    subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "bench"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)


def run_once(command, workdir, stdout_path):
    """Runs command in workdir; returns (wall seconds, peak resident memory in bytes).

    The peak comes from /usr/bin/time, whose own small image is all that the program's
    figure can inherit (a child forked from this script would inherit the script's peak)."""
    report = os.path.join(workdir, "time.txt")
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command,
                                cwd=workdir, stdout=out).returncode
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit("failed: %s (status %d)" % (" ".join(command), status))
    with open(report) as f:
        return wall, int(f.read().split()[-1]) * 1024


def digits_of_pi_file(path):
    with open(path) as f:
        text = f.read()
    return "".join(c for c in text[text.index("\n\n") + 2:] if c.isdigit())


def agreeing(a, b):
    k = 0
    for x, y in zip(a, b):
        if x != y:
            break
        k += 1
    return k


def measure(length, runs, workdir):
    programs = {
        "tallow": [os.path.join(BUILD, "tallow", "tallow"), str(length)],
        "wicker": [os.path.join(BUILD, "wicker", "wicker"), str(length)],
        "mpfr": [os.path.join(BUILD, "bench", "mpfr_pi_digits"), str(length - 4)],
    }
    times = {name: [] for name in programs}
    memory = {name: 0 for name in programs}
    digits = {}
    for _ in range(runs):
        for name, command in programs.items():
            out = os.path.join(workdir, name + ".out")
            wall, peak = run_once(command, workdir, out)
            times[name].append(wall)
            memory[name] = max(memory[name], peak)
            if name == "mpfr":
                with open(out) as f:
                    digits[name] = f.read().strip()
            else:
                digits[name] = digits_of_pi_file(os.path.join(workdir, "pi.txt"))
    for name in ("tallow", "wicker"):
        if len(digits[name]) != length - 4:
            sys.exit("%s wrote %d digits, not %d" % (name, len(digits[name]), length - 4))
        agree = agreeing(digits[name], digits["mpfr"])
        if agree < length - 4 - 10:
            sys.exit("%s and MPFR disagree from digit %d of %d" % (name, agree + 1, length - 4))
    return {name: statistics.median(t) for name, t in times.items()}, memory


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--lengths", default="65536,262144,1048576,4194304")
    parser.add_argument("--plot-only", action="store_true",
                        help="only redraw the plot from the last timings")
    args = parser.parse_args()
    if args.plot_only:
        plot()
        return
    install_missing()
    build()
    os.makedirs(RESULTS, exist_ok=True)
    lengths = [int(x) for x in args.lengths.split(",")]
    rows = []
    workdir = tempfile.mkdtemp(prefix="pi_compare.")
    try:
        for length in lengths:
            median, memory = measure(length, args.runs, workdir)
            rows.append((length, median, memory))
            print("measured %d digits" % length, file=sys.stderr)
    finally:
        shutil.rmtree(workdir)

    header = ("| digits | tallow s | wicker s | MPFR s | tallow/MPFR | wicker/MPFR "
              "| tallow MiB | wicker MiB | MPFR MiB |\n|---|---|---|---|---|---|---|---|---|\n")
    lines = []
    for length, t, m in rows:
        lines.append("| %d | %.3f | %.3f | %.3f | %.2f | %.2f | %.1f | %.1f | %.1f |" % (
            length, t["tallow"], t["wicker"], t["mpfr"], t["tallow"] / t["mpfr"],
            t["wicker"] / t["mpfr"], m["tallow"] / 2**20, m["wicker"] / 2**20, m["mpfr"] / 2**20))
    table = header + "\n".join(lines) + "\n"
    note = "Median wall time of %d alternating runs; peak resident memory.\n" % args.runs
    print(table + "\n" + note)
    with open(os.path.join(RESULTS, "timings.md"), "w") as f:
        f.write(table + "\n" + note)
    with open(os.path.join(RESULTS, "timings.dat"), "w") as f:
        f.write("# digits tallow wicker mpfr (seconds)\n")
        for length, t, _ in rows:
            f.write("%d %.4f %.4f %.4f\n" % (length, t["tallow"], t["wicker"], t["mpfr"]))
    plot()


def plot():
    data = os.path.join(RESULTS, "timings.dat")
    script = """
set terminal pngcairo size 800,560
set output '%s'
set logscale xy
set xlabel 'decimal digits'
set ylabel 'wall time (s)'
set key top left Left reverse
set termoption noenhanced
set grid
plot '%s' using 1:2 with linespoints title 'tallow', \\
     '' using 1:3 with linespoints title 'wicker', \\
     '' using 1:4 with linespoints title 'MPFR (mpfr_const_pi + mpfr_get_str)'
""" % (os.path.join(RESULTS, "time_vs_digits.png"), data)
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


if __name__ == "__main__":
    main()
