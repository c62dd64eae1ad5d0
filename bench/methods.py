"""The methods under comparison, each run from a freshly seeded registry and
checked, and the interleaved rounds that pair the tool with each of them."""

import json
import os
import shutil
import subprocess
import time

from harness.registry import SCHEME, sessions_path
from timed_wine import Measurement, ServerGone

MAX_SERVER_RESTARTS = 3
SESSIONS_KEY = "HKEY_CURRENT_USER\\" + sessions_path().decode()


class BenchmarkFailure(Exception):
    pass


def session_name(index):
    """The names bench/fixture.c seeds, in the registry's enumeration order."""
    return "host-%05d.example.org" % index


def expected_output(count):
    return b"".join(session_name(i).encode() + b"\r\n" for i in range(count))


def combined(measurements, wall):
    """Several processes that together make one method's run."""
    return Measurement(wall, sum(m.user for m in measurements), sum(m.system for m in measurements),
                       sum(m.server for m in measurements), max(m.peak for m in measurements),
                       sum(m.switches for m in measurements), sum(m.faults for m in measurements),
                       max(m.status for m in measurements))


class Comparison:
    """The rounds of the tool against one other method at one session count;
    round i holds tool[i] and other[i]."""

    def __init__(self, count, label, run_other, check_other):
        self.count, self.label = count, label
        self.run_other, self.check_other = run_other, check_other
        self.tool, self.other = [], []

    def walls(self):
        return {"tool": [m.wall for m in self.tool], "other": [m.wall for m in self.other]}

    def raw(self):
        return {"tool": [vars(m) for m in self.tool], "other": [vars(m) for m in self.other]}


class Methods:
    def __init__(self, wine, args, progress):
        self.wine, self.args, self.progress = wine, args, progress
        self.work = wine.work
        self.out = os.path.join(self.work, "out.txt")
        self.server_restarts = []

    # ---- the fixture -----------------------------------------------------

    def fixture(self, *arguments):
        return self.wine.run([self.args.fixture] + [str(a) for a in arguments],
                             stdout=os.path.join(self.work, "fixture.txt")).status

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
        measured = self.wine.run([exe], stdout=self.out)
        with open(self.out, "rb") as output:
            produced = output.read()
        expected = expected_output(count)
        if measured.status != 0 or produced != expected:
            kept = os.path.join(self.args.results, "failed-%s-output.txt" % name)
            shutil.copy(self.out, kept)
            shutil.copy(os.path.join(self.work, "stderr.txt"), kept.replace("output", "stderr"))
            raise BenchmarkFailure("%s at N=%d: exit status %d, %d bytes of output where %d were due"
                                   " (kept in %s, standard error beside it)"
                                   % (name, count, measured.status, len(produced), len(expected), kept))
        return measured

    def tool(self, count):
        return self.run_program("tool", self.args.exe, count)

    def floor(self, count):
        return self.run_program("floor", self.args.floor, count)

    def regedit(self, count):
        """reg query for the list, a .reg file of every value, regedit /S: timed together."""
        listing = os.path.join(self.work, "sessions.txt")
        registry_file = os.path.join(self.work, "recolour.reg")
        start = time.perf_counter()
        query = self.wine.run(["reg", "query", SESSIONS_KEY], stdout=listing)
        if query.status != 0:
            raise BenchmarkFailure("reg query failed: %d" % query.status)
        with open(listing, "rb") as text:
            keys = [line for line in text.read().split(b"\r\n")
                    if line.startswith(SESSIONS_KEY.encode() + b"\\")]
        values = b"".join(b'"Colour%d"="%s"\r\n' % (i, colour) for i, colour in enumerate(SCHEME))
        with open(registry_file, "wb") as out:
            out.write(b"REGEDIT4\r\n\r\n")
            out.write(b"".join(b"[" + key + b"]\r\n" + values + b"\r\n" for key in keys))
        imported = self.wine.run(["regedit", "/S", registry_file])
        wall = time.perf_counter() - start
        if imported.status != 0 or len(keys) != count:
            raise BenchmarkFailure("regedit import: status %d, %d sessions listed" % (imported.status, len(keys)))
        return combined([query, imported], wall)

    def reg_add(self, sessions):
        """One `reg add` per value for the first `sessions` sessions."""
        start = time.perf_counter()
        runs = []
        for index in range(sessions):
            key = SESSIONS_KEY + "\\" + session_name(index)
            for colour_index, colour in enumerate(SCHEME):
                runs.append(self.wine.run(["reg", "add", key, "/v", "Colour%d" % colour_index, "/t", "REG_SZ",
                                           "/d", colour.decode(), "/f"]))
                if runs[-1].status != 0:
                    raise BenchmarkFailure("reg add failed: %d" % runs[-1].status)
        return combined(runs, time.perf_counter() - start)

    # ---- comparisons ------------------------------------------------------

    def comparison(self, count, kind):
        """A comparison of the tool with the floor, regedit or reg add, with no rounds yet."""
        if kind == "floor":
            return Comparison(count, "tool vs floor", lambda: self.floor(count),
                              lambda: self.check("the floor", count))
        if kind == "regedit":
            return Comparison(count, "tool vs regedit", lambda: self.regedit(count),
                              lambda: self.check("regedit", count))
        sessions = self.args.reg_add_sessions
        return Comparison(count, "tool vs reg add", lambda: self.reg_add(sessions),
                          lambda: self.check("reg add", count, sessions))

    def add_rounds(self, comparison, rounds):
        """Measures `rounds` more rounds; a round lost with its wineserver is
        measured again on a new one."""
        target = len(comparison.tool) + rounds
        while len(comparison.tool) < target:
            number = len(comparison.tool) + 1
            self.progress("N=%d %s: round %d" % (comparison.count, comparison.label, number))
            try:
                self.measure_round(comparison)
            except ServerGone as gone:
                # Its registry is on disk; every round seeds its own anyway.
                self.server_restarts.append("N=%d %s round %d: %s" % (comparison.count, comparison.label,
                                                                      number, gone))
                self.progress("%s; starting it again and repeating the round" % gone)
                if len(self.server_restarts) > MAX_SERVER_RESTARTS:
                    raise
                self.wine.start_server()

    def measure_round(self, comparison):
        """Seed + tool and seed + the other method, the first of the two
        alternating from round to round so that neither side always runs
        second; its numbers count only when both ran."""
        first_round = not comparison.tool
        tool_first = len(comparison.tool) % 2 == 0
        measured = {}
        for side in (("tool", "other") if tool_first else ("other", "tool")):
            self.seed(comparison.count)
            if side == "tool":
                measured[side] = self.tool(comparison.count)
                if first_round:
                    self.check("the tool", comparison.count)
            else:
                measured[side] = comparison.run_other()
                if first_round:
                    comparison.check_other()
        comparison.tool.append(measured["tool"])
        comparison.other.append(measured["other"])

    def startup(self, rounds):
        """Runs with no sessions key: the tool's and the floor's start-up cost."""
        results = {"tool": [], "other": []}
        for _ in range(rounds):
            if self.fixture("clear") != 0:
                raise BenchmarkFailure("clearing the registry failed")
            for name, exe in (("tool", self.args.exe), ("other", self.args.floor)):
                results[name].append(self.run_program(name, exe, 0).wall)
        return results

    def native(self):
        """The native microbenchmark: per name ("WholeRun/1000"), the fastest repetition."""
        if not self.args.native:
            return None
        json_path = os.path.join(self.work, "native.json")
        log_path = os.path.join(self.work, "native.txt")
        self.progress("native microbenchmark, %d sessions" % self.args.native_sessions)
        with open(log_path, "wb") as log:
            subprocess.run([self.args.native, "--sessions=%d" % self.args.native_sessions,
                            "--benchmark_out=" + json_path, "--benchmark_out_format=json"],
                           stdout=log, stderr=subprocess.STDOUT, check=True)
        with open(json_path) as text:
            benchmarks = json.load(text)["benchmarks"]
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
