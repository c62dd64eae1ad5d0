"""Programs run under Wine and measured: wall time, the process's CPU time,
its peak memory, its context switches and page faults, and the CPU time its
wineserver spent meanwhile.

The prefix and the environment are the end-to-end harness's
(e2e/harness/wine.py); only the wineserver differs: here it runs as this
script's child, kept up until stop(), so that its CPU time can be read and
its end told apart from a program's failure.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "e2e"))
from harness.wine import Wine  # noqa: E402  (the harness's prefix and environment)

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class ServerGone(Exception):
    """The wineserver ended or dropped a program during a run; the round can
    be measured again on a new server."""


class Measurement:
    """What one run of a program cost. Times in seconds, peak in KiB."""

    def __init__(self, wall, user, system, server, peak, switches, faults, status):
        self.wall, self.user, self.system, self.server = wall, user, system, server
        self.peak, self.switches, self.faults, self.status = peak, switches, faults, status

    @property
    def cpu(self):
        return self.user + self.system


def process_cpu_seconds(pid):
    """User and system time of a running process, from /proc."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


class TimedWine:
    """The harness's prefix, with a wineserver of this script's own."""

    def __init__(self, prefix, work, exe, harness_fixture):
        self.harness = Wine(prefix, exe, harness_fixture)
        self.env = self.harness.env
        self.work = work
        self.server = None

    def create_prefix(self, announce):
        self.harness.setup(announce)
        self.start_server()

    def remove_prefix(self):
        self.stop()
        self.harness.teardown()
        self.harness.close()

    def start_server(self):
        """Starts the prefix's wineserver anew, as this script's child."""
        self.stop()
        self.server_log = os.path.join(self.work, "wineserver.txt")
        with open(self.server_log, "ab") as log:
            self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        # The first runs after start-up load Wine's DLLs from disk.
        for _ in range(2):
            self.run(["cmd", "/c", "exit"])

    def stop(self):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.server is not None:
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
        """Runs `wine ARGUMENTS` to its end and measures it."""
        # The peak comes from /usr/bin/time, not from this process's wait4():
        # a child forked from Python starts with Python's resident set, and
        # its high-water mark keeps that across exec(). The CPU times do come
        # from wait4(): /usr/bin/time's own are negligible, and its figures
        # are rounded to 10 ms.
        peak_file = os.path.join(self.work, "peak.txt")
        out = open(stdout, "wb") if stdout else subprocess.DEVNULL
        errors = open(os.path.join(self.work, "stderr.txt"), "wb")
        try:
            server_before = process_cpu_seconds(self.server.pid) if self.server else 0.0
            start = time.perf_counter()
            child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file, "wine"] + arguments,
                                     env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=errors)
            _, wait_status, usage = os.wait4(child.pid, 0)
            wall = time.perf_counter() - start
            child.returncode = os.waitstatus_to_exitcode(wait_status)
            server = (process_cpu_seconds(self.server.pid) - server_before) if self.server else 0.0
        finally:
            errors.close()
            if stdout:
                out.close()
        self.check_server()
        with open(peak_file) as text:
            # The last line: the one before it says so when the program's status was not 0.
            peak = int(text.read().split()[-1])
        return Measurement(wall, usage.ru_utime, usage.ru_stime, server, peak,
                           usage.ru_nvcsw + usage.ru_nivcsw, usage.ru_minflt, child.returncode)
