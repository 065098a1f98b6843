#!/usr/bin/python3
"""zerobench-stats as installed: cmake --install puts it beside zerobench,
with its helpers, and by default it runs the zerobench beside it; Ctrl-C
part way keeps the runs that finished.

Usage: installed_test.py BUILD_DIRECTORY
"""
import json
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = pathlib.Path(sys.argv.pop(1)) if len(sys.argv) > 1 else None


def runs_in(path):
    """How many runs the record holds; 0 while there is none yet."""
    try:
        return len(json.loads(path.read_text())["series"][0]["runs"])
    except (OSError, ValueError):
        return 0


class InstalledTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.prefix = pathlib.Path(cls.scratch.name) / "usr"
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(cls.prefix)], check=True,
                       stdout=subprocess.DEVNULL)
        cls.tool = cls.prefix / "bin" / "zerobench-stats"

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_runs_the_installed_program_once_in_ticks_and_core_cycles(self):
        record = self.prefix / "one.json"
        done = subprocess.run([str(self.tool), "run", "-n", "1", "--json", str(record)], capture_output=True,
                              text=True, timeout=120, cwd="/")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn(f"{self.prefix}/bin/zerobench: 1 run on cpu", done.stdout)
        self.assertIn("core cycles per pass", done.stdout)
        (series,) = json.loads(record.read_text())["series"]
        (run,) = series["runs"]
        self.assertEqual(len(run["figures"]), 4)
        self.assertEqual(len(run["ratios"]), 2)
        self.assertTrue(series["banner"])
        # The package's directory holds only what the package installed.
        self.assertEqual(list((self.prefix / "lib" / "zerobench").rglob("__pycache__")), [])

    def test_an_interrupted_series_keeps_its_finished_runs(self):
        # SIGTERM comes in a burst, which lands on the last save: no temporary file is left.
        for number, by, burst in [(signal.SIGINT, "", 1), (signal.SIGTERM, " by SIGTERM", 50)]:
            record = self.prefix / f"interrupted-{number}.json"
            tool = subprocess.Popen([str(self.tool), "run", "-n", "20", "--json", str(record)],
                                    stdout=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 60
            while runs_in(record) < 2 and tool.poll() is None and time.monotonic() < deadline:
                time.sleep(0.01)
            for _ in range(burst):
                tool.send_signal(number)
                time.sleep(0.001)
            output, _ = tool.communicate(timeout=60)
            self.assertEqual(tool.returncode, 128 + number, output)
            self.assertEqual(runs_in(record), 2)
            self.assertEqual(output.splitlines()[-1], f"interrupted{by}: kept 2 finished runs in {record}")
            self.assertEqual([p.name for p in self.prefix.iterdir() if p.name.startswith(".zerobench-stats-")], [])

    def test_a_preset_name_or_the_program_it_runs_as_output_is_refused(self):
        program = self.prefix / "bin" / "zerobench"
        for arguments, why in [(["default"], "default: no such program (preset names are a source checkout's"),
                               (["-n", "3", "--json", program], "is a program the run starts")]:
            done = subprocess.run([self.tool, "run", *arguments], capture_output=True, text=True, timeout=60)
            self.assertEqual((done.returncode, done.stdout), (2, ""), done.stderr)
            self.assertIn(why, done.stderr)
        self.assertEqual(program.read_bytes()[:4], b"\x7fELF")

    def test_the_driver_ends_a_hung_program_at_the_time_out_it_is_given(self):
        # The tool gives its own limit to the driver, which would otherwise end a run after 30 s.
        driver = self.prefix / "lib" / "zerobench" / "terminal-run"
        hung = self.prefix / "hung"
        hung.write_text("#!/bin/sh\nsleep 60\n")
        hung.chmod(0o755)
        began = time.monotonic()
        done = subprocess.run([driver, "--timeout", "1", hung], capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 124, done.stderr)
        self.assertLess(time.monotonic() - began, 20)
        for arguments in (["--timeout"], ["--timeout", "0", hung], ["--timeout", "x", hung], ["--timeout", "1"]):
            done = subprocess.run([driver, *arguments], capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 2, arguments)
            self.assertIn("usage:", done.stderr)


if __name__ == "__main__":
    unittest.main()
