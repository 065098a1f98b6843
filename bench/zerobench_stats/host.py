"""What the host is doing and what it is, read without disturbing it: the
work on each CPU and the steal time over a moment (/proc/stat), which CPUs
the kernel says share a core, what one CPUID costs (the clock probe's
--cpuid), whether IA-32 programs start, and whether perf counts cycles.
Each returns data; nothing here prints."""
import dataclasses
import errno
import os
import re
import stat
import struct
import subprocess
import tempfile
import time
from typing import Optional

CPUID_CALLS = 1000
# A CPUID that costs more ticks at best has left the guest: on bare metal
# it takes tens to a few hundred, handled by a hypervisor thousands.
CPUID_IN_GUEST = 1000
CPUID_LINE = re.compile(r"cpuid-ticks best (\d+) median (\d+) max (\d+) calls (\d+)")


@dataclasses.dataclass
class Times:
    """One CPU's time from /proc/stat, in clock ticks since boot."""
    busy: int  # user, nice, system, irq, softirq: work on the CPU
    idle: int  # idle and iowait
    steal: int  # taken by the hypervisor for other guests


def cpu_times():
    """{cpu: Times} of every CPU; {} where /proc/stat cannot be read."""
    found = {}
    try:
        with open("/proc/stat") as lines:
            for line in lines:
                name, *fields = line.split()
                if not (name.startswith("cpu") and name[3:].isdigit()):
                    continue
                user, nice, system, idle, iowait, irq, softirq, steal = (list(map(int, fields)) + [0] * 8)[:8]
                found[int(name[3:])] = Times(user + nice + system + irq + softirq, idle + iowait, steal)
    except (OSError, ValueError):
        return {}
    return found


@dataclasses.dataclass
class Share:
    """A CPU's time between two readings, as shares of it."""
    busy: float
    steal: float


def shares(before, after):
    """{cpu: Share} between two cpu_times(); a CPU with no time passed is left out."""
    found = {}
    for cpu, then in before.items():
        now = after.get(cpu)
        if now is None:
            continue
        busy, idle, steal = now.busy - then.busy, now.idle - then.idle, now.steal - then.steal
        total = busy + idle + steal
        if total > 0:
            found[cpu] = Share(busy / total, steal / total)
    return found


def load(seconds=1.0):
    """{cpu: Share} over `seconds` from now."""
    before = cpu_times()
    time.sleep(seconds)
    return shares(before, cpu_times())


def siblings():
    """{cpu: [cpus the kernel says share its core, itself included]}; {} where it does not say."""
    found = {}
    for cpu in sorted(os.sched_getaffinity(0)):
        try:
            with open(f"/sys/devices/system/cpu/cpu{cpu}/topology/thread_siblings_list") as listed:
                found[cpu] = parse_cpu_list(listed.read())
        except (OSError, ValueError):
            continue
    return found


def parse_cpu_list(text):
    """"0-2,5" -> [0, 1, 2, 5]."""
    cpus = []
    for part in text.strip().split(","):
        low, _, high = part.partition("-")
        cpus += range(int(low), int(high or low) + 1)
    return cpus


@dataclasses.dataclass
class CpuidCost:
    best: int  # ticks
    median: int
    most: int
    calls: int

    @property
    def leaves_guest(self):
        return self.best > CPUID_IN_GUEST


def cpuid_cost(probe, cpu):
    """What one CPUID costs on cpu, by the clock probe; None where the probe cannot tell."""
    try:
        done = subprocess.run([str(probe), "--cpu", str(cpu), "--cpuid", str(CPUID_CALLS)], capture_output=True,
                              text=True, timeout=30, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError):
        return None
    found = CPUID_LINE.fullmatch(done.stdout.strip())
    return CpuidCost(*map(int, found.groups())) if done.returncode == 0 and found else None


def hypervisor():
    """Whether the processor says it runs under a hypervisor (the flag in /proc/cpuinfo)."""
    try:
        with open("/proc/cpuinfo") as info:
            return any(line.startswith("flags") and " hypervisor" in line for line in info)
    except OSError:
        return False


def tiny_ia32_program():
    """An IA-32 ELF program of 91 bytes that exits with 0 (mov eax, 1;
    xor ebx, ebx; int 0x80), so that the tool needs no IA-32 file of its own."""
    base, code = 0x08048000, bytes.fromhex("b801000000" "31db" "cd80")
    size = 52 + 32 + len(code)
    header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32,
                                                                1, 0, 0, 0)
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def ia32_starts():
    """(True, how) where an IA-32 program starts natively, (False, why) where
    the kernel refuses it, (None, why) where it could not be tried.
    ZEROBENCH_EMULATE_IA32=1 answers as a kernel that refuses them."""
    if os.environ.get("ZEROBENCH_EMULATE_IA32") == "1":
        return False, "ZEROBENCH_EMULATE_IA32=1 takes this kernel for one that refuses IA-32 programs"
    tried = []
    for place in [os.environ.get("TMPDIR"), "/tmp", "/var/tmp", "/dev/shm"]:
        if not place or not os.path.isdir(place):
            continue
        try:
            with tempfile.TemporaryDirectory(dir=place) as scratch:
                program = os.path.join(scratch, "ia32")
                with open(program, "wb") as file:
                    file.write(tiny_ia32_program())
                os.chmod(program, stat.S_IRWXU)
                done = subprocess.run([program], capture_output=True, timeout=10)
        except OSError as error:
            if error.errno == errno.ENOEXEC:
                return False, "the kernel refuses IA-32 programs (Exec format error)"
            tried.append(f"{place} ({error.strerror})")
            continue
        except subprocess.TimeoutExpired:
            return None, "a tiny IA-32 program did not end"
        if done.returncode == 0:
            return True, "a tiny IA-32 program started and ended natively"
        return False, f"a tiny IA-32 program ended with status {done.returncode}"
    return None, f"no directory lets programs start: {', '.join(tried) or 'none writable'}"


def perf_cycles(csv):
    """Core cycles from `perf stat -x, -e cycles` output, or why there is no count.

    Returns (cycles, None) or (None, reason). A hybrid processor gives one line
    per core type (cpu_core/cycles/, cpu_atom/cycles/); the process's cycles
    are their sum over the lines that counted."""
    counted, reasons = [], []
    for line in csv.splitlines():
        fields = line.split(",")
        if line.startswith("#") or len(fields) < 3 or "cycles" not in fields[2]:
            continue
        if fields[0].isdigit():
            counted.append(int(fields[0]))
        else:
            reasons.append(fields[0])
    if counted:
        return sum(counted), None
    return None, f"perf counts no cycles here ({', '.join(reasons) or 'no cycles line'})"


def perf_counts_cycles():
    """(True, how) where perf counts core cycles, else (False, why)."""
    try:
        done = subprocess.run(["perf", "stat", "-x,", "-e", "cycles", "--", "true"], capture_output=True, text=True,
                              timeout=30, stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        return False, "perf is not installed (apt-get install linux-perf)"
    except (OSError, subprocess.SubprocessError) as error:
        return False, f"perf could not start ({error})"
    cycles, why = perf_cycles(done.stderr)
    if cycles is None:
        first = next(iter(done.stderr.strip().splitlines()), "")
        return False, why if done.returncode == 0 or not first else f"perf: {first}"
    return True, f"perf counts core cycles ({cycles} for /bin/true)"


@dataclasses.dataclass
class Passive:
    """What run records of the host once per invocation, without disturbing it."""
    cpuid: Optional[CpuidCost]
    load: dict  # {cpu: Share} over the second before the first round
    siblings: dict  # {cpu: [cpus]}, the kernel's sibling lists

    def as_record(self):
        """As a record keeps it (records.RECORD_FIELDS' host): CPUs as text, shares to a thousandth."""
        return {"cpuid": self.cpuid and dataclasses.asdict(self.cpuid),
                "load": {str(cpu): {"busy": round(share.busy, 3), "steal": round(share.steal, 3)}
                         for cpu, share in self.load.items()},
                "siblings": {str(cpu): cpus for cpu, cpus in self.siblings.items()}}


def passive(probe, cpu, seconds=1.0):
    return Passive(cpuid_cost(probe, cpu) if os.access(probe, os.X_OK) else None, load(seconds), siblings())
