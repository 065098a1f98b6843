#!/usr/bin/env python3
"""The clock probe (zerobench-clock), as the statistics tool reads it.

Usage: clock_probe_test.py PROBE output|perf

output: its line of figures has the probe's format and adds up, its exit status
        and message match the figures, its two chains agree (exit 0)
        wherever the test runs, its chains are timed between fenced counter
        reads with no CPUID among them, --chain gives a plausible count,
        --cpuid a plausible cost, --cpu binds it, every wrong argument gets
        one line on standard error and exit 2, and bench/clock-probe refuses
        to run a program that is not the probe, and ended by a signal
        prints the calls made.
perf:   its cycles per tick agree within 3% with perf's count of core cycles
        over one long chain, where perf counts cycles; reading perf's CSV is
        checked on captured lines everywhere. Exits with 77 (a skip), saying
        why in one line, where perf cannot count cycles.
"""
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.dont_write_bytecode = True
sys.path.insert(0, str(BENCH))
from zerobench_stats.host import perf_cycles  # noqa: E402  the tool's reading of perf's count
from zerobench_stats.records import PROBE as LINE  # noqa: E402  the tool's reading of the probe's line

SKIP = 77
PROBE = None  # set from the command line
DISAGREE = re.compile(r"zerobench-clock: the two chains disagree on cpu \d+ "
                      r"\(add (\d+\.\d{4}), imul (\d+\.\d{4}) core cycles per tick\)\n")
OUT_OF_RANGE = re.compile(r"zerobench-clock: a core clock of \d+\.\d{3} GHz on cpu \d+ "
                          r"is outside 0\.1-10 GHz[^\n]*\n")
# How far apart the chains may be with exit 0, with room for the printed
# figures' rounding.
AGREEMENT = 0.03
ROUNDING = 0.0002
# Calls made for one reading whose chains agree: another thread on the same
# physical core can hold one chain back for a while (and the probe exit 3),
# but a core that shortens a chain makes every call disagree.
TRIES = 3
ALLOWED = sorted(os.sched_getaffinity(0))
CLOCK_PROBE_SCRIPT = BENCH / "clock-probe"
# The chain timed under perf: about a quarter of a second at 4 GHz, so that
# the process's own start-up is a small part of the cycles perf counts.
PERF_CHAIN_ADDS = 1_000_000_000


def run_probe(*args, cpus=None):
    return subprocess.run([PROBE, *args], capture_output=True, text=True, timeout=60,
                          preexec_fn=(lambda: os.sched_setaffinity(0, cpus)) if cpus else None)


def read_call(done):
    """A call's ratio, counter frequency, core clock and each chain's ratio,
    once its status and message are found to match them; None where it
    rightly exits 3."""
    match = LINE.fullmatch(done.stdout[:-1]) if done.stdout.endswith("\n") else None
    if not match or match[4] is None or done.returncode not in (0, 3):
        raise AssertionError(f"exit {done.returncode}: {done.stdout!r} {done.stderr!r}")
    ratio, tick_hz, core_hz, add, imul = float(match[1]), int(match[2]), int(match[3]), \
        float(match[4]), float(match[5])
    if abs(ratio - (add + imul) / 2) > 0.0001 or abs(core_hz / (ratio * tick_hz) - 1) > 0.0005 / ratio:
        raise AssertionError(f"a line that does not add up: {done.stdout!r}")
    apart = abs(add - imul) / min(add, imul)
    disagree, out_of_range = DISAGREE.fullmatch(done.stderr), OUT_OF_RANGE.fullmatch(done.stderr)
    if done.returncode == 0 and not done.stderr and apart <= AGREEMENT + ROUNDING and 1e8 <= core_hz <= 1e10:
        return ratio, tick_hz, core_hz, add, imul
    if done.returncode == 3 and disagree and (float(disagree[1]), float(disagree[2])) == (add, imul) and \
            apart >= AGREEMENT - ROUNDING:
        return None
    if done.returncode == 3 and out_of_range and apart <= AGREEMENT + ROUNDING and not 1e8 <= core_hz <= 1e10:
        return None
    raise AssertionError(f"exit {done.returncode} and {done.stderr!r} do not match {done.stdout!r}")


def figures(*args):
    """The figures of the first of TRIES calls whose chains agree."""
    for _ in range(TRIES):
        done = run_probe(*args)
        figures = read_call(done)
        if figures:
            return figures
    raise AssertionError(f"the two chains disagreed in {TRIES} calls in a row, the last: {done.stderr!r}")


def chain_ticks(stdout):
    match = re.fullmatch(r"ticks (\d+)\n", stdout)
    if not match:
        raise AssertionError(f"not a chain's line: {stdout!r}")
    return int(match[1])


class OutputTest(unittest.TestCase):
    def test_the_two_chains_agree(self):
        # A core that shortens either chain (folding adds at rename, running
        # them at half a cycle) makes the two disagree: exit 3, not 0.
        for args in [(), ("--cpu", str(ALLOWED[0])), ("--cpu", str(ALLOWED[-1]))]:
            with self.subTest(args=args):
                figures(*args)

    def test_a_chain_takes_about_a_core_cycle_per_add(self):
        # Several adds per cycle would mean a chain the core folds; a third
        # of that or less, adds that are not all one chain of adds. The best
        # of a few calls: one may lose the CPU part way.
        cpu = str(ALLOWED[0])
        before = figures("--cpu", cpu)[3]
        ticks = []
        for _ in range(5):
            done = run_probe("--cpu", cpu, "--chain", "10000000")
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            ticks.append(chain_ticks(done.stdout))
        after = figures("--cpu", cpu)[3]
        adds_per_tick = 10_000_000 / min(ticks)
        self.assertLessEqual(adds_per_tick, 1.25 * max(before, after), (ticks, before, after))
        self.assertGreaterEqual(adds_per_tick, min(before, after) / 3, (ticks, before, after))

    def test_the_chains_are_timed_between_fenced_counter_reads_without_cpuid(self):
        # CPUID traps to the hypervisor on some hosts, for thousands of
        # ticks with wide jitter: around a short chain it would decide the
        # reading. Every stretch of the built probe between two RDTSCs that
        # holds a chain must be framed by LFENCE and hold no CPUID.
        try:
            done = subprocess.run(["objdump", "-d", "-M", "intel", "--no-show-raw-insn", PROBE],
                                  capture_output=True, text=True, timeout=60)
        except FileNotFoundError:
            self.skipTest("objdump not found (apt-get install binutils)")
        self.assertEqual(done.returncode, 0, done.stderr)
        chains = {"add": 0, "imul": 0}
        for function in done.stdout.split("\n\n"):
            code = [" ".join(line.split("\t")[1].split()) for line in function.splitlines()
                    if line.count("\t") >= 1 and re.match(r"\s+[0-9a-f]+:\t", line)]
            stamps = [i for i, instruction in enumerate(code) if instruction == "rdtsc"]
            for opening, closing in zip(stamps, stamps[1:]):
                timed = code[opening + 1:closing]
                kind = "imul" if "imul ecx,ebx" in timed else \
                    "add" if sum(i in ("add rcx,rcx", "add ecx,ecx") for i in timed) >= 1000 else None
                if kind is None:
                    continue
                chains[kind] += 1
                self.assertFalse("cpuid" in timed, f"a CPUID in the timed region of the {kind} chain")
                self.assertEqual((code[opening - 1], code[opening + 1], code[closing - 1]),
                                 ("lfence", "lfence", "lfence"), kind)
        self.assertTrue(all(chains.values()), f"timed chains found: {chains}")

    def test_cpuid_costs_a_plausible_number_of_ticks(self):
        # A few dozen ticks on bare metal, thousands where it traps to a hypervisor.
        done = run_probe("--cpu", str(ALLOWED[0]), "--cpuid", "200")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        match = re.fullmatch(r"cpuid-ticks best (\d+) median (\d+) max (\d+) calls 200\n", done.stdout)
        self.assertIsNotNone(match, done.stdout)
        best, median, most = map(int, match.groups())
        self.assertTrue(0 < best <= median <= most < 10_000_000, done.stdout)

    def test_wrong_arguments_get_one_line_and_exit_2(self):
        outside = max(ALLOWED) + 1
        cases = [("--bogus",), ("extra",), ("--cpu",), ("--cpu", "x"), ("--cpu", "-1"), ("--cpu", ""),
                 ("--cpu", "99999999999999999999"), ("--cpu", str(outside)), ("--chain",),
                 ("--chain", "0"), ("--chain", "1500"), ("--chain", "10000000000000"),
                 ("--chain", "1e6"), ("--chain", "1000", "--cpu", str(outside)), ("--cpuid",),
                 ("--cpuid", "0"), ("--cpuid", "1000001"), ("--cpuid", "5", "--chain", "1000")]
        for args in cases:
            with self.subTest(args=args):
                done = run_probe(*args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, "")
                self.assertRegex(done.stderr, r"^zerobench-clock: [^\n]+\n$")

    def test_the_probe_script_runs_no_other_program(self):
        # Any other program would run on the user's terminal, perhaps
        # waiting for a key and leaving the terminal's mode changed.
        for args in [("/bin/true",), ("--check", "/bin/true")]:
            with self.subTest(args=args):
                done = subprocess.run([CLOCK_PROBE_SCRIPT, *args], capture_output=True, text=True, timeout=60)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertRegex(done.stderr, r"^clock-probe: /bin/true: not the clock probe[^\n]*\n$")

    def test_the_probe_script_ended_by_a_signal_prints_the_calls_so_far(self):
        # Ctrl-C, SIGTERM and SIGHUP (the terminal closed) alike: the figures
        # of the calls made, a line that says why, and 128 + the signal.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                script = subprocess.Popen([CLOCK_PROBE_SCRIPT, "-n", "10000", PROBE], stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, text=True)
                time.sleep(1)
                script.send_signal(number)
                output, errors = script.communicate(timeout=60)
                self.assertEqual(script.returncode, 128 + number, errors)
                why = "interrupted" if number == signal.SIGINT else f"terminated by {number.name}"
                stop = re.fullmatch(rf"clock-probe: {why} after (\d+) of 10000 calls of {re.escape(PROBE)}\n", errors)
                self.assertIsNotNone(stop, errors)
                self.assertGreater(int(stop[1]), 0)
                self.assertTrue(output.startswith(f"{PROBE}: {stop[1]} calls on cpu "), output)

    def test_a_cpu_outside_the_affinity_mask_is_refused(self):
        if len(ALLOWED) < 2:
            self.skipTest("one CPU only")
        done = run_probe("--cpu", str(ALLOWED[1]), cpus={ALLOWED[0]})
        self.assertEqual((done.returncode, done.stdout), (2, ""))
        self.assertRegex(done.stderr, r"^zerobench-clock: [^\n]*may not use cpu[^\n]*\n$")


class PerfCsvTest(unittest.TestCase):
    def test_counted_cycles_are_read(self):
        csv = "# started on Tue Dec  8 07:03:24 2026\n\n1023456789,,cycles,250123456,100.00,,\n"
        self.assertEqual(perf_cycles(csv), (1023456789, None))
        self.assertEqual(perf_cycles("1023456789,,cycles:u,250123456,100.00,,\n"), (1023456789, None))

    def test_a_hybrid_processors_lines_are_summed(self):
        csv = "1000000,,cpu_core/cycles/,250123456,100.00,,\n<not counted>,,cpu_atom/cycles/,0,0.00,,\n" \
              "23,,cpu_atom/cycles/,1000,0.01,,\n"
        self.assertEqual(perf_cycles(csv), (1000023, None))

    def test_no_count_gives_the_reason(self):
        self.assertEqual(perf_cycles("<not supported>,,cycles,0,100.00,,\n"),
                         (None, "perf counts no cycles here (<not supported>)"))
        self.assertEqual(perf_cycles("0.73,msec,task-clock,725879,100.00,0.432,CPUs utilized\n"),
                         (None, "perf counts no cycles here (no cycles line)"))


class AgainstPerfTest(unittest.TestCase):
    def test_ratio_agrees_with_perfs_cycles_per_tick(self):
        cpu = str(ALLOWED[0])
        before = figures("--cpu", cpu)[0]
        with tempfile.NamedTemporaryFile("r") as csv:
            try:
                done = subprocess.run(["perf", "stat", "-x,", "-o", csv.name, "-e", "cycles", "--",
                                       PROBE, "--cpu", cpu, "--chain", str(PERF_CHAIN_ADDS)],
                                      capture_output=True, text=True, timeout=120)
            except FileNotFoundError:
                self.skipTest("perf not found (apt-get install linux-perf)")
            cycles, reason = perf_cycles(csv.read())
        if cycles is None:
            # perf failed to start (no permission, no perf for this kernel) or counts nothing.
            first_error = next(iter(done.stderr.strip().splitlines()), "")
            self.skipTest(reason if done.returncode == 0 or not first_error else first_error)
        after = figures("--cpu", cpu)[0]
        ticks = chain_ticks(done.stdout)
        # The core clock may move a little between the calls: the mean of both.
        probe = (before + after) / 2
        self.assertAlmostEqual(cycles / ticks / probe, 1, delta=0.03,
                               msg=f"perf {cycles} cycles, {PERF_CHAIN_ADDS} adds over {ticks} ticks; "
                                   f"probe {before} before, {after} after")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in ("output", "perf"):
        sys.exit(__doc__.split("\n\n")[1])
    PROBE = sys.argv[1]
    groups = [OutputTest] if sys.argv[2] == "output" else [PerfCsvTest, AgainstPerfTest]
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(g) for g in groups)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    for _, reason in result.skipped:
        print(f"SKIPPED: {reason}")
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIP if sys.argv[2] == "perf" and result.skipped else 0)
