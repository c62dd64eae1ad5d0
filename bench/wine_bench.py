#!/usr/bin/env python3
"""Benchmark of zorvo-recolour.exe under Wine.

Side by side with the floor (bench/floor.c: the same registry calls and
writes, nothing else) and with the two ways users recolour sessions without
the tool: one generated .reg file imported with `regedit /S` after listing the
sessions with `reg query`, and one `reg add` per value. Every timed run starts
from a freshly seeded registry; the two sides of a comparison run as pairs,
each side first in turn, so that drift in the machine's load hits both. Every
ratio comes with a confidence interval over its pairs, and a target whose
interval straddles its limit gets more rounds within a time budget before it
is called undecided (verdict.py). Also measured: CPU time of each side and of
its wineserver, peak memory, start-up cost, scaling from the smallest to the
largest N, the executable's size and imports, and (when given) the native
microbenchmark. Prints one table (table.py), the targets, and a summary line.

    wine_bench.py --exe EXE --floor FLOOR --fixture FIXTURE --harness-fixture E2E_FIXTURE
                  --prefix DIR [--native RUN_BENCHMARK] [--rounds R] [--sizes N1,N2]
                  [--budget SECONDS] [--cpu K]

Exit status: 0 when every target is met, 1 when one is missed, 2 when a
method did not do its job (wrong output or registry) or Wine failed, 3 when
none is missed but one stayed undecided. Python standard library only.
"""

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "scripts"))
import i386_host  # noqa: E402  (how this host runs Wine's 32-bit side)
import timed_wine  # noqa: E402  (first: it makes the end-to-end harness importable)
import methods  # noqa: E402
import table  # noqa: E402
import verdict  # noqa: E402
from harness.registry import SCHEME  # noqa: E402

SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll", "ntdll.dll",
    "gdi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "version.dll",
    "comctl32.dll", "ws2_32.dll", "shlwapi.dll",
}

# Where Wine's 32-bit side runs emulated, every registry call of the tool and
# of the floor costs several times as much, and so does every Wine process:
# a smaller large N and reg add on one session keep a whole run within about
# a quarter of an hour there too. The budget is the time that undecided
# targets may take in further rounds.
SCALE_BY_MODE = {
    "native": {"sizes": "1000,10000", "rounds": 5, "reg_add_sessions": 2, "budget": 300},
    "emulated": {"sizes": "1000,5000", "rounds": 5, "reg_add_sessions": 1, "budget": 480},
}

STARTED = time.perf_counter()


def progress(text):
    print("  [%4.0f s] %s" % (time.perf_counter() - STARTED, text), file=sys.stderr)


def pin_to_one_cpu(cpu):
    """Keeps this script, every Wine process and the wineserver on one CPU.

    A program and its wineserver answer each other for every registry call.
    On two CPUs the scheduler may wake the server on the other, idle one: on
    this kind of virtual machine every round trip then waits for an idle
    processor to wake up, and a run takes ten to thirty times as long as one
    where both share a CPU, a different share of each run every time. On one
    CPU the waiting side simply hands over to the other. Returns where they run."""
    if cpu is None:
        cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    placement = "every process pinned to CPU %d" % cpu
    # As root in a session of its own (bench/run.sh), the session's group
    # also gets a higher share of the CPU against other users' sessions:
    # with automatic group scheduling, nice values only count within a group.
    if os.getsid(0) == os.getpid():
        try:
            with open("/proc/self/autogroup", "w") as group:
                group.write("-10")
            placement += ", its scheduling group at nice -10"
        except OSError:
            pass
    return placement


def pe_imports(exe):
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], capture_output=True,
                             text=True, check=True).stdout
    return re.findall(r"DLL Name: (\S+)", listing)


def wine_version():
    try:
        return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "wine"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--fixture", required=True, help="the benchmark's registry fixture (bench/fixture.c)")
    parser.add_argument("--harness-fixture", required=True,
                        help="the end-to-end fixture, with which the harness makes the prefix")
    parser.add_argument("--prefix", required=True, help="the scratch Wine prefix (made here; must not exist)")
    parser.add_argument("--native", help="the native run_benchmark program")
    parser.add_argument("--native-sessions", type=int, default=10000)
    parser.add_argument("--sizes", help="session counts, smallest first (default: by mode, see SCALE_BY_MODE)")
    parser.add_argument("--rounds", type=int, help="rounds of every comparison before any further ones")
    parser.add_argument("--budget", type=float, help="seconds that further rounds for undecided targets may take")
    parser.add_argument("--reg-add-sessions", type=int)
    parser.add_argument("--reg-add-rounds", type=int, default=3)
    parser.add_argument("--cpu", type=int, help="the CPU to run on (default: the last one allowed)")
    parser.add_argument("--results", default=".", help="folder for the table and the raw numbers")
    return parser.parse_args()


class Run:
    """What a run measured, for the verdict and the table."""

    def __init__(self, args, host, placement):
        self.args, self.host, self.placement = args, host, placement
        self.sizes = [int(size) for size in args.sizes.split(",")]
        self.values_per_session = len(SCHEME)
        self.comparisons = {count: {} for count in self.sizes}
        self.startup = self.native = None
        self.server_restarts = []
        self.wine_version, self.cpu_name = wine_version(), cpu_name()
        self.exe_bytes = os.path.getsize(args.exe)
        self.imports = pe_imports(args.exe)
        self.elapsed = 0.0

    def floor_walls(self):
        return {count: self.comparisons[count]["floor"].walls() for count in self.sizes}

    def targets(self):
        large = self.comparisons[self.sizes[-1]]["floor"]
        targets = verdict.time_targets(self.sizes, self.floor_walls())
        targets.append(verdict.peak_target([m.peak for m in large.tool], [m.peak for m in large.other]))
        if self.native:
            count = self.args.native_sessions
            targets += verdict.native_targets(self.native["WholeRun/%d" % count]["core_steady_allocs_per_value"],
                                              self.native["OutputChannel/%d" % count]["channel_allocs_per_line"])
        foreign = [dll for dll in self.imports if dll.lower() not in SYSTEM_DLLS]
        return targets + verdict.executable_targets(self.exe_bytes, foreign)

    def raw(self):
        return {"sizes": {str(count): {kind: comparison.raw() for kind, comparison in kinds.items()}
                          for count, kinds in self.comparisons.items()},
                "startup": self.startup, "native": self.native, "server_restarts": self.server_restarts}


def measure(run, bench):
    """Every comparison's first rounds, then further rounds at the counts
    whose targets stay undecided, while the budget lasts."""
    args = run.args
    for count in run.sizes:
        # The small count's runs are short and cheap: twice the rounds.
        floor_rounds = args.rounds * (2 if count == run.sizes[0] and len(run.sizes) > 1 else 1)
        run.comparisons[count]["floor"] = bench.comparison(count, "floor")
        bench.add_rounds(run.comparisons[count]["floor"], floor_rounds)
        # The alternatives show the order of magnitude, and they are slow:
        # timed at the smallest N only.
        if count == run.sizes[0]:
            for kind, rounds in (("regedit", args.rounds), ("reg_add", args.reg_add_rounds)):
                run.comparisons[count][kind] = bench.comparison(count, kind)
                bench.add_rounds(run.comparisons[count][kind], rounds)
    deadline = time.perf_counter() + args.budget
    while time.perf_counter() < deadline:
        needing = verdict.undecided_sizes(verdict.time_targets(run.sizes, run.floor_walls()))
        if not needing:
            break
        for count in needing:
            bench.add_rounds(run.comparisons[count]["floor"], 1)
    progress("start-up")
    run.startup = bench.startup(2 * args.rounds)
    run.native = bench.native()
    run.server_restarts = bench.server_restarts


def main():
    args = parse_arguments()
    placement = pin_to_one_cpu(args.cpu)
    host = i386_host.run_probe()
    progress("Wine's 32-bit side runs %s; %s" % (host.describe(), placement))
    for name, value in SCALE_BY_MODE.get(host.mode, SCALE_BY_MODE["native"]).items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    os.makedirs(args.results, exist_ok=True)

    work = tempfile.mkdtemp(prefix="zorvo-bench-")
    # Copies, so that a rebuild in the shared build tree during the run
    # cannot change or remove the programs under measurement.
    for name in ("exe", "floor", "fixture"):
        copy = os.path.join(work, os.path.basename(getattr(args, name)))
        shutil.copy2(getattr(args, name), copy)
        setattr(args, name, copy)
    run = Run(args, host.describe(), placement)
    wine = timed_wine.TimedWine(args.prefix, work, args.exe, args.harness_fixture)
    try:
        wine.create_prefix(progress)
        measure(run, methods.Methods(wine, args, progress))
    except (methods.BenchmarkFailure, timed_wine.ServerGone, subprocess.CalledProcessError, OSError) as failure:
        print("benchmark failed: %s" % failure, file=sys.stderr)
        return 2
    finally:
        wine.remove_prefix()
        shutil.rmtree(work, ignore_errors=True)
    run.elapsed = time.perf_counter() - STARTED
    with open(os.path.join(args.results, "raw.json"), "w") as raw:
        json.dump(run.raw(), raw, indent=1)
    targets = run.targets()
    text = table.render(run, targets)
    sys.stdout.write(text)
    with open(os.path.join(args.results, "table.txt"), "w") as saved:
        saved.write(text)
    return verdict.exit_status(targets)


if __name__ == "__main__":
    sys.exit(main())
