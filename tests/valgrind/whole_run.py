#!/usr/bin/env python3
"""One whole run of the program under valgrind's memcheck.

Usage: whole_run.py PROGRAM

The program runs in a session of its own (setsid), so it has no controlling
terminal, with standard input from /dev/null: its key wait then ends at once
and the run ends by itself. Passes when the program exits with 0, memcheck
counts no errors and no heap allocation at all, and standard output holds the
whole report. Exits with 77 (a skip) when valgrind cannot run here.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the checkout's package
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from zerobench_stats.records import figure_line  # noqa: E402

SKIP = 77
TIMEOUT_SECONDS = 60
ERROR_EXIT = 99  # memcheck's exit status when it found an error

# Any banner (under valgrind the processor identifies itself as valgrind's
# synthetic CPU), then the four result lines with their empty lines, the
# closing line and the line end written once the key wait is over.
REPORT = re.compile(
    rb"[^\r\n]+\r\n"
    + figure_line(b"mov") + figure_line(b"and") + rb"\r\n"
    + figure_line(b"mov") + figure_line(b"and") + rb"\r\n"
    + rb"\r\n--- ok ---\r\r\n"
)
HEAP_USAGE = re.compile(r"total heap usage: ([0-9,]+) allocs, ([0-9,]+) frees, ([0-9,]+) bytes allocated")
ERROR_SUMMARY = re.compile(r"ERROR SUMMARY: ([0-9,]+) errors? from ([0-9,]+) contexts?")
# valgrind gives up at start-up when the C library's symbols are missing (for
# a 32-bit program, the 32-bit library's).
MISSING_DEBUG_SYMBOLS = "a function redirection\nvalgrind:  which is mandatory"


def skip(message):
    print(f"SKIPPED: {message}")
    sys.exit(SKIP)


def fail(message, log=""):
    print(f"FAILED: {message}")
    if log:
        print("--- valgrind's log:\n" + log)
    sys.exit(1)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    program = sys.argv[1]
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        skip("valgrind is not installed (apt-get install valgrind)")

    with tempfile.TemporaryDirectory() as scratch:
        log_path = os.path.join(scratch, "memcheck.log")
        command = [valgrind, "--tool=memcheck", f"--error-exitcode={ERROR_EXIT}",
                   "--leak-check=full", f"--log-file={log_path}", program]
        try:
            run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, start_new_session=True,
                                 timeout=TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            fail(f"still running after {TIMEOUT_SECONDS} s with no terminal: it must not wait for a key")
        log = open(log_path, errors="replace").read() if os.path.exists(log_path) else ""

    if MISSING_DEBUG_SYMBOLS in log:
        skip("valgrind cannot start the program: install libc6-dbg (libc6-dbg:i386 for IA-32)")

    heap = HEAP_USAGE.search(log)
    errors = ERROR_SUMMARY.search(log)
    for line in log.splitlines():
        if "total heap usage:" in line or "ERROR SUMMARY:" in line:
            print(line)

    if run.returncode == ERROR_EXIT:
        fail("memcheck found errors", log)
    if run.returncode != 0:
        fail(f"exit status {run.returncode}, expected 0", log)
    if errors is None or heap is None:
        fail("valgrind's log has no error summary or no heap summary", log)
    if errors.group(1) != "0":
        fail(f"memcheck counted {errors.group(1)} errors", log)
    if heap.group(1) != "0":
        fail(f"{heap.group(1)} heap allocations ({heap.group(3)} bytes), expected none", log)
    if run.stderr:
        fail(f"wrote to standard error: {run.stderr!r}")
    if not REPORT.fullmatch(run.stdout):
        fail(f"standard output is not the whole report: {run.stdout!r}")
    print(f"report complete ({len(run.stdout)} bytes), exit status 0")


if __name__ == "__main__":
    main()
