#!/usr/bin/env python3
"""Benchmark of zorvo-recolour.exe under Wine.

Side by side with the floor (bench/floor.c: the same registry calls and
writes, nothing else) and with the two ways users recolour sessions without
the tool: one generated .reg file imported with `regedit /S` after listing the
sessions with `reg query`, and one `reg add` per value. Every timed run starts
from a freshly seeded registry; the two sides of a comparison alternate
(A, B, A, B, ...) so that drift in the machine's load hits both. Also measured:
peak memory of the process, start-up cost, scaling from N=1,000 to N=10,000,
the executable's size and imports, and (when given) the native
microbenchmark. The slow alternatives are timed at the smallest N only, so
that a whole run stays within about a quarter of an hour also where Wine's
32-bit side runs emulated. Prints one table, the targets, and a summary line.

    wine_bench.py --exe EXE --floor FLOOR --fixture FIXTURE --prefix DIR
                  [--native RUN_BENCHMARK] [--rounds R] [--sizes N1,N2]

Exit status: 0 when every target is met, 1 when one is missed, 2 when a
method did not do its job (wrong output or registry) or Wine failed.
Python standard library only.
"""

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "scripts"))
import i386_host  # noqa: E402  (how this host runs Wine's 32-bit side)

SCHEME = [
    "215,215,215", "255,255,255", "0,0,0", "85,85,85", "0,0,0",
    "255,255,0", "0,0,0", "85,85,85", "242,0,0", "255,0,0",
    "0,242,0", "0,255,0", "242,174,0", "255,174,0", "87,117,242",
    "87,117,255", "242,104,242", "255,104,255", "87,191,242",
    "87,191,255", "235,235,235", "255,255,255",
]
SESSIONS_KEY = "HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions"
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll", "ntdll.dll",
    "gdi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "version.dll",
    "comctl32.dll", "ws2_32.dll", "shlwapi.dll",
}

# Targets.
MAX_TIME_RATIO = 1.05
MAX_EXTRA_PEAK_KIB = 1024
MAX_SCALING_DEVIATION = 0.05
MAX_CORE_ALLOCS_PER_VALUE = 3
MAX_EXE_BYTES = 256 * 1024
MAX_SERVER_RESTARTS = 3

# Where Wine's 32-bit side runs emulated, every registry call of the tool and
# of the floor costs several times as much, and so does every Wine process:
# fewer rounds, a smaller large N and reg add on one session keep a whole
# run within about a quarter of an hour there too.
SCALE_BY_MODE = {
    "native": {"sizes": "1000,10000", "rounds": 5, "reg_add_sessions": 2},
    "emulated": {"sizes": "1000,5000", "rounds": 3, "reg_add_sessions": 1},
}


class BenchmarkFailure(Exception):
    pass


class ServerGone(BenchmarkFailure):
    """The wineserver ended or dropped a program during a run; the round can
    be measured again on a new server."""


STARTED = time.perf_counter()


def progress(text):
    print("  [%4.0f s] %s" % (time.perf_counter() - STARTED, text), file=sys.stderr)


def session_name(index):
    """The names bench/fixture.c seeds, in the registry's enumeration order."""
    return "host-%05d.example.org" % index


def expected_output(count):
    return b"".join(session_name(i).encode() + b"\r\n" for i in range(count))


class Wine:
    def __init__(self, prefix, work):
        self.prefix = prefix
        self.work = work
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def create_prefix(self):
        if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
            print("Creating the Wine prefix %s ..." % self.prefix, file=sys.stderr)
            subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.start_server()

    def start_server(self):
        """Starts the prefix's wineserver, kept up until stop(), as a child of
        this script: when it ends early, run() can tell."""
        self.stop()
        self.server_log = os.path.join(self.work, "wineserver.txt")
        with open(self.server_log, "ab") as log:
            self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        # The first runs after start-up load Wine's DLLs from disk.
        for _ in range(2):
            self.run(["cmd", "/c", "exit"])

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if getattr(self, "server", None) is not None:
            self.server.wait()
            self.server = None

    def check_server(self):
        """Raises ServerGone when the wineserver has ended or dropped the
        last program's connection (seen here a few times under heavy load)."""
        with open(os.path.join(self.work, "stderr.txt"), "rb") as errors:
            for line in errors.read().splitlines():
                if line.startswith(b"wine client error"):
                    raise ServerGone(line.decode(errors="replace"))
        if self.server is not None and self.server.poll() is not None:
            with open(self.server_log, "rb") as log:
                said = log.read().decode(errors="replace").strip().splitlines()[-1:]
            raise ServerGone("the wineserver ended with status %d%s" %
                             (self.server.returncode, (": " + said[0]) if said else ""))

    def run(self, arguments, stdout=None):
        """Runs `wine ARGUMENTS`; returns (seconds, peak resident KiB, status)."""
        # The peak comes from /usr/bin/time, not from this process's wait4():
        # a child forked from Python starts with Python's resident set, and
        # its high-water mark keeps that across exec().
        peak_file = os.path.join(self.work, "peak.txt")
        out = open(stdout, "wb") if stdout else subprocess.DEVNULL
        errors = open(os.path.join(self.work, "stderr.txt"), "wb")
        try:
            start = time.perf_counter()
            status = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", peak_file, "wine"] + arguments,
                                     env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=errors)
            seconds = time.perf_counter() - start
        finally:
            errors.close()
            if stdout:
                out.close()
        self.check_server()
        with open(peak_file) as text:
            # The last line: the one before it says so when the program's status was not 0.
            peak = int(text.read().split()[-1])
        return seconds, peak, status


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="zorvo-bench-")
        self.wine = Wine(args.prefix, self.work)
        self.out = os.path.join(self.work, "out.txt")
        self.server_restarts = []
        # Copies, so that a rebuild in the shared build tree during the run
        # cannot change or remove the programs under measurement.
        for name in ("exe", "floor", "fixture"):
            copy = os.path.join(self.work, os.path.basename(getattr(args, name)))
            shutil.copy2(getattr(args, name), copy)
            setattr(args, name, copy)

    # ---- the fixture -----------------------------------------------------

    def fixture(self, *arguments):
        _, _, status = self.wine.run([self.args.fixture] + [str(a) for a in arguments],
                                     stdout=os.path.join(self.work, "fixture.txt"))
        return status

    def seed(self, count):
        if self.fixture("seed", count) != 0:
            raise BenchmarkFailure("seeding %d sessions failed" % count)

    def check(self, method, count, first=None):
        arguments = ["check", count] + ([first] if first is not None else [])
        if self.fixture(*arguments) != 0:
            with open(os.path.join(self.work, "fixture.txt"), "rb") as report:
                raise BenchmarkFailure("%s left the registry wrong: %s" %
                                       (method, report.read().decode(errors="replace").strip()))

    # ---- the methods, each from a seeded registry -------------------------

    def run_program(self, name, exe, count):
        seconds, peak, status = self.wine.run([exe], stdout=self.out)
        with open(self.out, "rb") as output:
            produced = output.read()
        expected = expected_output(count)
        if status != 0 or produced != expected:
            kept = os.path.join(self.args.results, "failed-%s-output.txt" % name)
            shutil.copy(self.out, kept)
            shutil.copy(os.path.join(self.work, "stderr.txt"), kept.replace("output", "stderr"))
            raise BenchmarkFailure("%s at N=%d: exit status %d, %d bytes of output where %d were due (kept in %s, standard error beside it)"
                                   % (name, count, status, len(produced), len(expected), kept))
        return seconds, peak

    def tool(self, count):
        return self.run_program("tool", self.args.exe, count)

    def floor(self, count):
        return self.run_program("floor", self.args.floor, count)

    def regedit(self, count):
        """reg query for the list, a .reg file of every value, regedit /S: timed together."""
        listing = os.path.join(self.work, "sessions.txt")
        registry_file = os.path.join(self.work, "recolour.reg")
        start = time.perf_counter()
        _, peak_query, status = self.wine.run(["reg", "query", SESSIONS_KEY], stdout=listing)
        if status != 0:
            raise BenchmarkFailure("reg query failed: %d" % status)
        with open(listing, "rb") as text:
            keys = [line for line in text.read().split(b"\r\n")
                    if line.startswith(SESSIONS_KEY.encode() + b"\\")]
        values = b"".join(b'"Colour%d"="%s"\r\n' % (i, colour.encode())
                          for i, colour in enumerate(SCHEME))
        with open(registry_file, "wb") as out:
            out.write(b"REGEDIT4\r\n\r\n")
            out.write(b"".join(b"[" + key + b"]\r\n" + values + b"\r\n" for key in keys))
        _, peak_import, status = self.wine.run(["regedit", "/S", registry_file])
        seconds = time.perf_counter() - start
        if status != 0 or len(keys) != count:
            raise BenchmarkFailure("regedit import: status %d, %d sessions listed" % (status, len(keys)))
        return seconds, max(peak_query, peak_import)

    def reg_add(self, sessions):
        """One `reg add` per value for the first `sessions` sessions."""
        start = time.perf_counter()
        peak = 0
        for index in range(sessions):
            key = SESSIONS_KEY + "\\" + session_name(index)
            for colour_index, colour in enumerate(SCHEME):
                _, process_peak, status = self.wine.run(
                    ["reg", "add", key, "/v", "Colour%d" % colour_index, "/t", "REG_SZ",
                     "/d", colour, "/f"])
                if status != 0:
                    raise BenchmarkFailure("reg add failed: %d" % status)
                peak = max(peak, process_peak)
        return time.perf_counter() - start, peak

    # ---- comparisons ------------------------------------------------------

    def compare(self, count, method_b, rounds, label, check_b):
        """Rounds of seed + tool, seed + method B; the first round of each is checked."""
        results = {"tool": [], "other": [], "tool_peak": [], "other_peak": []}
        round_index = 0
        while round_index < rounds:
            progress("N=%d %s: round %d of %d" % (count, label, round_index + 1, rounds))
            try:
                self.measure_round(count, method_b, round_index, check_b, results)
            except ServerGone as gone:
                # Its registry is on disk; every round seeds its own anyway.
                self.server_restarts.append("N=%d %s round %d: %s" % (count, label, round_index + 1, gone))
                progress("%s; starting it again and repeating the round" % gone)
                if len(self.server_restarts) > MAX_SERVER_RESTARTS:
                    raise
                self.wine.start_server()
                continue
            round_index += 1
        return results

    def measure_round(self, count, method_b, round_index, check_b, results):
        """One seed + tool, seed + method B; its numbers count only when both ran."""
        self.seed(count)
        tool_seconds, tool_peak = self.tool(count)
        if round_index == 0:
            self.check("the tool", count)
        self.seed(count)
        other_seconds, other_peak = method_b()
        if round_index == 0:
            check_b()
        results["tool"].append(tool_seconds)
        results["tool_peak"].append(tool_peak)
        results["other"].append(other_seconds)
        results["other_peak"].append(other_peak)

    def startup(self, rounds):
        results = {"tool": [], "other": []}
        for _ in range(rounds):
            if self.fixture("clear") != 0:
                raise BenchmarkFailure("clearing the registry failed")
            for name, exe in (("tool", self.args.exe), ("other", self.args.floor)):
                seconds, _ = self.run_program(name, exe, 0)
                results[name].append(seconds)
        return results

    def native(self):
        if not self.args.native:
            return None
        json_path = os.path.join(self.work, "native.json")
        log_path = os.path.join(self.work, "native.txt")
        progress("native microbenchmark, %d sessions" % self.args.native_sessions)
        with open(log_path, "wb") as log:
            subprocess.run([self.args.native, "--sessions=%d" % self.args.native_sessions,
                            "--benchmark_out=" + json_path, "--benchmark_out_format=json"],
                           stdout=log, stderr=subprocess.STDOUT, check=True)
        with open(json_path) as text:
            benchmarks = json.load(text)["benchmarks"]
        # Keyed by name and session count: "WholeRun/1000", "OutputChannel/10000";
        # of repetitions, the fastest.
        found = {}
        for entry in benchmarks:
            if entry.get("error_occurred"):
                raise BenchmarkFailure("native %s: %s" % (entry["name"], entry.get("error_message")))
            if entry.get("run_type", "iteration") != "iteration":
                continue
            key = "/".join(entry["name"].split("/")[:2])
            if key not in found or entry["cpu_time"] < found[key]["cpu_time"]:
                found[key] = entry
        shutil.copy(log_path, os.path.join(self.args.results, "native.txt"))
        return found


# ---- the table --------------------------------------------------------------

def median(values):
    return statistics.median(values)


def ratios(results):
    return [a / b for a, b in zip(results["tool"], results["other"])]


def seconds_text(seconds):
    if seconds >= 3600:
        return "%.1f h" % (seconds / 3600)
    if seconds >= 1:
        return "%.2f s" % seconds
    return "%.0f ms" % (seconds * 1000)


def ratio_text(values):
    def one(value):
        return "%.4f" % value if value < 0.01 else "%.3f" % value
    return "%-8s (%s .. %s)" % (one(median(values)), one(min(values)), one(max(values)))


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--prefix", required=True, help="the scratch Wine prefix (created when missing)")
    parser.add_argument("--native", help="the native run_benchmark program")
    parser.add_argument("--native-sessions", type=int, default=100000)
    parser.add_argument("--sizes", help="session counts, smallest first (default: by mode, see SCALE_BY_MODE)")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--reg-add-sessions", type=int)
    parser.add_argument("--reg-add-rounds", type=int, default=3)
    parser.add_argument("--results", default=".", help="folder for the table and the raw numbers")
    args = parser.parse_args()
    host = i386_host.run_probe()
    args.host = host.describe()
    progress("Wine's 32-bit side runs " + args.host)
    for name, value in SCALE_BY_MODE.get(host.mode, SCALE_BY_MODE["native"]).items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    sizes = [int(size) for size in args.sizes.split(",")]
    os.makedirs(args.results, exist_ok=True)

    bench = Bench(args)
    started = time.perf_counter()
    per_size = {}
    try:
        bench.wine.create_prefix()
        for count in sizes:
            # The small count's runs are short and the noisiest, and cheap:
            # they get three times the rounds against the floor.
            floor_rounds = args.rounds * (3 if count == sizes[0] and len(sizes) > 1 else 1)
            floor_pair = bench.compare(count, lambda: bench.floor(count), floor_rounds, "tool vs floor",
                                       lambda: bench.check("the floor", count))
            regedit_pair = reg_add_pair = None
            # The alternatives are there to show the order of magnitude, and
            # they are slow: timed at the smallest N only.
            if count == sizes[0]:
                regedit_pair = bench.compare(count, lambda: bench.regedit(count), args.rounds,
                                             "tool vs regedit", lambda: bench.check("regedit", count))
                reg_add_pair = bench.compare(count, lambda: bench.reg_add(args.reg_add_sessions),
                                             args.reg_add_rounds, "tool vs reg add",
                                             lambda: bench.check("reg add", count, args.reg_add_sessions))
            per_size[count] = (floor_pair, regedit_pair, reg_add_pair)
        progress("start-up")
        startup = bench.startup(2 * args.rounds)
        native = bench.native()
    except (BenchmarkFailure, subprocess.CalledProcessError, OSError) as failure:
        print("benchmark failed: %s" % failure, file=sys.stderr)
        bench.wine.stop()
        shutil.rmtree(bench.work, ignore_errors=True)
        return 2
    bench.wine.stop()
    with open(os.path.join(args.results, "raw.json"), "w") as raw:
        json.dump({"sizes": {str(count): {"floor": pairs[0], "regedit": pairs[1], "reg_add": pairs[2]}
                             for count, pairs in per_size.items()},
                   "startup": startup, "native": native, "server_restarts": bench.server_restarts},
                  raw, indent=1)
    try:
        return report(args, sizes, per_size, startup, native, bench.server_restarts,
                      time.perf_counter() - started)
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)


def report(args, sizes, per_size, startup, native, server_restarts, elapsed):
    """Prints the table, the targets and the summary line; returns the exit status."""

    lines = []
    say = lines.append
    say("zorvo-recolour benchmark: %s, %d CPUs (%s); medians of %d interleaved rounds (against the floor"
        " at N=%s: %d; reg add: %d; start-up: %d)" % (
            wine_version(), os.cpu_count(), cpu_name(), args.rounds, "{:,}".format(sizes[0]),
            len(per_size[sizes[0]][0]["tool"]), args.reg_add_rounds, 2 * args.rounds))
    say("Wine's 32-bit side, both sides of every comparison: %s; regedit and reg add timed at N=%s only" % (
        args.host, "{:,}".format(sizes[0])))
    for count in sizes:
        floor_pair, regedit_pair, reg_add_pair = per_size[count]
        say("")
        say("N = {:,} sessions ({:,} values)".format(count, count * len(SCHEME)))
        say("  %-34s %-10s %-10s %s" % ("tool against", "tool", "other", "tool/other (min .. max)"))
        say("  %-34s %-10s %-10s %s" % ("floor.exe", seconds_text(median(floor_pair["tool"])),
                                        seconds_text(median(floor_pair["other"])), ratio_text(ratios(floor_pair))))
        if regedit_pair:
            say("  %-34s %-10s %-10s %s" % ("reg query + one .reg, regedit /S",
                                            seconds_text(median(regedit_pair["tool"])),
                                            seconds_text(median(regedit_pair["other"])),
                                            ratio_text(ratios(regedit_pair))))
        if reg_add_pair:
            k = args.reg_add_sessions
            extrapolated = {"tool": reg_add_pair["tool"],
                            "other": [seconds / k * count for seconds in reg_add_pair["other"]]}
            say("  %-34s %-10s %-10s %s" % ("reg add per value, extrapolated",
                                            seconds_text(median(reg_add_pair["tool"])),
                                            seconds_text(median(extrapolated["other"])),
                                            ratio_text(ratios(extrapolated))))
            say("  %-34s %-10s %-10s" % ("  per session (reg add: %d timed)" % k,
                                         "%.2f ms" % (median(reg_add_pair["tool"]) / count * 1000),
                                         "%.0f ms" % (median(reg_add_pair["other"]) / k * 1000)))
        tool_peak, floor_peak = median(floor_pair["tool_peak"]), median(floor_pair["other_peak"])
        say("  %-34s %-10s %-10s %+.2f MiB" % ("peak memory against the floor (VmHWM)",
                                               "%.1f MiB" % (tool_peak / 1024), "%.1f MiB" % (floor_peak / 1024),
                                               (tool_peak - floor_peak) / 1024))

    say("")
    startup_tool, startup_floor = median(startup["tool"]), median(startup["other"])
    say("  %-34s tool %s, floor %s, %+.0f ms" % ("start-up (no sessions key)", seconds_text(startup_tool),
                                                  seconds_text(startup_floor),
                                                  (startup_tool - startup_floor) * 1000))
    scaling = None
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        tool_scaling = median(per_size[large][0]["tool"]) / median(per_size[small][0]["tool"])
        floor_scaling = median(per_size[large][0]["other"]) / median(per_size[small][0]["other"])
        # The tool's scaling over the floor's, taken from the paired ratios:
        # each pair ran back to back, so drift in the machine's load between
        # rounds, which the two medians of each side do not cancel, drops out.
        scaling = median(ratios(per_size[large][0])) / median(ratios(per_size[small][0]))
        say("  %-34s tool %.2f, floor %.2f; tool/floor from the pairs %.3f" % (
            "scaling t({:,})/t({:,})".format(large, small), tool_scaling, floor_scaling, scaling))
    for restart in server_restarts:
        say("  %-34s %s" % ("round repeated on a new wineserver", restart))
    exe_bytes = os.path.getsize(args.exe)
    imports = pe_imports(args.exe)
    foreign = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS]
    say("  %-34s %s bytes (%.1f KiB), imports %s" % ("executable", "{:,}".format(exe_bytes), exe_bytes / 1024,
                                                    " ".join(imports)))
    core_allocs = channel_allocs = None
    if native:
        count = args.native_sessions
        whole, channel = native["WholeRun/%d" % count], native["OutputChannel/%d" % count]
        small_tool, small_floor = native["WholeRun/1000"], native["FloorRun/1000"]

        def ns_per_value(entry):  # CPU time, in milliseconds per run
            return entry["cpu_time"] * 1e6 / entry["values"]

        core_allocs = whole["core_allocs_per_value"]
        channel_allocs = channel["channel_allocs_per_line"]
        if count != 1000:
            say("  %-34s %.0f ns/value with the stand-in (floor %.0f)" % (
                "native run, {:,} sessions".format(count), ns_per_value(whole),
                ns_per_value(native["FloorRun/%d" % count])))
        say("  %-34s %.0f ns/value with the stand-in; the core's own (tool - floor, CPU) %.0f" % (
            "native run, 1,000 sessions", ns_per_value(small_tool),
            ns_per_value(small_tool) - ns_per_value(small_floor)))
        say("  %-34s %.3f per value in the core (%.3f in all - %.3f the stand-in's); channel %.3f per line" % (
            "native heap allocations", core_allocs, whole["allocs_per_value"],
            whole["standin_allocs_per_value"], channel_allocs))

    large = sizes[-1]
    floor_ratio = median(ratios(per_size[large][0]))
    extra_peak = median(per_size[large][0]["tool_peak"]) - median(per_size[large][0]["other_peak"])
    targets = [
        ("tool/floor time at N={:,} <= {}".format(large, MAX_TIME_RATIO), floor_ratio <= MAX_TIME_RATIO,
         "%.3f" % floor_ratio),
        ("peak memory within 1 MiB of the floor's", extra_peak <= MAX_EXTRA_PEAK_KIB,
         "%+.2f MiB" % (extra_peak / 1024)),
    ]
    if scaling is not None:
        targets.append(("scaling within 5% of the floor's", abs(scaling - 1) <= MAX_SCALING_DEVIATION,
                        "%+.1f%%" % ((scaling - 1) * 100)))
    if native:
        targets.append(("<= 3 heap allocations per value in the core", core_allocs <= MAX_CORE_ALLOCS_PER_VALUE,
                        "%.3f" % core_allocs))
        targets.append(("no heap allocations in the output channel", channel_allocs == 0,
                        "%.3f per line" % channel_allocs))
    targets.append(("executable <= 256 KiB", exe_bytes <= MAX_EXE_BYTES, "%.1f KiB" % (exe_bytes / 1024)))
    targets.append(("imports only system DLLs", not foreign, " ".join(foreign) or "yes"))

    say("")
    say("Targets")
    for name, met, measured in targets:
        say("  [%s] %-46s %s" % ("met " if met else "MISS", name, measured))
    missed = [name for name, met, _ in targets if not met]
    say("")
    summary = "SUMMARY: %d of %d targets met; tool/floor %.3f at N=%s, %+.2f MiB peak; %.0f s in all; Wine's 32-bit side %s" % (
        len(targets) - len(missed), len(targets), floor_ratio, "{:,}".format(large), extra_peak / 1024, elapsed,
        args.host)
    if missed:
        summary += "; missed: " + "; ".join(missed)
    say(summary)

    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(os.path.join(args.results, "table.txt"), "w") as table:
        table.write(text)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
