#!/usr/bin/env python3
"""Fails when golden_values.h differs from what make_golden.py prints."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
made = subprocess.run([sys.executable, str(here / "make_golden.py")], check=True,
                      capture_output=True, text=True).stdout
kept = (here / "golden_values.h").read_text()
if made != kept:
    sys.exit("golden_values.h is stale: run make_golden.py > golden_values.h")
print("golden values match their generator")
