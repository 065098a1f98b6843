#!/usr/bin/env python3
"""zerobench-idioms run as a user would: its report's shape, its JSON in the
format docs/idioms.md gives, its flags against the kernel's, an idiom
skipped by --without or --misalign, wrong arguments, outputs it must not
write, and a signal part way.

Usage: report_test.py PROGRAM
"""
import json
import math
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = None  # set from the command line
NAMES = ["mov [m],0", "and [m],0", "mov [m],r32", "mov [m],r64", "rep stosb", "rep stosd", "rep stosq",
         "movdqa xmm", "vmovdqa ymm", "vmovdqa64 zmm", "movnti", "movntdq", "clzero", "memset"]
FLAGS = ["ERMS", "FSRM", "FSRS", "AVX2", "AVX-512F", "CLZERO"]
SWITCHES = {"sse2", "avx", "avx512f", "clzero"}
UNTRUSTED = 3
# A figure in the table has one decimal; the JSON's cycles four.
TABLE_ROUNDING = 0.05 + 1e-4


def run(*args, timeout=60):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def number(value, low=-math.inf):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value >= low


def check_figure(test, figure, cycles_per_tick):
    """A figure's median and quartiles, in ticks and in core cycles that agree."""
    test.assertIsInstance(figure["passes"], int)
    test.assertGreaterEqual(figure["passes"], 1)
    for unit in ("ticks", "cycles"):
        values = [figure[unit + suffix] for suffix in ("_q1", "", "_q3")]
        test.assertTrue(all(number(v) for v in values), figure)
        test.assertEqual(values, sorted(values), figure)
    test.assertAlmostEqual(figure["cycles"], figure["ticks"] * cycles_per_tick, delta=1e-3 + 1e-3 * abs(figure["cycles"]))


def check_record(test, record):
    """The JSON as docs/idioms.md describes it: every member, its type and range."""
    test.assertEqual(list(record), ["format", "program", "banner", "cpu", "flags", "switched_off", "clock",
                                    "calibration", "trusted", "untrusted_because", "method", "misalign",
                                    "sizes", "idioms"])
    test.assertEqual(record["format"], "zerobench-idioms/1")
    test.assertRegex(record["program"]["version"], r"^\d+\.\d+\.\d+$")
    test.assertIn(record["program"]["mode"], ("x86-64", "IA-32"))
    test.assertIsInstance(record["banner"], str)
    test.assertTrue(record["banner"])
    test.assertIsInstance(record["cpu"], int)
    test.assertEqual(list(record["flags"]), FLAGS)
    test.assertTrue(all(isinstance(v, bool) for v in record["flags"].values()))
    test.assertTrue(set(record["switched_off"]) <= SWITCHES)
    clock = record["clock"]
    test.assertEqual(list(clock), ["cycles_per_tick", "tick_hz", "core_hz", "add", "imul", "trusted"])
    test.assertTrue(all(number(clock[k], 0) for k in ("cycles_per_tick", "tick_hz", "core_hz", "add", "imul")))
    test.assertAlmostEqual(clock["cycles_per_tick"], (clock["add"] + clock["imul"]) / 2, delta=2e-6)
    test.assertAlmostEqual(clock["core_hz"], clock["cycles_per_tick"] * clock["tick_hz"], delta=clock["core_hz"] * 1e-5)
    test.assertEqual([c["adds"] for c in record["calibration"]], [10, 100])
    for calibration in record["calibration"]:
        check_figure(test, calibration, clock["cycles_per_tick"])
        within = abs(calibration["cycles"] - calibration["adds"]) <= 0.03 * calibration["adds"]
        test.assertEqual(calibration["within"], within, calibration)
    trusted = clock["trusted"] and all(c["within"] for c in record["calibration"])
    test.assertEqual(record["trusted"], trusted)
    test.assertEqual(record["untrusted_because"] is None, trusted)
    test.assertEqual(record["method"], {"copies": [4, 8], "rounds": record["method"]["rounds"], "figure": "median"})
    test.assertIn(record["misalign"], range(64))
    sizes = record["sizes"]
    test.assertEqual(sizes, sorted(set(sizes)))
    test.assertTrue(sizes and all(s % 16 == 0 and 16 <= s <= 1 << 20 for s in sizes))
    test.assertEqual([i["name"] for i in record["idioms"]], NAMES)
    for idiom in record["idioms"]:
        test.assertEqual(list(idiom), ["name", "reference", "skipped", "figures"])
        test.assertEqual(idiom["reference"], idiom["name"] == "clzero")
        if idiom["skipped"] is not None:
            test.assertIsInstance(idiom["skipped"], str)
            test.assertEqual(idiom["figures"], [])
            continue
        test.assertEqual([f["size"] for f in idiom["figures"]], sizes)
        for figure in idiom["figures"]:
            check_figure(test, figure, clock["cycles_per_tick"])


def table(stdout):
    """The table's rows: {idiom: [cell, ...] or the skip reason}, and the sizes."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("idiom "))
    sizes = [int(s) for s in lines[start].split()[1:]]
    rows = {}
    for line in lines[start + 1:start + 1 + len(NAMES)]:
        name, rest = line[:15].strip(), line[15:]
        name = name.removesuffix(" (ref)")
        rows[name] = rest.removeprefix("skipped: ") if rest.startswith("skipped: ") else rest.split()
    return sizes, rows


class ReportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.json = pathlib.Path(cls.scratch.name) / "default.json"
        start = time.monotonic()
        cls.done = run("--json", str(cls.json))
        cls.seconds = time.monotonic() - start
        cls.record = json.loads(cls.json.read_text()) if cls.json.exists() else None

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_a_default_run_ends_within_10_seconds_with_a_record(self):
        self.assertIn(self.done.returncode, (0, UNTRUSTED), self.done.stderr)
        self.assertLess(self.seconds, 10)
        self.assertIsNotNone(self.record)
        check_record(self, self.record)
        self.assertEqual(self.record["sizes"], [16, 64, 128, 400, 1024, 4096])

    def test_the_report_has_its_lines_in_order(self):
        patterns = [r"zerobench-idioms \d+\.\d+\.\d+ \((x86-64|IA-32)\) on cpu \d+",
                    re.escape(self.record["banner"]),
                    r"flags: ERMS (yes|no), FSRM (yes|no), FSRS (yes|no), AVX2 (yes|no), AVX-512F (yes|no)[^,]*, "
                    r"CLZERO (yes|no).*",
                    r"core clock: \d+\.\d{3} GHz, \d+\.\d{4} core cycles per tick of the \d+\.\d{3} GHz counter "
                    r"\(add chain \d+\.\d{4}, imul chain \d+\.\d{4}\)",
                    r"calibration: 10 adds read \d+\.\d\d core cycles, 100 adds \d+\.\d\d",
                    r"(trusted: the clock's chains agree and both calibration chains within 3%"
                    r"|the figures cannot be trusted: .+)",
                    r"buffer: 0 bytes past a 64-byte boundary; core cycles per clear, median of \d+ rounds",
                    "", r"idiom +16 +64 +128 +400 +1024 +4096 *"]
        lines = self.done.stdout.splitlines()
        for pattern, line in zip(patterns, lines):
            self.assertRegex(line, "^" + pattern + "$")
        tail = lines[len(patterns) + len(NAMES):]
        self.assertEqual(tail[0], "* the cheapest at its size; (ref) a reference, never ranked")
        self.assertEqual(tail[1], "")
        for size, line in zip(self.record["sizes"], tail[2:]):
            figure = r"-?\d+\.\d\d \[-?\d+\.\d\d, -?\d+\.\d\d\]"
            self.assertRegex(line, rf"^cheapest at {size} bytes: .+ {figure}, -?\d+\.\d\d \(-?\d+%\) below .+ {figure}$")
        self.assertRegex(tail[8], r"^rep stosb (catches .+ at \d+ bytes \(|does not catch .+ within 16-4096 bytes "
                                  r"\(at 4096: )\d+\.\d\d against \d+\.\d\d core cycles\)$")
        self.assertRegex(tail[9], r"^memset is the cheapest at (every size|no size|[\d, ]+ bytes; not at [\d, ]+)$")
        self.assertEqual(len(tail), 10)
        untrusted = "the figures cannot be trusted" in self.done.stdout
        self.assertEqual(self.done.returncode, UNTRUSTED if untrusted else 0)
        self.assertEqual(self.done.stderr.startswith("zerobench-idioms: the figures cannot be trusted: "), untrusted)

    def test_the_table_and_the_cheapest_lines_say_what_the_record_holds(self):
        sizes, rows = table(self.done.stdout)
        self.assertEqual(sizes, self.record["sizes"])
        for idiom in self.record["idioms"]:
            row = rows[idiom["name"]]
            if idiom["skipped"] is not None:
                self.assertEqual(row, idiom["skipped"])
                continue
            for cell, figure in zip(row, idiom["figures"]):
                self.assertAlmostEqual(float(cell.rstrip("*")), figure["cycles"], delta=TABLE_ROUNDING)
        for column, size in enumerate(sizes):
            ranked = [(i["figures"][column]["ticks"], i["name"]) for i in self.record["idioms"]
                      if i["skipped"] is None and not i["reference"]]
            cheapest = min(ranked)[1]
            starred = [name for name, row in rows.items() if isinstance(row, list) and row[column].endswith("*")]
            self.assertEqual(starred, [cheapest], size)
            self.assertIn(f"cheapest at {size} bytes: {cheapest} ", self.done.stdout)

    def test_the_flags_are_those_the_kernel_names(self):
        try:
            kernel = set(re.search(r"^flags\s*:(.*)$", pathlib.Path("/proc/cpuinfo").read_text(), re.M)[1].split())
        except (OSError, TypeError):
            self.skipTest("no flags in /proc/cpuinfo")
        for flag, name in [("ERMS", "erms"), ("FSRM", "fsrm"), ("AVX2", "avx2"), ("AVX-512F", "avx512f"),
                           ("CLZERO", "clzero")]:
            self.assertEqual(self.record["flags"][flag], name in kernel, flag)

    def test_a_flag_switched_off_skips_its_idiom_with_the_reason(self):
        json_path = pathlib.Path(self.scratch.name) / "without.json"
        done = run("--without", "avx512", "--without", "clzero", "--sizes", "16", "--json", str(json_path))
        self.assertIn(done.returncode, (0, UNTRUSTED), done.stderr)
        self.assertRegex(done.stdout, r"\nvmovdqa64 zmm  skipped: AVX-512F switched off \(--without avx512f\)\n")
        self.assertRegex(done.stdout, r"\nclzero \(ref\)   skipped: CLZERO switched off \(--without clzero\)\n")
        record = json.loads(json_path.read_text())
        check_record(self, record)
        self.assertEqual(record["switched_off"], ["avx512f", "clzero"])
        skipped = {i["name"]: i["skipped"] for i in record["idioms"] if i["skipped"]}
        self.assertEqual(skipped["vmovdqa64 zmm"], "AVX-512F switched off (--without avx512f)")
        self.assertNotIn("vmovdqa ymm", skipped)
        self.assertNotIn("vmovdqa64 zmm", done.stdout.split("cheapest at")[1])

    def test_a_misaligned_buffer_skips_the_aligned_stores(self):
        json_path = pathlib.Path(self.scratch.name) / "misaligned.json"
        done = run("--misalign", "8", "--sizes", "64", "--json", str(json_path))
        self.assertIn(done.returncode, (0, UNTRUSTED), done.stderr)
        record = json.loads(json_path.read_text())
        check_record(self, record)
        self.assertEqual(record["misalign"], 8)
        skipped = {i["name"]: i["skipped"] for i in record["idioms"] if i["skipped"]}
        for name, boundary in [("movdqa xmm", 16), ("vmovdqa ymm", 32), ("movntdq", 16), ("clzero", 64)]:
            self.assertEqual(skipped.get(name), f"needs a {boundary}-byte boundary, which --misalign 8 leaves")
        self.assertIsNone(dict((i["name"], i["skipped"]) for i in record["idioms"])["rep stosb"])
        self.assertIn("buffer: 8 bytes past a 64-byte boundary", done.stdout)


def wait_for_handler(pid, number, seconds=30):
    """Until the process catches the signal (its SigCgt mask says so): a
    signal before that would end it by the default action."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        status = pathlib.Path(f"/proc/{pid}/status").read_text()
        caught = int(re.search(r"^SigCgt:\s*([0-9a-f]+)$", status, re.M)[1], 16)
        if caught >> (number - 1) & 1:
            return
        time.sleep(0.005)
    raise AssertionError(f"the program did not catch signal {number} within {seconds} s")


class RefusalTest(unittest.TestCase):
    def test_wrong_arguments_get_one_line_and_exit_2_before_measuring(self):
        with tempfile.TemporaryDirectory() as scratch:
            fifo = os.path.join(scratch, "fifo")
            os.mkfifo(fifo)
            many_sizes = ",".join(str(16 * n) for n in range(1, 18))
            cases = [("--bogus",), ("extra",), ("--sizes",), ("--sizes", "17"), ("--sizes", "0"), ("--sizes", "16,16"),
                     ("--sizes", "16,,32"), ("--sizes", "16,"), ("--sizes", "1048592"), ("--sizes", "-16"),
                     ("--sizes", "1e3"), ("--sizes", many_sizes), ("--misalign", "64"), ("--misalign", "x"),
                     ("--without",), ("--without", "mmx"), ("--cpu", "x"), ("--cpu", "-1"),
                     ("--cpu", "99999999999999999999"), ("--cpu", str(max(os.sched_getaffinity(0)) + 1)),
                     ("--json",), ("--json", ""), ("--json", scratch), ("--json", fifo), ("--json", "/dev/null"),
                     ("--json", os.path.join(scratch, "missing", "out.json"))]
            for args in cases:
                with self.subTest(args=args):
                    start = time.monotonic()
                    done = run(*args)
                    self.assertEqual((done.returncode, done.stdout), (2, ""))
                    self.assertRegex(done.stderr, r"^zerobench-idioms: [^\n]+\n$")
                    # Measuring reads the clock first, 10 ms and more.
                    self.assertLess(time.monotonic() - start, 5)
            self.assertEqual(sorted(os.listdir(scratch)), ["fifo"])

    def test_a_closed_standard_output_fails_the_run_but_not_its_record(self):
        with tempfile.TemporaryDirectory() as scratch:
            record = os.path.join(scratch, "out.json")
            reader, writer = os.pipe()
            os.close(reader)
            try:
                done = subprocess.run([PROGRAM, "--sizes", "16", "--json", record], stdout=writer,
                                      stderr=subprocess.PIPE, text=True, timeout=60)
            finally:
                os.close(writer)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertRegex(done.stderr, r"^zerobench-idioms: writing to standard output: Broken pipe\n")
            with open(record) as file:
                self.assertEqual(json.load(file)["sizes"], [16])

    def test_a_signal_part_way_ends_it_with_nothing_written(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number), tempfile.TemporaryDirectory() as scratch:
                record = os.path.join(scratch, "out.json")
                program = subprocess.Popen([PROGRAM, "--sizes", "65536,262144,1048576", "--json", record],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                wait_for_handler(program.pid, number)
                program.send_signal(number)
                stdout, stderr = program.communicate(timeout=60)
                self.assertEqual(program.returncode, 128 + number, stderr)
                self.assertEqual(stderr, f"zerobench-idioms: stopped by {signal.Signals(number).name}\n")
                self.assertEqual(stdout, "")
                self.assertEqual(os.listdir(scratch), [])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    PROGRAM = sys.argv.pop(1)
    unittest.main(verbosity=2)
