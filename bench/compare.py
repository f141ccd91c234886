#!/usr/bin/env python3
"""Times tallow, wicker and two peers side by side and checks that they all agree on the digits.

Usage: python3 bench/compare.py [--runs N] [--lengths L1,L2,...] [--baseline DIR] [--out DIR]
                                [--plot-only]

Builds the programs and the peers with the bench preset (build/bench): MPFR's pi, and our
Chudnovsky series by binary splitting on GMP. It needs what the README's requirements list for
benchmarks (libbenchmark-dev, libmpfr-dev, libgmp-dev, python3, /usr/bin/time from the time
package, and gnuplot for the plot) and installs nothing. At each length it runs, in turn and
alternating, tallow and wicker with one thread and with every core (-t 1, and the default), MPFR
and Chudnovsky, and prints the median wall time and peak memory of each, the ratios of our
programs (every core) to each peer and their speed-up over one thread. The table also goes to
timings.md in the output folder (--out, default build/bench-results), with timings.dat and a
log-log plot of time against digits, time_vs_digits.png, when gnuplot is there.

--baseline DIR also runs DIR/tallow and DIR/wicker (an earlier build, say) with one thread and
with every core in the same alternation, checks their digits too and prints our speed-up over
them in both.
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
RESULTS = os.path.join(ROOT, "build", "bench-results")


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


PROGRAMS = ["tallow -t 1", "tallow", "wicker -t 1", "wicker", "mpfr", "chudnovsky"]
BASELINE = ["tallow baseline -t 1", "tallow baseline", "wicker baseline -t 1", "wicker baseline"]


def measure(length, runs, workdir, baseline):
    tallow = os.path.join(BUILD, "tallow", "tallow")
    wicker = os.path.join(BUILD, "wicker", "wicker")
    programs = PROGRAMS + (BASELINE if baseline else [])
    commands = {
        "tallow baseline -t 1": [os.path.join(baseline or "", "tallow"), "-t", "1", str(length)],
        "tallow baseline": [os.path.join(baseline or "", "tallow"), str(length)],
        "wicker baseline -t 1": [os.path.join(baseline or "", "wicker"), "-t", "1", str(length)],
        "wicker baseline": [os.path.join(baseline or "", "wicker"), str(length)],
        "tallow -t 1": [tallow, "-t", "1", str(length)],
        "tallow": [tallow, str(length)],
        "wicker -t 1": [wicker, "-t", "1", str(length)],
        "wicker": [wicker, str(length)],
        "mpfr": [os.path.join(BUILD, "bench", "mpfr_pi_digits"), str(length - 4)],
        "chudnovsky": [os.path.join(BUILD, "bench", "chudnovsky_pi_digits"), str(length - 4)],
    }
    times = {name: [] for name in programs}
    memory = {name: 0 for name in programs}
    digits = {}
    for _ in range(runs):
        for name in programs:
            out = os.path.join(workdir, "out.txt")
            wall, peak = run_once(commands[name], workdir, out)
            times[name].append(wall)
            memory[name] = max(memory[name], peak)
            if name in ("mpfr", "chudnovsky"):
                with open(out) as f:
                    digits[name] = f.read().strip()
            else:
                digits[name] = digits_of_pi_file(os.path.join(workdir, "pi.txt"))
    if digits["chudnovsky"] != digits["mpfr"]:
        sys.exit("Chudnovsky and MPFR disagree from digit %d" %
                 (agreeing(digits["chudnovsky"], digits["mpfr"]) + 1))
    # Our programs write length - 20 digits, every one right; builds before that change wrote
    # length - 4, of which the first length - 20 must be right.
    for name in PROGRAMS[:4] + programs[len(PROGRAMS):]:
        if len(digits[name]) not in (length - 20, length - 4):
            sys.exit("%s wrote %d digits, not %d" % (name, len(digits[name]), length - 20))
        agree = agreeing(digits[name], digits["mpfr"])
        if agree < length - 20:
            sys.exit("%s and MPFR disagree from digit %d of %d" % (name, agree + 1, length - 20))
    return {name: statistics.median(t) for name, t in times.items()}, memory


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--lengths", default="65536,262144,1048576,4194304")
    parser.add_argument("--baseline", help="directory with an earlier build's tallow and wicker")
    parser.add_argument("--out", default=RESULTS, help="folder for the table, data and plot")
    parser.add_argument("--plot-only", action="store_true",
                        help="only redraw the plot from the last timings in the folder")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    baseline = os.path.abspath(args.baseline) if args.baseline else None
    if args.plot_only:
        plot(out)
        return
    if not os.path.exists("/usr/bin/time"):
        sys.exit("compare.py needs /usr/bin/time (Debian's time package)")
    build()
    os.makedirs(out, exist_ok=True)
    lengths = [int(x) for x in args.lengths.split(",")]
    rows = []
    workdir = tempfile.mkdtemp(prefix="pi_compare.")
    try:
        for length in lengths:
            median, memory = measure(length, args.runs, workdir, baseline)
            rows.append((length, median, memory))
            print("measured %d digits" % length, file=sys.stderr)
    finally:
        shutil.rmtree(workdir)

    header = ("| digits | tallow 1 thread s | tallow s | wicker 1 thread s | wicker s | MPFR s "
              "| Chudnovsky s | tallow/MPFR | wicker/MPFR | tallow/Chudnovsky "
              "| wicker/Chudnovsky | tallow speed-up | wicker speed-up | tallow MiB | wicker MiB "
              "| MPFR MiB | Chudnovsky MiB |\n" + "|---" * 17 + "|\n")
    lines = []
    for length, t, m in rows:
        lines.append(("| %d" + " | %.3f" * 6 + " | %.2f" * 6 + " | %.1f" * 4 + " |") % (
            length, t["tallow -t 1"], t["tallow"], t["wicker -t 1"], t["wicker"], t["mpfr"],
            t["chudnovsky"], t["tallow"] / t["mpfr"], t["wicker"] / t["mpfr"],
            t["tallow"] / t["chudnovsky"], t["wicker"] / t["chudnovsky"],
            t["tallow -t 1"] / t["tallow"], t["wicker -t 1"] / t["wicker"],
            m["tallow"] / 2**20, m["wicker"] / 2**20, m["mpfr"] / 2**20,
            m["chudnovsky"] / 2**20))
    table = header + "\n".join(lines) + "\n"
    note = ("Median wall time of %d alternating runs on %d cores (%s); tallow and wicker without "
            "-t use every core; peak resident memory.\n" % (args.runs, os.cpu_count(),
                                                            processor_name()))
    print(table + "\n" + note)
    if baseline:
        # Speed-up: the baseline's time over ours, with one thread and with every core.
        print("| digits | program | 1 thread s | baseline s | speed-up | every core s "
              "| baseline s | speed-up |")
        print("|---|---|---|---|---|---|---|---|")
        for length, t, _ in rows:
            for name in ("tallow", "wicker"):
                one, every = t[name + " -t 1"], t[name]
                one_base, every_base = t[name + " baseline -t 1"], t[name + " baseline"]
                print("| %d | %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f |" % (
                    length, name, one, one_base, one_base / one, every, every_base,
                    every_base / every))
    with open(os.path.join(out, "timings.md"), "w") as f:
        f.write(table + "\n" + note)
    with open(os.path.join(out, "timings.dat"), "w") as f:
        f.write("# digits " + " ".join(p.replace(" ", "") for p in PROGRAMS) + " (seconds)\n")
        for length, t, _ in rows:
            f.write("%d %s\n" % (length, " ".join("%.4f" % t[p] for p in PROGRAMS)))
    plot(out)
    print("results in %s" % out, file=sys.stderr)


def processor_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "processor unknown"


def plot(out):
    if shutil.which("gnuplot") is None:
        print("no gnuplot: no plot", file=sys.stderr)
        return
    data = os.path.join(out, "timings.dat")
    script = """
set terminal pngcairo size 800,560
set output '%s'
set logscale xy
set xlabel 'decimal digits'
set ylabel 'wall time (s)'
set key top left Left reverse
set termoption noenhanced
set grid
plot '%s' using 1:2 with linespoints title 'tallow, 1 thread', \\
     '' using 1:3 with linespoints title 'tallow, every core', \\
     '' using 1:4 with linespoints title 'wicker, 1 thread', \\
     '' using 1:5 with linespoints title 'wicker, every core', \\
     '' using 1:6 with linespoints title 'MPFR (mpfr_const_pi + mpfr_get_str)', \\
     '' using 1:7 with linespoints title 'Chudnovsky on GMP (bench/chudnovsky_pi_digits)'
""" % (os.path.join(out, "time_vs_digits.png"), data)
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


if __name__ == "__main__":
    main()
