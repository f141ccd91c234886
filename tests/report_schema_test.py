#!/usr/bin/env python3
"""A real report against its schema: one run and a repeat, to a file and down standard output;
its hash against the digit file's bytes, its stages against the console lines."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

program, schema_path = os.path.abspath(sys.argv[1]), sys.argv[2]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
failures = 0
with tempfile.TemporaryDirectory() as folder:
    for args in (["--report", "r.json", "65536"], ["-r", "2", "--report", "r.json", "--plain", "5000"]):
        console = subprocess.run([program, *args], cwd=folder, capture_output=True, text=True,
                                 check=True).stdout
        with open(f"{folder}/r.json", encoding="utf-8") as f:
            report = json.load(f)
        jsonschema.validate(report, schema)
        with open(f"{folder}/pi.txt", "rb") as f:
            digits = f.read()
        stage_lines = [line for line in console.splitlines()
                       if line.endswith("msec") and not line.startswith("Total")]
        checks = {
            "sha256 of the digit file": report["sha256"] == hashlib.sha256(digits).hexdigest(),
            "stages as the console's": len(report["runs"][0]["stages"]) == len(stage_lines),
            "first digits": report["digits_written"]["first"] == "1415926535",
        }
        for name, held in checks.items():
            if not held:
                print(f"{' '.join(args)}: {name} does not hold", file=sys.stderr)
                failures += 1
    # Down standard output.
    out = subprocess.run([program, "-q", "--report", "-", "1000"], cwd=folder, capture_output=True,
                         text=True, check=True).stdout
    jsonschema.validate(json.loads(out), schema)
sys.exit(1 if failures else 0)
