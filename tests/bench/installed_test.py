#!/usr/bin/python3
"""zerobench-stats as installed: cmake --install puts it beside zerobench,
with its helpers, and by default it runs the zerobench beside it; Ctrl-C
part way keeps the runs that finished. And every example of the README,
docs/, results/README.md and the manual pages runs as written: the
checkout's commands in the checkout, the installed tool's with the tool
installed, each with fewer rounds or calls, and every file it writes
moved into a scratch directory (never into results/ or docs/).

Usage: installed_test.py BUILD_DIRECTORY
"""
import json
import os
import pathlib
import re
import shlex
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


class Installed(unittest.TestCase):
    """zerobench and its tools installed into a scratch prefix."""

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


class InstalledTest(Installed):
    def test_runs_the_installed_program_once_in_ticks_and_core_cycles(self):
        record = self.prefix / "one.json"
        done = subprocess.run([str(self.tool), "run", "-n", "1", "--json", str(record)], capture_output=True,
                              text=True, timeout=120, cwd="/")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn(f"{self.prefix}/bin/zerobench: 1 run on cpu", done.stdout)
        (series,) = json.loads(record.read_text())["series"]
        (run,) = series["runs"]
        self.assertEqual(len(run["figures"]), 4)
        # Both clock readings, or the one the probe refused (rarely, on a loaded host) with its reason.
        if run["ratios"]:
            self.assertEqual(len(run["ratios"]), 2)
            self.assertIn("core cycles per pass", done.stdout)
        else:
            self.assertTrue(run["refused"] and all(r["reason"] for r in run["refused"]), run)
        self.assertTrue(series["banner"])
        # The package's directory holds only what the package installed.
        self.assertEqual(list((self.prefix / "lib" / "zerobench").rglob("__pycache__")), [])

    def test_runs_the_installed_zerobench_idioms_by_its_name(self):
        record = self.prefix / "idioms.json"
        done = subprocess.run([str(self.tool), "run", "-n", "2", "--json", str(record), "zerobench-idioms"],
                              capture_output=True, text=True, timeout=300, cwd="/")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn(f"{self.prefix}/bin/zerobench-idioms: 2 runs on cpu", done.stdout)
        self.assertRegex(done.stdout, r"\n  at 400 bytes \S.* was the cheapest in rounds 1-2, ")
        (series,) = json.loads(record.read_text())["series"]
        self.assertEqual((series["program"], series["layout"]["sizes"]), ("zerobench-idioms", [16, 64, 128, 400, 1024, 4096]))
        self.assertEqual(len(series["runs"][0]["figures"]), 6 * len(series["layout"]["idioms"]))

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
        # inf would be no limit at all.
        for arguments in (["--timeout"], ["--timeout", "0", hung], ["--timeout", "x", hung], ["--timeout", "1"],
                          ["--timeout", "inf", hung], ["--timeout", "1e999", hung]):
            done = subprocess.run([driver, *arguments], capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 2, arguments)
            self.assertRegex(done.stderr, r"^usage: [^\n]*\n$")

    def test_the_driver_ends_with_the_program_and_has_all_it_wrote(self):
        driver = self.prefix / "lib" / "zerobench" / "terminal-run"
        # A process the program leaves running in a session of its own is no
        # longer the driver's to wait for or to signal.
        left = self.prefix / "left.pid"
        leaves = f"setsid sh -c 'echo $$ >{left}; exec sleep 60' & sleep 0.3; echo hi"
        done = subprocess.run([driver, "--timeout", "10", "/bin/sh", "-c", leaves], capture_output=True, text=True,
                              timeout=60)
        pid = int(left.read_text())
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            self.fail("the driver ended a process it did not own")
        os.kill(pid, signal.SIGKILL)
        self.assertEqual((done.returncode, done.stdout), (0, "hi\n"), done.stderr)
        # Its closing line is timed however soon after it the program exits.
        done = subprocess.run([driver, "/bin/sh", "-c", 'sleep 0.2; printf "x\\r\\n--- ok ---\\r\\n"'],
                              capture_output=True, timeout=60)
        self.assertEqual((done.returncode, done.stdout), (0, b"x\r\n--- ok ---\r\n"), done.stderr)
        seconds = re.fullmatch(rb"seconds-to-closing-line: (\d+\.\d+)\n", done.stderr)
        self.assertIsNotNone(seconds, done.stderr)
        self.assertGreaterEqual(float(seconds[1]), 0.2)

    def test_the_driver_keeps_no_more_of_endless_output_than_a_report_needs(self):
        driver = self.prefix / "lib" / "zerobench" / "terminal-run"
        with tempfile.TemporaryFile() as output, tempfile.TemporaryFile("w+") as errors:
            began = time.monotonic()
            endless = subprocess.Popen([driver, "--timeout", "2", "/usr/bin/yes"], stdout=output, stderr=errors)
            _, status, usage = os.wait4(endless.pid, 0)
            endless.returncode = os.waitstatus_to_exitcode(status)
            output.seek(0)
            errors.seek(0)
            said = errors.read()
            self.assertEqual(endless.returncode, 124, said)
            self.assertLess(time.monotonic() - began, 20)
            self.assertEqual(len(output.read()), 64 << 10)
            self.assertIn("terminal-run: the program wrote more than 65536 bytes; the rest is left out\n", said)
        # About 14 MB here (ru_maxrss, in KiB); keeping every byte, at 9
        # bytes each, took hundreds.
        self.assertLess(usage.ru_maxrss, 64 << 10)


ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "results/README.md", *sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.md")),
             *sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.1"))]
CHECKOUT_TOOLS = ("bench/zerobench-stats", "bench/clock-probe", "bench/large-record", "bench/idioms-runs",
                  "build/default/idioms/zerobench-idioms")
INSTALLED_TOOLS = ("zerobench-stats", "zerobench-idioms")
OUTPUTS = ("--json", "--plot", "--markdown")
# Fewer rounds and calls, so that every example runs in seconds: {option: value}.
SHORTER = {"-n": "2", "--max-runs": "6", "--time": "1"}


def examples(document):
    """(line number, command) of each example in a document's code blocks:
    Markdown's fenced blocks, a manual page's literal displays and one-line
    displays, the commands of the tools above; in a block whose first line
    is a prompt ("$ "), a transcript, only the prompted lines."""
    manual = document.endswith(".1")
    opening, closing = (".Bd -literal", ".Ed") if manual else ("```", "```")
    block, prompted, found = False, False, []
    for number, line in enumerate((ROOT / document).read_text().splitlines(), 1):
        shown = line.strip()
        if manual and shown.startswith(".Dl "):
            candidate = shown.removeprefix(".Dl ")
        elif shown.startswith(closing if block else opening):
            block, prompted = not block, None
            continue
        elif block:
            prompted = shown.startswith("$ ") if prompted is None else prompted
            if prompted and not shown.startswith("$ "):
                continue
            candidate = shown
        else:
            continue
        command = candidate.removeprefix("$ ").strip()
        if command.split(" ")[0] in CHECKOUT_TOOLS + INSTALLED_TOOLS:
            found.append((number, command))
    return found


def shortened(command, scratch, prefix):
    """The command's words, with fewer rounds, inputs globbed in the
    checkout, the installed programs under prefix, and every output moved
    into scratch (its path kept inside it, so that two examples naming one
    file still collide)."""
    words, shown = [], shlex.split(command.replace("/usr/bin/", f"{prefix}/bin/"))
    for i, word in enumerate(shown):
        option = shown[i - 1] if i else None
        if option in SHORTER:
            word = SHORTER[option] if float(word) > float(SHORTER[option]) else word
        elif option in OUTPUTS:
            word = scratch / word.lstrip("/")
            word.parent.mkdir(parents=True, exist_ok=True)
        elif "*" in word:
            words += sorted(str(p) for p in ROOT.glob(word))
            continue
        words.append(str(word))
    if words[:2] == ["bench/clock-probe", "--check"] and "-n" not in words:
        words[2:2] = ["-n", "2"]
    return words


def checkout_files():
    """Each file of the checkout's results/ and docs/, with its size and time of change."""
    return {p: (p.stat().st_size, p.stat().st_mtime_ns) for folder in ("results", "docs")
            for p in (ROOT / folder).rglob("*") if p.is_file()}


class ExamplesTest(Installed):
    def test_every_example_runs_as_written(self):
        scratch = pathlib.Path(self.scratch.name) / "examples"
        scratch.mkdir()
        environment = {**os.environ, "PATH": f"{self.prefix / 'bin'}:{os.environ['PATH']}"}
        kept = checkout_files()
        ran = []
        for document in DOCUMENTS:
            for number, command in examples(document):
                installed = command.split(" ")[0] in INSTALLED_TOOLS
                with self.subTest(example=f"{document}:{number}: {command}"):
                    done = subprocess.run(shortened(command, scratch, self.prefix), capture_output=True, text=True, timeout=300,
                                          cwd=scratch if installed else ROOT, env=environment,
                                          stdin=subprocess.DEVNULL)
                    # zerobench-idioms exits with 3, its report printed, where a loaded host keeps its
                    # calibration from holding: the program working as it should.
                    fine = (0, 3) if command.split(" ")[0].endswith("zerobench-idioms") else (0,)
                    self.assertIn(done.returncode, fine, done.stdout[-2000:] + done.stderr)
                    self.assertNotIn("Traceback", done.stderr)
                    ran.append(document)
        self.assertGreaterEqual(len(ran), 10, ran)
        self.assertEqual(set(DOCUMENTS) - {"docs/testing.md", "docs/windows.md", "docs/releasing.md",
                                           "docs/zerobench.1"} - set(ran), set())
        self.assertEqual(checkout_files(), kept)  # nothing written into the checkout


if __name__ == "__main__":
    unittest.main()
