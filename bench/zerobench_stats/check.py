"""zerobench-stats check: whether this machine is fit to measure on, each
finding measured, as data. Which CPUs share a core is found by timing
zerobench itself on the CPU a run would use, alone and then with a busy
loop (the clock probe's add chain) on each other CPU: a virtual machine's
CPUs can be hyperthreads of one host core while the kernel inside says
nothing of it, and that changes as the host moves them."""
import dataclasses
import os
import signal
import statistics
import subprocess
import time
from typing import Optional

from . import host, runner, stats
from .records import Reading

PROBE_CALLS = 5
ALONE_RUNS, BUSY_RUNS = 5, 5
BUDGET = 25  # seconds from the start after which no other CPU is tried: the check ends within 30
BUSY_ADDS = 10 ** 12  # the busy loop's chain: minutes long; it is ended when done
# Figures this much higher with the other CPU busy, and higher by a one-sided
# Mann-Whitney test at 5% (without scipy: every busy run above every quiet
# one), tell a shared core.
SHARED_RISE, SHARED_P = 0.15, 0.05
# What makes a machine unfit, or fit with care: shares of a second, or spreads.
OWN_CPU_BUSY, OTHER_CPU_BUSY = 0.1, 0.2
STEAL_CARE, STEAL_UNFIT = 0.01, 0.1
CLOCK_SPREAD = 0.03
STEADY_SPREAD, UNSTEADY_SPREAD = 0.15, 0.5


@dataclasses.dataclass
class Neighbour:
    """zerobench's figures on the run's CPU with one other CPU busy."""
    cpu: int
    kernel_says_shared: bool  # the kernel's sibling list names it
    busy: list  # each run's mean of its four figures, in ticks

    def rise(self, alone):
        return statistics.median(self.busy) / statistics.median(alone) - 1

    def shares(self, alone):
        """Measured to share the core: higher by SHARED_RISE or more, and beyond the noise."""
        if self.rise(alone) < SHARED_RISE:
            return False
        if not stats.available():
            return min(self.busy) > max(alone)
        return stats.scipy.stats.mannwhitneyu(self.busy, alone, alternative="greater").pvalue < SHARED_P


@dataclasses.dataclass
class Findings:
    banner: str
    cpu: int  # the CPU a run uses
    seconds: float  # the check took
    readings: list  # records.Reading or records.Refusal of each probe call
    cpuid: Optional[host.CpuidCost]
    hypervisor: bool
    load: dict  # {cpu: host.Share} over a second, before anything else ran
    siblings: dict  # {cpu: [cpus]}
    alone: list  # zerobench's run values on cpu, the other CPUs left as they were
    neighbours: list  # Neighbour
    untried: list  # CPUs there was no time for
    ia32: tuple  # (starts: True, False or None, why)
    perf: tuple  # (counts cycles, why)
    verdict: str = ""  # "fit", "fit with care" or "not fit"
    reasons: list = dataclasses.field(default_factory=list)  # with what to do

    def trusted(self):
        return [r for r in self.readings if isinstance(r, Reading)]

    def spread(self, values):
        return (max(values) - min(values)) / statistics.median(values) if values and statistics.median(values) else 0


def run_value(place, target, cpu):
    """One run's mean of its four figures, in ticks; None where it failed."""
    run, _, _ = runner.one_run(place, target, cpu)
    return statistics.fmean(run.figures) if run else None


def busy_loop(probe, cpu):
    """The clock probe's add chain, started on cpu, to be ended by its caller."""
    return subprocess.Popen([str(probe), "--cpu", str(cpu), "--chain", str(BUSY_ADDS)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)


def end(process):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


def neighbours_first(cpu, allowed, siblings):
    """The other CPUs, those the kernel says share cpu's core first."""
    own = siblings.get(cpu, [cpu])
    return [c for c in allowed if c != cpu and c in own] + [c for c in allowed if c != cpu and c not in own]


def measure(place, target, cpu, stop_check=lambda: None):
    """Every finding but the verdict. stop_check is called between steps
    (it raises to end the check early)."""
    began = time.monotonic()
    load = host.load(1.0)  # before anything of the check's own runs
    stop_check()
    readings = [runner.read_clock(place, cpu, "before") for _ in range(PROBE_CALLS)]
    cpuid = host.cpuid_cost(place.probe, cpu)
    siblings = host.siblings()
    run, banner, _ = runner.one_run(place, target, cpu)  # also warms the core up
    alone = [v for v in (run_value(place, target, cpu) for _ in range(ALONE_RUNS)) if v is not None]
    stop_check()
    neighbours, untried = [], []
    for other in neighbours_first(cpu, sorted(os.sched_getaffinity(0)), siblings):
        if time.monotonic() - began > BUDGET or not alone:
            untried.append(other)
            continue
        loop = busy_loop(place.probe, other)
        try:
            time.sleep(0.1)  # the loop under way
            busy = [v for v in (run_value(place, target, cpu) for _ in range(BUSY_RUNS)) if v is not None]
        finally:
            end(loop)
        if busy:
            neighbours.append(Neighbour(other, other in siblings.get(cpu, [cpu]), busy))
        stop_check()
    ia32, perf = host.ia32_starts(), host.perf_counts_cycles()
    return Findings(banner if run else "", cpu, time.monotonic() - began, [r for r in readings if r is not None],
                    cpuid, host.hypervisor(), load, siblings, alone, neighbours, untried, ia32, perf)


def judge(findings):
    """The verdict, with each reason and what to do about it."""
    unfit, care = [], []
    cpu, load = findings.cpu, findings.load
    own = load.get(cpu)
    if own and own.busy > OWN_CPU_BUSY:
        unfit.append(f"cpu {cpu} itself was {own.busy:.0%} busy with other work: stop it, or measure on another CPU "
                     "(--cpu)")
    if own and own.steal > STEAL_UNFIT:
        unfit.append(f"the hypervisor took {own.steal:.0%} of cpu {cpu} for other guests (steal): measure on a quieter "
                     "host or instance")
    elif own and own.steal > STEAL_CARE:
        care.append(f"the hypervisor took {own.steal:.0%} of cpu {cpu} for other guests (steal): expect noise")
    spread = findings.spread(findings.alone)
    if not findings.alone:
        unfit.append("zerobench did not run to its end")
    elif spread > UNSTEADY_SPREAD:
        unfit.append(f"zerobench's figures on cpu {cpu} spread {spread:.0%} with nothing added: the core is not "
                     "steady; find what else runs")
    elif spread > STEADY_SPREAD:
        care.append(f"zerobench's figures on cpu {cpu} spread {spread:.0%} with nothing added: use many rounds "
                    "(--precision)")
    for n in findings.neighbours:
        if n.shares(findings.alone):
            care.append(f"cpu {n.cpu} shares cpu {cpu}'s core now (figures {n.rise(findings.alone):.0%} higher while it "
                        f"was busy): keep cpu {n.cpu} idle while measuring")
    busy = [f"cpu {c} {share.busy:.0%}" for c, share in sorted(load.items()) if c != cpu and share.busy > OTHER_CPU_BUSY]
    if busy:
        care.append(f"other work on {', '.join(busy)}: it can share a core with the runs")
    trusted = findings.trusted()
    if len(trusted) * 2 <= len(findings.readings):
        care.append("the clock probe refused most of its readings: figures in ticks only")
    elif trusted and findings.spread([r.ratio for r in trusted]) > CLOCK_SPREAD:
        care.append("the core clock moved between probe calls: read the runs' core cycles with care")
    if findings.untried:
        care.append(f"{len(findings.untried)} CPUs not tried for a shared core within the time")
    findings.verdict = "not fit" if unfit else "fit with care" if care else "fit"
    findings.reasons = unfit + care
    return findings
