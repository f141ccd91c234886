#!/usr/bin/env python3
"""Runs tallow and wicker once at each length and measures what the table of long runs in
docs/performance.md shows: wall and CPU time, peak memory, the worst release distance and any
wrong digit written.

Usage: python3 bench/long_runs.py --reference FILE [--build DIR] [--programs tallow,wicker]
                                  [--lengths L1,L2,...] [--threads N]

FILE holds pi's digits after the point (bench/chudnovsky_pi_digits or bench/mpfr_pi_digits
output, at least as many as the longest length). DIR is a build configured with
-DTALLOW_ROUNDING_REPORT=ON, whose programs print their worst release distance at exit
(default build/report, configured and built if missing). Each run's digits are compared with
FILE; "lost" counts the digits at the end that differ from it (digits written: length - 20, all
of which must be right, so anything but 0 is a fault).
"""
import argparse
import os
import re
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(directory):
    subprocess.run(["cmake", "-S", ROOT, "-B", directory, "-DCMAKE_BUILD_TYPE=Release",
                    "-DTALLOW_ROUNDING_REPORT=ON", "-DTALLOW_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", directory, "--target", "tallow", "wicker"], check=True,
                   stdout=subprocess.DEVNULL)


def digits_of(pi_file):
    """The digits after the point in a pi.txt."""
    with open(pi_file) as f:
        text = f.read()
    return re.sub(r"[^0-9]", "", text.split("3.", 1)[1])


def lost_digits(digits, reference_path):
    """Digits at the end of digits that differ from the reference."""
    with open(reference_path) as f:
        reference = f.read(len(digits))
    if len(reference) < len(digits):
        raise SystemExit(f"{reference_path} holds fewer than {len(digits)} digits")
    first_wrong = next((i for i, (a, b) in enumerate(zip(digits, reference)) if a != b),
                       len(digits))
    return len(digits) - first_wrong


def run(program, length, threads, reference):
    with tempfile.TemporaryDirectory(dir=os.getcwd()) as workdir:
        command = ["/usr/bin/time", "-v", program, "-q", str(length)]
        if threads:
            command[2:2] = ["-t", str(threads)]
        done = subprocess.run(command, cwd=workdir, capture_output=True, text=True)
        err = done.stderr
        wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", err).group(1)
        seconds = 0.0
        for part in wall.split(":"):
            seconds = seconds * 60 + float(part)
        cpu = (float(re.search(r"User time \(seconds\): (\S+)", err).group(1)) +
               float(re.search(r"System time \(seconds\): (\S+)", err).group(1)))
        peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))
        worst = re.search(r"worst release distance: (\S+)", err)
        result = {"status": done.returncode, "wall": seconds, "cpu": cpu, "peak_mib": peak / 1024,
                  "worst": worst.group(1) if worst else "-", "lost": "-",
                  "message": done.stdout.strip()}
        if done.returncode == 0:
            digits = digits_of(os.path.join(workdir, "pi.txt"))
            if len(digits) != length - 20:
                result["message"] = f"{len(digits)} digits written"
            result["lost"] = lost_digits(digits, reference)
        return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reference", required=True)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "report"))
    parser.add_argument("--programs", default="tallow,wicker")
    parser.add_argument("--lengths", default=",".join(str(1 << p) for p in range(7, 25)))
    parser.add_argument("--threads", type=int, default=0, help="-t for the programs (0: default)")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.build, "tallow", "tallow")):
        build(args.build)
    print("| digits | program | wall | CPU | peak memory | worst distance | digits lost | status |")
    print("|---|---|---|---|---|---|---|---|")
    for length in [int(x) for x in args.lengths.split(",")]:
        for name in args.programs.split(","):
            program = os.path.join(args.build, name, name)
            r = run(program, length, args.threads, args.reference)
            status = "ok" if r["status"] == 0 else f"status {r['status']}: {r['message']}"
            print(f"| {length} | `{name}` | {r['wall']:.2f} s | {r['cpu']:.2f} s | "
                  f"{r['peak_mib']:.0f} MiB | {r['worst']} | {r['lost']} | {status} |", flush=True)


if __name__ == "__main__":
    main()
