"""What zerobench-stats runs and how: a zerobench program started on a
pseudo-terminal by the terminal-run helper (a Windows build through its
console-run.exe under Wine), pinned to one CPU, with the clock probe just
before and just after each run."""
import dataclasses
import functools
import json
import os
import pathlib
import random
import resource
import shutil
import subprocess
import tempfile
import time
from typing import Optional

from . import host
from .records import (CLOSING, CORE_HZ, IDIOMS, IDIOMS_FORMAT, IDIOMS_MARK, LABELS, LINE, MARK, TICK_HZ, ZEROBENCH,
                      Reading, Refusal, Run, printable, probe_reading)

RUN_SECONDS = 120  # a run takes about half a second; one still going then has hung: its driver ends it
BACKSTOP_SECONDS = RUN_SECONDS + 30  # should the driver itself hang
TIMEOUT = ["--timeout", str(RUN_SECONDS)]  # the drivers' own limit, 30 s unless told
TIMED_OUT = 124  # terminal-run's status for a program it ended at its own time limit
PROBE_SECONDS = 10
MEASURED = "measured"  # the role of the presets run when no target is named


class UsageError(Exception):
    """A bad argument, in one line."""


@dataclasses.dataclass
class Target:
    name: str  # the preset, or the program's path as given
    command: list  # starts one run
    wine_prefix: Optional[str] = None  # a Windows build's Wine prefix
    program: str = ZEROBENCH  # the kind of program: zerobench, through a driver, or zerobench-idioms, directly


class Place:
    """Where the tool runs from: installed (bin/zerobench-stats, its helpers in
    lib/zerobench/, zerobench beside it) or a source checkout (bench/, the
    helpers in the default preset's build)."""

    def __init__(self, script):
        bindir = pathlib.Path(script).resolve().parent
        root = bindir.parent
        if bindir.name == "bench" and (root / "CMakePresets.json").exists():
            self.checkout, self.helpers, self.beside = root, root / "build" / "default" / "bench", None
        else:
            self.checkout, self.helpers, self.beside = None, root / "lib" / "zerobench", bindir / "zerobench"
        self.driver = self.helpers / "terminal-run"
        self.probe = self.helpers / "zerobench-clock"

    def presets(self):
        """The checkout's configure presets in file order, each with its roles
        ({name: [role, ...]}); none where installed."""
        if self.checkout is None:
            return {}
        try:
            presets = json.loads((self.checkout / "CMakePresets.json").read_text())["configurePresets"]
            return {p["name"]: list(p.get("vendor", {}).get("zerobench", {}).get("roles", []))
                    for p in presets if not p.get("hidden")}
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            raise UsageError(f"CMakePresets.json cannot be read: {error}") from None

    def wine_run(self):
        return self.checkout / "cmake" / "toolchains" / "windows-wine-run.sh"


@functools.cache
def ia32_refused(place):
    """Why this machine does not start IA-32 programs; None where it does (or
    where there is no checkout to ask)."""
    if place.checkout is None:
        return None
    probe = subprocess.run([str(place.checkout / "cmake" / "runs-ia32")], capture_output=True, text=True)
    return probe.stdout.strip() if probe.returncode == 1 else None


MOST_PROGRAM_BYTES = 16 << 20  # a zerobench program is well under 1 MiB


def check_program(path):
    """The kind of program at path (ZEROBENCH or IDIOMS), where it is one
    that can be started here; UsageError otherwise. It reads at most
    MOST_PROGRAM_BYTES of the file."""
    file = pathlib.Path(path)
    if not file.is_file():
        raise UsageError(f"{path}: no such program")
    try:
        with open(file, "rb") as opened:
            image = opened.read(MOST_PROGRAM_BYTES + 1)
        if len(image) > MOST_PROGRAM_BYTES:
            raise UsageError(f"{path}: not a zerobench program (larger than {MOST_PROGRAM_BYTES >> 20} MiB)")
    except OSError as error:
        raise UsageError(f"{path}: cannot be read ({error.strerror})") from None
    if image.startswith(b"MZ"):
        raise UsageError(f"{path}: a Windows program; run a Windows build by its preset name in a checkout")
    kind = IDIOMS if IDIOMS_MARK in image else ZEROBENCH if MARK in image else None
    if not image.startswith(b"\x7fELF") or kind is None:
        raise UsageError(f"{path}: not a zerobench program")
    if not os.access(file, os.X_OK):
        raise UsageError(f"{path}: not executable (chmod +x {path})")
    return kind


def need_driver(place):
    if not os.access(place.driver, os.X_OK):
        where = "build the default preset (cmake --workflow --preset default)" if place.checkout else \
            "the installation is incomplete"
        raise UsageError(f"{place.driver} is missing: {where}")


def program_target(place, path):
    """zerobench through the terminal driver; zerobench-idioms, which needs no terminal, directly."""
    if check_program(path) == IDIOMS:
        return Target(path, [str(pathlib.Path(path).resolve())], program=IDIOMS)
    need_driver(place)
    return Target(path, [str(place.driver), *TIMEOUT, str(pathlib.Path(path).resolve())])


def idioms_target(place):
    """zerobench-idioms by its name: in a checkout, the default preset's; installed, the one beside the tool."""
    if place.checkout is None:
        return program_target(place, str(place.beside.with_name(IDIOMS)))
    built = place.checkout / "build" / "default" / "idioms" / IDIOMS
    if not built.exists():
        raise UsageError(f"{IDIOMS}: not built (cmake --workflow --preset default)")
    return program_target(place, str(built))


def preset_target(place, preset):
    """The preset's built program as a target, or UsageError."""
    build = place.checkout / "build" / preset
    if preset.startswith("windows"):
        driver, program = build / "harness" / "console-run.exe", build / "zerobench.exe"
        if not (driver.exists() and program.exists()):
            raise UsageError(f"{preset}: not built (cmake --workflow --preset {preset})")
        wine = "wine64" if preset.endswith("x64") else "wine"
        if not shutil.which("wine") or (wine == "wine64" and not os.access("/usr/lib/wine/wine64", os.X_OK)):
            raise UsageError(f"{preset}: built, but Wine is missing (apt-get install wine {wine})")
        prefix = str(build / "wineprefix")
        return Target(preset, [str(place.wine_run()), prefix, str(driver), *TIMEOUT, str(program)], prefix)
    program = build / "zerobench"
    if not program.exists():
        raise UsageError(f"{preset}: not built (cmake --workflow --preset {preset})")
    check_program(program)  # a build left broken fails every run, and no exit status says why
    need_driver(place)
    return Target(preset, [str(place.driver), *TIMEOUT, str(program)])


def targets(place, names):
    """What to run, and a line for each target that is left out; UsageError
    for a name that is neither a zerobench program nor a built preset."""
    presets = place.presets()
    chosen, skipped = [], []
    if not names and place.beside is not None:
        names = [str(place.beside)]
    implicit = not names
    for name in names or [name for name, roles in presets.items() if MEASURED in roles]:
        if name == IDIOMS and not pathlib.Path(name).exists():
            chosen.append(idioms_target(place))
        elif name in presets and not pathlib.Path(name).exists():
            if name.endswith("-ia32") and ia32_refused(place):
                # It would only run under an emulator, timing the translation.
                skipped.append(f"{name}: {ia32_refused(place)}: it would only run emulated, and emulated "
                               "figures are translation costs, not timings; skipped")
                continue
            try:
                chosen.append(preset_target(place, name))
            except UsageError as error:
                if not implicit:
                    raise
                skipped.append(f"{error}; skipped")
        elif place.checkout is None and "/" not in name and not pathlib.Path(name).exists():
            chosen.append(program_target(place, on_path(place, name)))
        elif "/" in name or pathlib.Path(name).exists() or not presets:
            chosen.append(program_target(place, name))
        else:
            raise UsageError(f"{name}: neither a zerobench program nor a preset ({', '.join(presets)}) nor {IDIOMS}")
    if not chosen:
        why = "; ".join(line.removesuffix("; skipped") for line in skipped) or \
            "build a preset (cmake --workflow --preset default) or name a program"
        raise UsageError(f"nothing to run: {why}")
    return chosen, skipped


def on_path(place, name):
    """The program a bare name stands for where the tool is installed: the
    one of that name on PATH, or UsageError (preset names are a checkout's)."""
    found = shutil.which(name)
    if found is None:
        raise UsageError(f"{name}: no such program (preset names are a source checkout's; without a name "
                         f"this zerobench-stats runs {place.beside})")
    return found


def _pinned(cpu):
    return lambda: os.sched_setaffinity(0, {cpu})


# The probe's status when its two chains disagree, or the core clock it finds
# is none that an x86 processor reaches; it still prints its reading.
PROBE_REFUSED = 3


def refusal(reading, status):
    """Why a reading gives no core cycles (see records.REFUSAL_REASONS), or
    None where it does. The probe judges its chains' agreement itself; the
    range is checked here too, for a probe that does not."""
    if not (CORE_HZ[0] <= reading.ratio * reading.tick_hz <= CORE_HZ[1] and
            TICK_HZ[0] <= reading.tick_hz <= TICK_HZ[1]):
        return "range"
    if status != PROBE_REFUSED:
        return None
    return "chains" if reading.add is not None and reading.imul is not None else "probe"


def read_clock(place, cpu, when):
    """The clock probe's Reading on cpu; a Refusal where it gives no core
    cycles (taken `when`, before or after a run); None where there is no probe."""
    if not os.access(place.probe, os.X_OK):
        return None
    try:
        done = subprocess.run([str(place.probe)], capture_output=True, text=True, errors="replace",
                              timeout=PROBE_SECONDS, preexec_fn=_pinned(cpu))
    except subprocess.TimeoutExpired:
        return Refusal(when, "failed", f"no answer in {PROBE_SECONDS} s")
    except OSError as error:
        return Refusal(when, "failed", f"could not be started ({error.strerror})")
    reading = probe_reading(done.stdout)
    if done.returncode not in (0, PROBE_REFUSED) or reading is None:
        return Refusal(when, "failed", f"exit status {done.returncode}: {_last_lines(done.stderr.encode(), count=1)}")
    why = refusal(reading, done.returncode)
    if why is None:
        return reading
    return Refusal(when, why, printable(done.stderr.strip()[:200]), reading.ratio, reading.tick_hz, reading.add,
                   reading.imul)


def _last_lines(*outputs, count=3):
    text = b"\n".join(outputs).decode(errors="replace").replace("\r", "\n")
    lines = [printable(line.strip()) for line in text.split("\n") if line.strip()]
    return " | ".join(lines[-count:]) or "no output"


def one_run(place, target, cpu):
    """One run of the target pinned to cpu, read between two clock readings:
    (Run, banner, layout) or (None, why it failed, None); the layout is
    zerobench-idioms' (records.Series.layout), None for zerobench. The run
    has core cycles per tick where both readings give them, and keeps each
    reading that does not, and what else the machine did meanwhile."""
    before = read_clock(place, cpu, "before")
    times, usage = host.cpu_times(), resource.getrusage(resource.RUSAGE_CHILDREN)
    run, banner, layout = (run_idioms if target.program == IDIOMS else run_zerobench)(target, cpu)
    if run is None:
        return None, banner, None
    shares, switches = host.shares(times, host.cpu_times()), \
        resource.getrusage(resource.RUSAGE_CHILDREN).ru_nivcsw - usage.ru_nivcsw
    after = read_clock(place, cpu, "after")
    if isinstance(before, Reading) and isinstance(after, Reading):
        run.ratios, run.tick_hz = [before.ratio, after.ratio], (before.tick_hz + after.tick_hz) / 2
    run.refused = [r for r in (before, after) if isinstance(r, Refusal)] or None
    # The other CPUs' work and the steal from this one.
    run.busy = {str(other): round(share.busy, 3) for other, share in shares.items() if other != cpu} or None
    run.steal = round(shares[cpu].steal, 3) if cpu in shares else None
    run.switches = switches
    return run, banner, layout


def run_zerobench(target, cpu):
    """zerobench through its driver: (Run of its four figures, banner, None) or (None, why it failed, None)."""
    started = time.monotonic()
    try:
        done = subprocess.run(target.command, capture_output=True, timeout=BACKSTOP_SECONDS,
                              preexec_fn=_pinned(cpu))
    except subprocess.TimeoutExpired as expired:
        return None, f"timed out after {BACKSTOP_SECONDS} s: {_last_lines(expired.stdout or b'')}", None
    except OSError as error:
        return None, f"could not be started ({error.strerror})", None
    figures = [int(m.group(1)) for m in LINE.finditer(done.stdout)]
    closing = CLOSING.search(done.stderr)
    if done.returncode != 0 or len(figures) != len(LABELS) or not closing:
        return None, _failure(done, time.monotonic() - started), None
    banner = printable(done.stdout.split(b"\r\n", 1)[0].decode(errors="replace"))
    return Run(figures, float(closing.group(1))), banner, None


IDIOMS_UNTRUSTED = 3  # zerobench-idioms' status when its clock or calibration cannot be trusted


def run_idioms(target, cpu):
    """zerobench-idioms, its figures read from the JSON it writes: (Run of
    each timed idiom's ticks per clear at each size, idiom by idiom; banner;
    layout) or (None, why it failed, None). A run whose own calibration
    failed is kept, saying why."""
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zerobench-stats-") as scratch:
        record = pathlib.Path(scratch) / "idioms.json"
        try:
            done = subprocess.run([*target.command, "--json", str(record)], capture_output=True,
                                  timeout=BACKSTOP_SECONDS, stdin=subprocess.DEVNULL, preexec_fn=_pinned(cpu))
        except subprocess.TimeoutExpired as expired:
            return None, f"timed out after {BACKSTOP_SECONDS} s: {_last_lines(expired.stdout or b'')}", None
        except OSError as error:
            return None, f"could not be started ({error.strerror})", None
        if done.returncode not in (0, IDIOMS_UNTRUSTED):
            return None, _failure(done, time.monotonic() - started), None
        try:
            figures, layout, banner, untrusted = idioms_figures(json.loads(record.read_text()))
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            return None, f"its JSON cannot be read ({error})", None
    return Run(figures, time.monotonic() - started, untrusted=untrusted and printable(untrusted)), printable(banner), \
        layout


def idioms_figures(record):
    """From zerobench-idioms' JSON: the ticks of each timed idiom at each size
    (the reference and the skipped left out), the layout, the banner, and
    why the program did not trust its figures (None where it did)."""
    if record["format"] != IDIOMS_FORMAT:
        raise ValueError(f"format {record['format']!r}, not {IDIOMS_FORMAT}")
    sizes = [int(size) for size in record["sizes"]]
    timed = [idiom for idiom in record["idioms"] if idiom["skipped"] is None and not idiom["reference"]]
    figures = [float(figure["ticks"]) for idiom in timed for figure in idiom["figures"]]
    if len(figures) != len(timed) * len(sizes) or not timed:
        raise ValueError("its figures do not match its sizes")
    skipped = {idiom["name"]: idiom["skipped"] for idiom in record["idioms"] if idiom["skipped"] is not None}
    layout = {"idioms": [idiom["name"] for idiom in timed], "sizes": sizes, "skipped": skipped}
    return figures, layout, record["banner"], None if record["trusted"] else record["untrusted_because"]


def _failure(done, seconds):
    """Why a run that ended failed, in words."""
    if done.returncode == TIMED_OUT:  # its closing line says -1: nothing to show from standard error
        return f"timed out after {seconds:.0f} s: {_last_lines(done.stdout)}"
    return f"exit status {done.returncode}: {_last_lines(done.stdout, done.stderr)}"


def start_wine(place, target, cpu):
    """A Wine server outlives the runs: end it, and start a new one pinned
    with them by one run that is not measured (a new server, or a new prefix,
    takes seconds to set up)."""
    subprocess.run([str(place.wine_run()), target.wine_prefix, "--end"], capture_output=True)
    one_run(place, target, cpu)


def shuffled_rounds(entries, seed):
    """Round after round (without end), the entries in an order shuffled
    afresh for each round; the same seed gives the same orders."""
    shuffler = random.Random(seed)
    while True:
        order = list(entries)
        shuffler.shuffle(order)
        yield order
