#!/usr/bin/env python3
"""End-to-end tests: the real zorvo-recolour.exe under Wine, against Wine's
registry service, with every byte of standard output, standard error and the
exit status compared exactly.

One Wine prefix serves a whole test run.  Its wineserver is kept up for the
run (registry ACLs live only in the running server), every case resets
HKCU\\Software\\Tessaloquin first, and every case can be run on its own:

    wine_e2e.py --exe EXE --fixture FIXTURE --prefix DIR --setup
    wine_e2e.py --exe EXE --fixture FIXTURE --prefix DIR --case NAME
    wine_e2e.py --exe EXE --fixture FIXTURE --prefix DIR --teardown
    wine_e2e.py --list
    wine_e2e.py --exe EXE --fixture FIXTURE --prefix DIR --all

FIXTURE is the program built from fixture.c next to this file
(--build-fixture builds it).  Python standard library only.
"""

import argparse
import copy
import difflib
import fcntl
import os
import pty
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "scripts"))
import i386_host  # noqa: E402  (how this host runs Wine's 32-bit side)

# ---- what the tool is built to do -----------------------------------------

SCHEME = [
    b"215,215,215", b"255,255,255", b"0,0,0", b"85,85,85", b"0,0,0",
    b"255,255,0", b"0,0,0", b"85,85,85", b"242,0,0", b"255,0,0",
    b"0,242,0", b"0,255,0", b"242,174,0", b"255,174,0", b"87,117,242",
    b"87,117,255", b"242,104,242", b"255,104,255", b"87,191,242",
    b"87,191,255", b"235,235,235", b"255,255,255",
]
REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 3, 4, 7

# Paths in the registry model are tuples of names below this key.
TOOL_ROOT = b"Software\\Tessaloquin"
SESSIONS = (b"Zorvo", b"Sessions")
KEY_TEXT = b"HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions\\"
BUFFER = 128
CRLF = b"\r\n"
# Wine's ANSI open and create calls refuse paths of more than 260
# characters (234); the tool's path to a session is the sessions key's path
# (35 characters once its leading backslash is removed), a backslash and the
# name, so the longest name that it can select is 224 characters.
LONGEST_SELECTABLE_NAME = 260 - len(b"Software\\Tessaloquin\\Zorvo\\Sessions\\")

# What Wine's console puts around the bytes of one write on a pty.
HIDE_CURSOR = b"\x1b[?25l"
SHOW_CURSOR = b"\x1b[?25h"

RUN_TIMEOUT = 120
WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    # Wine takes its code pages (ANSI 1252, OEM 437) and the encoding of
    # Unix file names from the locale.
    "LC_ALL": "C.UTF-8",
    "LANG": "C.UTF-8",
}
PREFIX_MARK = ".zorvo-e2e-prefix"


def session(name):
    return SESSIONS + (name,)


def failure_line(name, index):
    return (b"Could not write value " + SCHEME[index] + b" to registry key " +
            KEY_TEXT + name + b"\\Colour" + str(index).encode())


class HarnessError(Exception):
    """The harness itself could not do its part (not a fault of the tool)."""


# ---- escaping for the fixture's scripts and for diffs ----------------------

SAFE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.,_-")


def esc(data):
    if not data:
        return "\\-"
    return "".join(chr(b) if b in SAFE else "\\x%02X" % b for b in data)


def unesc(token):
    if token == "\\-":
        return b""
    out = bytearray()
    i = 0
    while i < len(token):
        if token.startswith("\\x", i):
            out.append(int(token[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(ord(token[i]))
            i += 1
    return bytes(out)


def show(data):
    """Bytes as readable text: printable ASCII kept, everything else escaped."""
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        elif b == 0x0D:
            out.append("\\r")
        elif b == 0x0A:
            out.append("\\n")
        elif b == 0x09:
            out.append("\\t")
        else:
            out.append("\\x%02X" % b)
    return "".join(out)


def byte_lines(data):
    return [show(line) for line in data.splitlines(keepends=True)] or ["(nothing)"]


def unified(expected_lines, actual_lines, limit=120):
    diff = list(difflib.unified_diff(expected_lines, actual_lines, "expected",
                                     "actual", lineterm="", n=2))
    if len(diff) > limit:
        diff = diff[:limit] + ["... (%d more diff lines)" % (len(diff) - limit)]
    return "\n".join(diff)


# ---- registry model ---------------------------------------------------------

class Tree:
    """A dumped subtree: key paths in enumeration order, and their values."""

    def __init__(self, absent=False):
        self.absent = absent
        self.order = []
        self.values = {}

    def copy(self):
        return copy.deepcopy(self)

    def keys_below(self, path):
        n = len(path)
        return [p for p in self.order if len(p) == n + 1 and p[:n] == path]

    def recolour(self, path):
        """The values the tool writes into one session's key."""
        if path not in self.values:
            self.order.append(path)
            self.values[path] = {}
        self.values[path].update(colour_values())

    def render(self):
        if self.absent:
            return ["(key absent)"]
        lines = []
        for path in sorted(self.values):
            lines.append("key " + "\\".join(show(p) for p in path))
            for name in sorted(self.values[path]):
                kind, data, stored = self.values[path][name]
                if kind == REG_SZ:
                    shown = '"%s"' % show(data)
                else:
                    shown = data.hex() or "-"
                lines.append("    value %s type=%d size=%d %s (stored: %d bytes %s)" %
                             (show(name) or "(default)", kind, len(data), shown,
                              len(stored), stored.hex() or "-"))
        return lines

    def __eq__(self, other):
        return (self.absent, self.values) == (other.absent, other.values)


def colour_values(first=0):
    """The values the tool writes, from colour index FIRST on."""
    return {b"Colour%d" % i: (REG_SZ, text + b"\0", (text + b"\0").decode("ascii")
                              .encode("utf-16-le"))
            for i, text in enumerate(SCHEME) if i >= first}


def parse_dump(text):
    tree = Tree()
    lines = text.decode("ascii").splitlines()
    if lines == ["absent"]:
        return Tree(absent=True)
    current = None
    for line in lines:
        fields = line.split(" ")
        if fields[0] == "K":
            depth = int(fields[1])
            current = tuple(unesc(f) for f in fields[2:2 + depth])
            tree.order.append(current)
            tree.values[current] = {}
        elif fields[0] == "V" and current is not None and len(fields) == 7:
            name, kind = unesc(fields[1]), int(fields[2])
            data, stored = [b"" if hex_data == "-" else bytes.fromhex(hex_data)
                            for hex_data in (fields[4], fields[6])]
            if (len(data), len(stored)) != (int(fields[3]), int(fields[5])):
                raise HarnessError("dump: sizes do not match the data: %r" % line)
            tree.values[current][name] = (kind, data, stored)
        else:
            raise HarnessError("dump: unexpected line %r" % line)
    return tree


class Seed:
    """A fixture script that resets the tool's tree and builds a new one."""

    def __init__(self):
        self.lines = ["reset"]

    @staticmethod
    def path(path):
        return esc(b"\\".join((TOOL_ROOT,) + tuple(path)))

    def key(self, path):
        self.lines.append("key " + self.path(path))
        return self

    def value(self, path, name, kind, data):
        self.lines.append("set %s %s %d %s" % (self.path(path), esc(name), kind, esc(data)))
        return self

    def text(self, path, name, text):
        return self.value(path, name, REG_SZ, text + b"\0")

    def deny(self, path):
        self.lines.append("deny " + self.path(path))
        return self

    def script(self):
        return ("\n".join(self.lines) + "\n").encode("ascii")


# ---- the channel's writes, as the tool is built to make them --------------

def channel_writes(lines, flush_at_line_end):
    """The platform writes that the 128-byte standard-output buffer makes for
    these lines: full blocks whenever it fills, and on a console the rest of
    every line at its end; whatever is left goes out at exit."""
    writes, pending = [], b""

    def append(data):
        nonlocal pending
        while BUFFER - len(pending) <= len(data):
            room = BUFFER - len(pending)
            writes.append(pending + data[:room])
            pending, data = b"", data[room:]
        pending += data

    for line in lines:
        append(line)
        append(CRLF)
        if flush_at_line_end and pending:
            writes.append(pending)
            pending = b""
    if pending:
        writes.append(pending)
    return writes


def console_rendering(writes):
    """What reaches a raw pty when Wine's console shows these writes: each
    write that puts characters on the screen between a hide-cursor and a
    show-cursor sequence; a write of line ends only (a lone LF, or CR LF)
    as one bare CR LF per LF; and bytes above 127 as the console's code
    page 437 characters, sent on in UTF-8."""
    out = b""
    for data in writes:
        if not data.strip(b"\r\n"):
            out += CRLF * data.count(b"\n")
        else:
            out += HIDE_CURSOR + data.decode("cp437").encode("utf-8") + SHOW_CURSOR
    return out


# ---- Wine ----------------------------------------------------------------

class Result:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err


class Spawned:
    """A running program whose standard output (when a pipe) and standard
    error are read on threads, so that neither pipe fills while the case
    does other things.  A process that Wine starts on the side (a service)
    may inherit the pipes and hold them open, so reading stops a moment
    after the program's own exit rather than at end of file."""

    def __init__(self, argv, env, cwd, stdout=subprocess.PIPE, input=None):
        self.argv = argv
        self.proc = subprocess.Popen(argv, env=env, cwd=cwd,
                                     stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
                                     stdout=stdout, stderr=subprocess.PIPE)
        self.pid = self.proc.pid
        self.changed = threading.Condition()
        self.data = {"out": b"", "err": b""}
        self.readers = []
        for key, stream in (("out", self.proc.stdout), ("err", self.proc.stderr)):
            if stream is not None:
                reader = threading.Thread(target=self._read, args=(key, stream.fileno()),
                                          daemon=True)
                reader.start()
                self.readers.append(reader)
        if input is not None:
            self.proc.stdin.write(input)
            self.proc.stdin.close()

    def _read(self, key, fd):
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            with self.changed:
                if not chunk:
                    self.changed.notify_all()
                    return
                self.data[key] += chunk
                self.changed.notify_all()

    def wait_for(self, marker, timeout=RUN_TIMEOUT):
        """Waits until standard output holds MARKER; returns what it holds."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while marker not in self.data["out"]:
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and
                                 not any(reader.is_alive() for reader in self.readers)):
                    raise HarnessError("%s: no %r on its standard output; it wrote %r, %r" %
                                       (os.path.basename(self.argv[1]), marker, self.data["out"][-200:],
                                        self.data["err"][-400:]))
                self.changed.wait(min(left, 0.1))
            return self.data["out"]

    def finish(self, timeout=RUN_TIMEOUT):
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        grace = time.monotonic() + 2
        for reader in self.readers:
            reader.join(max(0, grace - time.monotonic()))
        with self.changed:
            out, err = self.data["out"], self.data["err"]
        if not any(reader.is_alive() for reader in self.readers):
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream is not None:
                    stream.close()
        return Result(status, out, err)


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


class Wine:
    def __init__(self, args):
        self.prefix = os.path.abspath(args.prefix)
        self.exe = os.path.abspath(args.exe) if args.exe else None
        self.fixture_exe = os.path.abspath(args.fixture) if args.fixture else None
        self.map = args.map or (os.path.splitext(self.exe)[0] + ".map" if self.exe else None)
        self.expected_caller = args.expect_caller
        self.expected_reporter = args.expect_reporter
        self.shutdown_failure = args.shutdown_failure
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEARCH", "WINELOADER",
                     "WINESERVER", "LANGUAGE"):
            self.env.pop(name, None)
        self.env.update(WINE_ENV)
        self.env["WINEPREFIX"] = self.prefix
        self.workdir = tempfile.mkdtemp(prefix="zorvo-e2e-")

    def close(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    # -- prefix life cycle --

    def setup(self):
        if os.path.exists(self.prefix):
            if not os.path.exists(os.path.join(self.prefix, PREFIX_MARK)):
                raise HarnessError("%s exists and is not a prefix made by this suite" % self.prefix)
            self.teardown()
        os.makedirs(self.prefix)
        with open(os.path.join(self.prefix, PREFIX_MARK), "w") as mark:
            mark.write("made by wine_e2e.py; removed by its --teardown\n")
        # The server is started persistent before the prefix is made, so that
        # the one server serves the whole run.
        # The server and the services that wineboot starts outlive this
        # process: their output goes to a file, since they would hold a pipe
        # (a test runner's, for one) open for as long as they run.
        started = time.monotonic()
        log_path = os.path.join(self.prefix, "wineboot.log")
        with open(log_path, "wb") as log:
            subprocess.run(["wineserver", "-p"], env=self.env, cwd=self.prefix,
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log, check=True)
            boot = subprocess.run(["wineboot", "-i"], env=self.env, cwd=self.prefix,
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  timeout=600)
        if boot.returncode != 0:
            with open(log_path, "rb") as log:
                sys.stdout.write(log.read().decode("utf-8", "replace"))
            raise HarnessError("wineboot -i failed with status %d" % boot.returncode)
        print("prefix %s made in %.1f s" % (self.prefix, time.monotonic() - started))
        print("Wine's 32-bit side runs %s" % i386_host.run_probe().describe())
        pages = self.fixture(b"codepages\n")
        if pages != b"acp=1252 oemcp=437\n":
            raise HarnessError("the prefix's code pages are %r, not ANSI 1252 and OEM 437"
                               % pages.decode("ascii", "replace"))

    def teardown(self, remove=True):
        if os.path.isdir(self.prefix):
            subprocess.run(["wineserver", "-k"], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if remove and os.path.exists(os.path.join(self.prefix, PREFIX_MARK)):
                shutil.rmtree(self.prefix, ignore_errors=True)

    def check_ready(self):
        if not os.path.exists(os.path.join(self.prefix, PREFIX_MARK)):
            raise HarnessError("no prefix at %s: run --setup first" % self.prefix)
        for path in (self.exe, self.fixture_exe):
            if not path or not os.path.isfile(path):
                raise HarnessError("missing program: %s" % path)

    # -- running programs --

    def run(self, argv, stdout=subprocess.PIPE, input=None):
        """Runs a program to its end; standard error, and standard output
        unless given, are pipes."""
        return self.start(argv, stdout, input).finish()

    def start(self, argv, stdout=subprocess.PIPE, input=None):
        """Starts a program that runs beside the case until finish()."""
        return Spawned(argv, self.env, self.workdir, stdout, input)

    def fixture(self, script):
        result = self.run(["wine", self.fixture_exe, "script"], input=script)
        if result.status != 0:
            raise HarnessError("fixture script failed (status %d): %s" %
                               (result.status, result.err.decode("utf-8", "replace")))
        return result.out

    def seed(self, seed):
        self.fixture(seed.script())
        return self.dump()

    def dump(self, path=TOOL_ROOT):
        return parse_dump(self.fixture(("dump %s\n" % esc(path)).encode("ascii")))

    def tool(self, mode="pipe", exe=None, args=()):
        """Runs the tool (or another program) with standard output of the
        given kind."""
        exe = exe or self.exe
        argv = ["wine", exe] + list(args)
        if mode == "pipe":
            return self.run(argv)
        if mode == "file":
            path = os.path.join(self.workdir, "stdout.bin")
            with open(path, "wb") as out:
                result = self.run(argv, stdout=out)
            with open(path, "rb") as out:
                result.out = out.read()
            return result
        if mode in ("/dev/full", "/dev/null"):
            with open(mode, "wb") as out:
                return self.run(argv, stdout=out)
        if mode == "closed":
            return self.run(["/bin/sh", "-c", 'exec "$@" >&-', "sh"] + argv, stdout=None)
        if mode == "reader-gone":
            reader, writer = os.pipe()
            os.close(reader)
            try:
                return self.run(argv, stdout=writer)
            finally:
                os.close(writer)
        if mode in ("invalid", "null"):
            return self.run(["wine", self.fixture_exe, "run-with-%s-stdout" % mode,
                             windows_path(exe)] + list(args))
        if mode == "pty":
            return self.run_on_pty(argv)
        raise HarnessError("unknown standard output kind %s" % mode)

    def run_on_pty(self, argv, columns=1000, rows=1000):
        """Standard output on a raw pty, wide and tall enough that Wine's
        console neither wraps nor scrolls; stdin and stderr are not ttys."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST  # no LF to CR LF by the tty itself
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        err_path = os.path.join(self.workdir, "stderr.bin")
        with open(err_path, "wb") as err:
            proc = subprocess.Popen(argv, env=self.env, cwd=self.workdir,
                                    stdin=subprocess.DEVNULL, stdout=slave, stderr=err)
        os.close(slave)
        out = b""
        deadline = time.monotonic() + RUN_TIMEOUT
        quiet_since = None
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                out += chunk
                quiet_since = None
            elif proc.poll() is not None:
                # Exited; the console may hold the pty a moment longer.
                quiet_since = quiet_since or time.monotonic()
                if time.monotonic() - quiet_since > 2:
                    break
        os.close(master)
        status = proc.wait(timeout=RUN_TIMEOUT)
        with open(err_path, "rb") as err:
            return Result(status, out, err.read())


# ---- checks -------------------------------------------------------------

class Check:
    def __init__(self, name, module=b"zorvo-recolour.exe"):
        self.name = name
        self.module = module
        self.failures = []

    def fail(self, what, detail=""):
        self.failures.append("FAIL %s: %s%s" % (self.name, what, "\n" + detail if detail else ""))

    def equal(self, what, expected, actual):
        if expected != actual:
            self.fail(what, "expected: %r\nactual:   %r" % (expected, actual))

    def same_bytes(self, what, expected, actual):
        if expected != actual:
            self.fail(what, "%d bytes expected, %d bytes got\n%s" %
                      (len(expected), len(actual),
                       unified(byte_lines(expected), byte_lines(actual))))

    def same_tree(self, what, expected, actual):
        if expected != actual:
            self.fail(what, unified(expected.render(), actual.render()))

    def run(self, what, result, status=0, out=b"", err=b""):
        """Status, standard output and standard error, all exact."""
        self.equal(what + ": exit status", status, result.status)
        if out is not None:
            self.same_bytes(what + ": standard output", out, result.out)
        self.same_bytes(what + ": standard error", err, result.err)

    def report(self, what, result, code, module=None):
        """A run ended by an output failure: status 1, nothing on standard
        output (where it can be read), and standard error holding exactly one
        report.  Returns the reported position."""
        module = module or self.module
        self.equal(what + ": exit status", 1, result.status)
        self.same_bytes(what + ": standard output", b"", result.out)
        pattern = (b"Exception EInOutError in module " + re.escape(module) +
                   b" at ([0-9A-F]{8})\\.\r\nI/O error " + str(code).encode() +
                   b"\\.\r\n\r\n")
        match = re.fullmatch(pattern, result.err)
        if not match:
            found = re.search(b" at ([0-9A-F]{8})\\.", result.err)
            position = found.group(1) if found else b"XXXXXXXX"
            expected = (b"Exception EInOutError in module " + module + b" at " + position +
                        b".\r\nI/O error " + str(code).encode() + b".\r\n\r\n")
            self.same_bytes(what + ": standard error (the report)", expected, result.err)
            return None
        return int(match.group(1), 16)

    def finish(self):
        for failure in self.failures:
            print(failure)
            print()
        return not self.failures


def names_in_order(tree):
    return [path[-1] for path in tree.keys_below(SESSIONS)]


def lines_out(lines):
    return b"".join(line + CRLF for line in lines)


# ---- cases ----------------------------------------------------------------

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


@case
def no_sessions_key(wine, check):
    """Without the sessions key: nothing printed, status 0, nothing created."""
    # Nothing of the client's at all.
    before = wine.seed(Seed())
    check.equal("seeded tree", True, before.absent)
    check.run("run without the client's key", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())

    # The client's key, but no Zorvo below it.
    before = wine.seed(Seed().text((), b"Other", b"keep"))
    check.run("run without Zorvo", wine.tool())
    check.same_tree("Zorvo not created", before, wine.dump())

    # Zorvo, but no Sessions below it.
    before = wine.seed(Seed().text(SESSIONS[:1], b"Setting", b"1"))
    check.run("run without Sessions", wine.tool())
    check.same_tree("Sessions not created", before, wine.dump())


@case
def empty_sessions_key(wine, check):
    """A sessions key without subkeys: nothing printed or written, status 0."""
    before = wine.seed(Seed().key(SESSIONS).text(SESSIONS, b"Marker", b"as it was"))
    check.run("run", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())


@case
def two_sessions(wine, check):
    """Names in the registry's order; 22 REG_SZ values each; nothing else."""
    beta, alpha = session(b"Beta"), session(b"alpha")
    seed = (Seed()
            .key(beta)
            .text(beta, b"Colour0", b"1,2,3")
            .value(beta, b"Colour5", REG_DWORD, b"\x07\x00\x00\x00")
            .value(beta, b"Colour21", REG_BINARY, b"\x01\x02")
            .text(beta, b"Other", b"untouched")
            .text(beta, b"", b"default value")
            .value(beta, b"Colour22", REG_DWORD, b"\x16\x00\x00\x00")
            .key(beta + (b"Child",))
            .text(beta + (b"Child",), b"Inner", b"kept")
            .key(alpha + (b"Sub", b"Deeper"))
            .text(SESSIONS, b"Marker", b"sessions key"))
    before = wine.seed(seed)
    # Wine lists subkeys in case-insensitive name order: not the order of
    # creation, nor byte order.
    check.equal("enumeration order of the seeded sessions", [b"alpha", b"Beta"],
                names_in_order(before))
    result = wine.tool()
    check.run("run", result, out=lines_out([b"alpha", b"Beta"]))
    expected = before.copy()
    expected.recolour(alpha)
    expected.recolour(beta)
    check.same_tree("tree after the run", expected, wine.dump())


def expected_run(before, refused=()):
    """Lines and tree after a run over the seeded sessions: the refused ones,
    and those whose path is too long for the ANSI calls, get failure lines."""
    lines, expected = [], before.copy()
    for name in names_in_order(before):
        lines.append(name)
        if name in refused or len(name) > LONGEST_SELECTABLE_NAME:
            lines += [failure_line(name, i) for i in range(len(SCHEME))]
        else:
            expected.recolour(session(name))
    return lines, expected


HOSTILE_NAMES = [
    b"Two  spaces and a\ttab ",
    b" leading space",
    b"100% sure %s%n%d %x %p %1 %% %",
    b"!\"#$&'()*+,-./:;<=>?@[]^_`{|}~",
    b"Caf\xe9 \xd6sterreich \xff \x80",
    b"undefined in 1252 \x81\x8d\x8f\x90\x9d",
]


@case
def hostile_names(wine, check):
    """Names are printed and addressed byte for byte, never as formats."""
    seed = Seed()
    for name in HOSTILE_NAMES:
        seed.key(session(name))
    # A refused key with printf-like sequences: its failure lines carry the
    # name as text.
    refused = b"%s%n%s%n refused"
    seed.key(session(refused)).deny(session(refused))
    before = wine.seed(seed)
    check.equal("the seeded names read back", sorted(HOSTILE_NAMES + [refused]),
                sorted(names_in_order(before)))
    lines, expected = expected_run(before, [refused])
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


@case
def refused_session_key(wine, check):
    """A session key that refuses writes: its name and 22 failure lines; the
    other sessions recoloured; the sessions key gets nothing."""
    first, refused, last = session(b"First"), session(b"Locked"), session(b"Zulu")
    seed = (Seed().key(first).key(refused).text(refused, b"Colour3", b"9,9,9")
            .deny(refused).key(last))
    before = wine.seed(seed)
    lines = [b"First", b"Locked"] + [failure_line(b"Locked", i) for i in range(22)] + [b"Zulu"]
    check.run("run", wine.tool(), out=lines_out(lines))
    expected = before.copy()
    expected.recolour(first)
    expected.recolour(last)
    check.same_tree("tree after the run", expected, wine.dump())


@case
def refused_sessions_key(wine, check):
    """A sessions key that cannot be opened with all access: a silent run."""
    seed = (Seed().key(session(b"One")).key(session(b"Two"))
            .text(session(b"Two"), b"Colour1", b"1,1,1").deny(SESSIONS))
    before = wine.seed(seed)
    check.run("run", wine.tool())
    check.same_tree("tree after the run", before, wine.dump())


@case
def many_sessions(wine, check):
    """300 sessions, all printed and all recoloured."""
    seed = Seed()
    names = [b"Host %03d %s" % (i, b"ABCDEFGHIJ"[i % 10:i % 10 + 1]) for i in range(300)]
    for name in reversed(names):
        seed.key(session(name))
    before = wine.seed(seed)
    order = names_in_order(before)
    check.equal("sessions seeded", 300, len(order))
    check.run("run", wine.tool(), out=lines_out(order))
    expected = before.copy()
    for name in order:
        expected.recolour(session(name))
    check.same_tree("tree after the run", expected, wine.dump())


@case
def longest_names(wine, check):
    """Names up to the registry's longest (255) are listed whole; a session
    key whose path is too long for the ANSI calls cannot be selected, so it
    gets 22 failure lines: a name of 224 characters is recoloured, one of
    225 or 255 is not, in ASCII as in the upper half of code page 1252."""
    upper_half = bytes(range(0x80, 0x100))
    names = [b"short", b"M" * LONGEST_SELECTABLE_NAME, b"N" * (LONGEST_SELECTABLE_NAME + 1),
             b"Z" * 255,
             # The same lengths in bytes above 127: one character each in
             # code page 1252, so the limits stay where they are.
             (upper_half * 2)[:LONGEST_SELECTABLE_NAME],
             (upper_half[::-1] * 2)[:LONGEST_SELECTABLE_NAME + 1],
             (upper_half[64:] + upper_half * 2)[:255]]
    seed = Seed()
    for name in names:
        seed.key(session(name))
    before = wine.seed(seed)
    check.equal("seeded names", sorted(names), sorted(names_in_order(before)))
    lines, expected = expected_run(before)
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


def seed_long_lines():
    """Sessions whose lines cross the 128-byte buffer in every way: five
    lines of 40 text bytes, lines of 126 and 127 text bytes (128 and 129
    with CR LF), one of 200, the longest selectable name, and a refused
    session whose failure lines run over two blocks."""
    names = [b"Forty-byte-session-%02d-................." % i for i in range(5)]
    names += [b"A" * 126, b"B" * 127, b"C" * 200, b"D" * LONGEST_SELECTABLE_NAME,
              b"Caf\xe9 \xf6"]
    refused = b"R" * 150
    seed = Seed()
    for name in names + [refused]:
        seed.key(session(name))
    seed.deny(session(refused))
    return seed, [refused]


@case
def stdout_file(wine, check):
    """Standard output to a regular file: the bytes exactly."""
    seed, refused = seed_long_lines()
    before = wine.seed(seed)
    lines, expected = expected_run(before, refused)
    check.run("run", wine.tool("file"), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())

    # The smallest case of the block rule: five lines of 40 bytes.
    seed = Seed()
    names = [b"%02d-" % i + b"x" * 36 for i in range(5)]
    for name in names:
        seed.key(session(name))
    wine.seed(seed)
    check.run("five lines of 40 bytes", wine.tool("file"), out=lines_out(names))


@case
def stdout_pipe(wine, check):
    """Standard output to a pipe: the bytes exactly."""
    seed, refused = seed_long_lines()
    before = wine.seed(seed)
    lines, expected = expected_run(before, refused)
    check.run("run", wine.tool("pipe"), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


@case
def stdout_dev_null(wine, check):
    """The null device is a character device: a normal run."""
    seed, refused = seed_long_lines()
    before = wine.seed(seed)
    _, expected = expected_run(before, refused)
    check.run("run", wine.tool("/dev/null"), out=None)
    check.same_tree("tree after the run", expected, wine.dump())


@case
def stdout_pty(wine, check):
    """On a terminal (a Wine console) every line is written at its end, and
    a longer one in 128-byte pieces."""
    seed, refused = seed_long_lines()
    seed.key(session(b"short"))
    before = wine.seed(seed)
    lines, expected = expected_run(before, refused)
    result = wine.tool("pty")
    check.run("run", result, out=None)
    check.same_bytes("bytes on the pty", console_rendering(channel_writes(lines, True)),
                     result.out)
    check.same_tree("tree after the run", expected, wine.dump())


def two_plain_sessions(wine):
    return wine.seed(Seed().key(session(b"One")).key(session(b"Two"))
                     .text(session(b"Two"), b"Colour0", b"7,7,7"))


@case
def stdout_dev_full(wine, check):
    """A full device: the first line fails, status 1, nothing written."""
    before = two_plain_sessions(wine)
    result = wine.tool("/dev/full")
    check.report("run", result, 112)
    check.same_tree("tree after the run", before, wine.dump())


def demangle(names):
    for tool in ("i686-w64-mingw32-c++filt", "c++filt"):
        if shutil.which(tool):
            proc = subprocess.run([tool], input="\n".join(names) + "\n",
                                  stdout=subprocess.PIPE, universal_newlines=True)
            out = proc.stdout.splitlines()
            if proc.returncode == 0 and len(out) == len(names):
                return out
    return names


def read_map(path):
    """From a linker map: the image base, the code's input sections (start,
    end, object file) and the function symbols (address, name), each sorted
    by address.  Symbols of internal linkage are not in the map; their code
    still lies in their object's input section."""
    with open(path, "r", encoding="latin-1") as f:
        text = f.read()
    base = re.search(r"0x([0-9a-fA-F]+)\s+__image_base__\s*=", text)
    base = int(base.group(1), 16) if base else 0x400000
    sections = []
    for start, size, owner in re.findall(
            r"^ \.text\S*\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+([^\n]+)$", text, re.M):
        start, size = int(start, 16), int(size, 16)
        if size:
            sections.append((start, start + size, owner.strip()))
    sections.sort()
    symbols = []
    for address, name in re.findall(r"^ {16}0x([0-9a-fA-F]+) {2,}(\S[^\n]*?)\s*$", text, re.M):
        if not (name.startswith("0x") or "=" in name or "PROVIDE" in name):
            symbols.append((int(address, 16), name))
    symbols.sort()
    if not sections:
        raise HarnessError("no code sections in %s" % path)
    return base, sections, symbols


def resolve(map_path, offset):
    """The address of a reported position, the object file whose code holds
    it, and the nearest function symbol before it in that object's section
    (None where the map has none)."""
    base, sections, symbols = read_map(map_path)
    address = base + offset
    for start, end, owner in sections:
        if start <= address < end:
            inside = [symbol for symbol in symbols if start <= symbol[0] <= address]
            if not inside:
                return address, owner, None
            return address, owner, (inside[-1][0], demangle([inside[-1][1]])[0])
    return address, None, None


def check_resolves(check, what, map_path, position, function=None, in_object=None):
    """The reported position lies in the named function, or in code of the
    named object file."""
    address, owner, symbol = resolve(map_path, position)
    if owner is None:
        check.fail("%s: position %08X (address %08X) is in no code section of %s" %
                   (what, position, address, map_path))
        return
    where = "%s+0x%X" % (symbol[1], address - symbol[0]) if symbol else "(no symbol)"
    print("%s: position %08X = address %08X = %s in %s" % (what, position, address, where, owner))
    if function and not (symbol and re.search(
            r"(^|[^A-Za-z0-9_])%s([^A-Za-z0-9_]|$)" % re.escape(function), symbol[1])):
        check.fail("%s: position resolves to %s, not to %s" % (what, where, function))
    if in_object and in_object not in owner:
        check.fail("%s: position lies in %s, not in %s" % (what, owner, in_object))


@case
def report_position_in_map(wine, check):
    """The reported position lies in the function whose output check raised:
    the run's own check after the first line, or the report's write-out of
    standard output when that write fails in its turn."""
    if not wine.map or not os.path.isfile(wine.map):
        raise HarnessError("missing linker map: %s" % wine.map)
    before = two_plain_sessions(wine)
    positions = {}
    for mode, code in (("/dev/full", 112), ("invalid", 105)):
        positions[mode] = check.report("stdout %s" % mode, wine.tool(mode), code)
    check.same_tree("tree after the runs", before, wine.dump())
    if None not in positions.values():
        # Both fail at the check after the first session's name.
        check.equal("same position for both failures", positions["/dev/full"],
                    positions["invalid"])
        check_resolves(check, "first line's check", wine.map, positions["/dev/full"],
                       function=wine.expected_caller)

    # A reader gone: the check of the line that filled the buffer raises, and
    # the report's own write-out of the line end fails again (233).  Only the
    # second failure is reported, positioned in the report.
    position = check_filled_during_run(wine, check, "reader-gone", 233)
    if position is not None:
        check_resolves(check, "report's write-out", wine.map, position,
                       function=wine.expected_reporter)


def sessions_by_tens(count):
    """Names of 10 bytes: a line of 12, so the buffer fills in line 11."""
    return [b"Session-%02d" % i for i in range(count)]


def check_filled_during_run(wine, check, mode, code):
    """The buffer fills during the 11th line: that check fails, so the first
    ten sessions are recoloured and the rest untouched."""
    names = sessions_by_tens(20)
    seed = Seed()
    for name in names:
        seed.key(session(name))
    before = wine.seed(seed)
    position = check.report("run", wine.tool(mode), code)
    expected = before.copy()
    for name in names[:10]:
        expected.recolour(session(name))
    check.same_tree("tree after the run", expected, wine.dump())
    return position


def check_failed_at_exit(wine, check, mode, code):
    """Under 128 bytes: every session recoloured, then the final write-out
    at shutdown fails."""
    before = two_plain_sessions(wine)
    result = wine.tool(mode)
    if wine.shutdown_failure == "report":
        check.report("run", result, code)
    else:
        check.run("run", result, out=None)
    expected = before.copy()
    expected.recolour(session(b"One"))
    expected.recolour(session(b"Two"))
    check.same_tree("tree after the run", expected, wine.dump())


@case
def reader_gone_during_run(wine, check):
    """A pipe without a reader (233), failing when the buffer fills."""
    check_filled_during_run(wine, check, "reader-gone", 233)


@case
def reader_gone_at_exit(wine, check):
    """A pipe without a reader (233), failing at the final write-out."""
    check_failed_at_exit(wine, check, "reader-gone", 233)


@case
def stdout_closed(wine, check):
    """Standard output closed (>&-): a handle whose writes fail with 6."""
    check_filled_during_run(wine, check, "closed", 6)


@case
def stdout_closed_at_exit(wine, check):
    """Standard output closed (>&-), failing at the final write-out."""
    check_failed_at_exit(wine, check, "closed", 6)


@case
def stdout_no_handle(wine, check):
    """No standard output handle at all (invalid, or null): I/O error 105."""
    for mode in ("invalid", "null"):
        before = two_plain_sessions(wine)
        check.report("stdout %s" % mode, wine.tool(mode), 105)
        check.same_tree("tree after the run with stdout %s" % mode, before, wine.dump())
    # A run that prints nothing never opens standard output.
    for seed in (Seed(), Seed().key(SESSIONS)):
        before = wine.seed(seed)
        check.run("silent run with no stdout handle", wine.tool("invalid"))
        check.same_tree("tree after the silent run", before, wine.dump())


@case
def module_name_oem(wine, check):
    """A program file name with a byte above 127 is reported in the OEM code
    page: o with diaeresis is 0xF6 in 1252 and 0x94 in 437."""
    renamed = os.path.join(wine.workdir, "Z\u00f6rvo Recolour.exe")
    shutil.copyfile(wine.exe, renamed)
    before = two_plain_sessions(wine)
    renamed_position = check.report("renamed program", wine.tool("/dev/full", exe=renamed),
                                    112, module=b"Z\x94rvo Recolour.exe")
    position = check.report("program under its own name", wine.tool("/dev/full"), 112)
    check.equal("same position under either name", position, renamed_position)
    check.same_tree("tree after the runs", before, wine.dump())


AEDEBUG = b"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"


@case
def post_mortem_debugger(wine, check):
    """With winedbg configured as the post-mortem debugger, a failed run
    still reports on its own and starts no debugger."""
    aedebug = wine.fixture(("dumpkey %s\n" % esc(AEDEBUG)).encode("ascii"))
    aedebug = parse_dump(aedebug)
    values = {} if aedebug.absent else aedebug.values[()]
    check.equal("AeDebug Debugger", (REG_SZ, b"winedbg --auto %ld %ld\0"),
                values.get(b"Debugger", (None, None, None))[:2])
    check.equal("AeDebug Auto", (REG_SZ, b"1\0"), values.get(b"Auto", (None, None, None))[:2])
    two_plain_sessions(wine)
    started = time.monotonic()
    result = wine.tool("/dev/full")
    check.report("run on /dev/full", result, 112)
    if b"debugger" in result.err:
        check.fail("a debugger was started")
    check.report("run without stdout", wine.tool("invalid"), 105)
    elapsed = time.monotonic() - started
    if elapsed > 10:
        check.fail("two failing runs took %.1f s: a debugger may have run" % elapsed)


@case
def platform_faults(wine, check):
    """Failures that the registry cannot drive the tool into, through the
    fault probe built beside it (its own failure handling, linked the same
    way): an access fault is reported as EAccessViolation, positioned at the
    faulting instruction; exhausted memory as EOutOfMemory, its report still
    written.  The post-mortem debugger stays configured and never starts.

    Under qemu's user-mode emulation the faulting write reaches the program
    with another exception code than on a real processor; the probe then
    catches the fault itself to tell which, and the report must be the one
    for exactly that code.  Run natively, the code must be the access
    fault's."""
    probe_exe = os.path.join(os.path.dirname(wine.exe), "fault-probe.exe")
    probe_map = os.path.splitext(probe_exe)[0] + ".map"
    if not os.path.isfile(probe_exe):
        raise HarnessError("missing %s" % probe_exe)
    host = i386_host.run_probe()
    caught = wine.tool("pipe", exe=probe_exe, args=["fault-code"])
    code = caught.out.rstrip(b"\r\n").decode("ascii", "replace")
    print("Wine's 32-bit side runs %s; a null-pointer write raises %s" % (host.describe(), code))
    if caught.status != 0 or not re.fullmatch(r"[0-9A-F]{8}", code):
        raise HarnessError("the probe's fault-code gave status %d, %r, %r"
                           % (caught.status, caught.out, caught.err))
    if host.mode == "native":
        check.equal("exception code of a null-pointer write, run natively", "C0000005", code)
    if code == "C0000005":
        access_fault = (b"EAccessViolation", b"(Access violation: write of address 00000000\\.)")
    else:
        access_fault = (b"EPlatformFault", b"(Platform fault " + code.encode() + b"\\.)")
    for how, (error_class, message) in (("access-fault", access_fault),
                                        ("out-of-memory", (b"EOutOfMemory", b"([^\r\n]+\\.)"))):
        result = wine.tool("pipe", exe=probe_exe, args=[how])
        what = "fault probe %s" % how
        check.equal(what + ": exit status", 1, result.status)
        check.same_bytes(what + ": standard output", b"", result.out)
        # The message is the error's own; one line, ending with a period.
        match = re.fullmatch(b"Exception " + error_class + b" in module fault-probe\\.exe at "
                             b"([0-9A-F]{8})\\.\r\n" + message + b"\r\n\r\n", result.err)
        if not match:
            check.fail(what + ": standard error is not one %s report" % error_class.decode(),
                       "\n".join(byte_lines(result.err)))
            continue
        print("%s: message %r" % (what, match.group(2).decode("ascii", "replace")))
        if how == "access-fault" and os.path.isfile(probe_map):
            # The faulting write is in the probe's own code, not in the
            # failure handling.
            check_resolves(check, what, probe_map, int(match.group(1), 16),
                           in_object="fault_probe.cpp")


# ---- scale, every byte, and keys that change under the tool ---------------

def sessions_path():
    return b"\\".join((TOOL_ROOT,) + SESSIONS)


def session_path(name):
    return b"\\".join((TOOL_ROOT,) + session(name))


def case_insensitive_order(names):
    """Wine's order of subkeys: by name, upper case and lower case alike,
    compared in their lower-case forms (so "[" and "_", which lie between
    the upper- and the lower-case letters, come before every letter)."""
    return sorted(names, key=lambda name: (name.lower(), name))


@case
def ten_thousand_sessions(wine, check):
    """10,000 sessions, seeded in shuffled order with names whose upper- and
    lower-case letters and punctuation make the case-insensitive order differ
    from byte order: every name printed once, in that order; every key holds
    the 22 values afterwards, beside the values it had."""
    stems = [b"alpha", b"Bravo", b"CHARLIE", b"delta", b"_under", b"[bracket", b"Echo~", b"zulu"]
    names = [stems[i % len(stems)] + b" %05d" % i for i in range(10000)]
    order = case_insensitive_order(names)
    check.equal("case-insensitive order differs from byte order", True, order != sorted(names))
    shuffled = list(names)
    random.Random(10000).shuffle(shuffled)
    seed = Seed()
    for i, name in enumerate(shuffled):
        seed.key(session(name))
        if i % 7 == 0:
            seed.text(session(name), b"HostName", b"host-%d.example" % i)
        if i % 11 == 0:
            seed.value(session(name), b"Colour%d" % (i % 22), REG_DWORD, b"\x01\x00\x00\x00")
    started = time.monotonic()
    before = wine.seed(seed)
    seeded = time.monotonic()
    seeded_order = names_in_order(before)
    if seeded_order != order:
        first = next((i for i, pair in enumerate(zip(order, seeded_order)) if pair[0] != pair[1]),
                     min(len(order), len(seeded_order)))
        check.fail("Wine's enumeration order is not the case-insensitive one",
                   "from index %d, expected %r, Wine has %r" %
                   (first, order[first:first + 5], seeded_order[first:first + 5]))
    result = wine.tool()
    ran = time.monotonic()
    check.run("run", result, out=lines_out(order))
    expected = before.copy()
    for name in order:
        expected.recolour(session(name))
    after = wine.dump()
    check.same_tree("tree after the run", expected, after)
    print("seeding and dump %.1f s, run %.1f s, dump and comparison %.1f s" %
          (seeded - started, ran - seeded, time.monotonic() - ran))
    # Deleting 10,000 keys takes a while: here, rather than in the next case.
    wine.fixture(b"reset\n")


EVERY_BYTE = bytes(b for b in range(0x20, 0x100) if b != 0x5C)


def every_byte_names():
    """Eight names that hold every byte from 0x20 to 0xFF but the backslash
    once: name k takes every eighth byte from the k-th on, so that each
    mixes ASCII, the upper half and, among the latter, the five bytes that
    code page 1252 leaves undefined."""
    return [EVERY_BYTE[k::8] for k in range(8)]


@case
def every_byte_in_names(wine, check):
    """Names holding every byte from 0x20 to 0xFF except the backslash, as
    the prefix's code page 1252 maps them: printed byte for byte, addressed
    exactly (no other key appears), and, for a key that refuses writes, in
    its 22 failure lines too."""
    names = every_byte_names()
    check.equal("every byte once", sorted(EVERY_BYTE), sorted(b"".join(names)))
    refused = names[3]
    seed = Seed()
    for name in names:
        seed.key(session(name)).text(session(name), b"HostName", name)
    seed.deny(session(refused))
    before = wine.seed(seed)
    check.equal("the seeded names read back", sorted(names), sorted(names_in_order(before)))
    # Text as the registry keeps it (UTF-16), seen through the values that
    # hold the names: the undefined bytes as U+0081 and so on.
    stored = {name: before.values[session(name)][b"HostName"][2] for name in names}
    for name in names:
        check.equal("stored form of the text %s" % show(name),
                    cp1252_as_wine_stores(name) + b"\0\0", stored[name])
    lines, expected = expected_run(before, [refused])
    check.run("run", wine.tool(), out=lines_out(lines))
    check.same_tree("tree after the run", expected, wine.dump())


def cp1252_as_wine_stores(data):
    """Code page 1252 to UTF-16 as Wine converts it: the five undefined
    bytes become the control characters of the same number."""
    return "".join(bytes([b]).decode("cp1252") if b not in b"\x81\x8d\x8f\x90\x9d" else chr(b)
                   for b in data).encode("utf-16-le")


def parse_lines(out):
    """Standard output's lines without their CR LF; bytes after the last CR
    LF make one more line (which is no name)."""
    lines = out.split(CRLF)
    return lines[:-1] if lines[-1] == b"" else lines


FAILURE_LINE = re.compile(b"Could not write value ([0-9,]+) to registry key " + re.escape(KEY_TEXT) +
                          b"(.*)\\\\Colour([0-9]+)", re.S)


def split_failures(lines, names):
    """The run's lines as (session name, [colour indices of its failure
    lines]); None when a line is neither a listed name nor a well-formed
    failure line of the session before it, after that session's earlier
    failure lines."""
    runs = []
    for line in lines:
        match = FAILURE_LINE.fullmatch(line)
        if match and runs and match.group(2) == runs[-1][0]:
            index = int(match.group(3))
            if index < len(SCHEME) and match.group(1) == SCHEME[index] and \
                    all(earlier < index for earlier in runs[-1][1]):
                runs[-1][1].append(index)
                continue
        if line not in names:
            return None
        runs.append((line, []))
    return runs


CHURN_SESSIONS = 2000
CHURN_FIRST = 1600


@case
def keys_churned_during_run(wine, check):
    """A second process deletes and re-adds the last 400 of 2,000 session
    keys, round after round, from before the tool starts until the tool has
    written session 1000; then it deletes them all.  The tool lists while
    the keys come and go, so some of those names may be missing from its
    list or listed twice; every listed one is created again by the
    selection with creation and gets its 22 values, every other one stays
    deleted, and nothing lands anywhere else."""
    names = [b"Session %04d" % i for i in range(CHURN_SESSIONS)]
    stable, churned = names[:CHURN_FIRST], names[CHURN_FIRST:]
    seed = Seed()
    for name in stable:
        seed.key(session(name)).text(session(name), b"HostName", name.lower())
    for name in churned:
        seed.key(session(name))
    before = wine.seed(seed)
    check.equal("seeded order", names, names_in_order(before))

    churn = wine.start(["wine", wine.fixture_exe, "script"], input=(
        "churn %s %s %d %d %s %s Colour21\n" % (
            esc(sessions_path()), esc(b"Session "), CHURN_FIRST, len(churned),
            esc(session_path(names[0])), esc(session_path(names[1000])))).encode("ascii"))
    churn.wait_for(b"churning\n")
    tool_started = time.time()
    result = wine.tool()
    tool_ended = time.time()
    churned_out = churn.finish()
    if churned_out.status != 0:
        raise HarnessError("churn failed (status %d): %s" % (
            churned_out.status, churned_out.err.decode("utf-8", "replace")))
    summary = re.search(rb"rounds (\d+) deletions (\d+) before-start (\d+) before-stop (\d+) "
                        rb"final (\d+) held (\d+)\ntimes([ 0-9]*)\n", churned_out.out)
    if not summary:
        raise HarnessError("churn: unexpected output %r" % churned_out.out[-300:])
    rounds, deletions, before_start, before_stop, final, held = map(int, summary.groups()[:6])
    times = [int(t) / 1000 for t in summary.group(7).split()]
    during = sum(1 for t in times if tool_started <= t <= tool_ended)
    print("churn: %d rounds, %d deletions: %d during the run (%.2f s), %d before the tool "
          "finished its first session, %d while it wrote sessions 0 to 1000, %d in the final pass"
          % (rounds, deletions, during, tool_ended - tool_started, before_start,
             before_stop - before_start, final))
    if held:
        raise HarnessError("the churn reached keys the tool had already written (%d): "
                           "its stop came too late" % held)
    if during == 0 or before_stop == before_start:
        raise HarnessError("the churn did not overlap the tool's run")

    check.equal("run: exit status", 0, result.status)
    check.same_bytes("run: standard error", b"", result.err)
    lines = parse_lines(result.out)
    check.same_bytes("the sessions that stayed, in order", lines_out(stable),
                     lines_out(lines[:len(stable)]))
    listed = lines[len(stable):]
    positions = [churned.index(name) if name in churned else None for name in listed]
    if None in positions or positions != sorted(positions):
        check.fail("the churned sessions' lines are not names of theirs in order",
                   "\n".join(byte_lines(lines_out(listed))))
        return
    listed_once = set(listed)
    print("listing: %d of the %d churned sessions listed, %d left out, %d extra lines for "
          "names listed twice or more" % (len(listed_once), len(churned),
                                          len(churned) - len(listed_once),
                                          len(listed) - len(listed_once)))

    expected = before.copy()
    for name in stable:
        expected.recolour(session(name))
    for name in churned:
        del expected.values[session(name)]
        if name in listed_once:
            expected.values[session(name)] = colour_values()
    check.same_tree("tree after the run", expected, wine.dump())
    wine.fixture(b"reset\n")


def process_state(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def stop_process(pid):
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 5
    while process_state(pid) != "T":
        if time.monotonic() > deadline:
            raise HarnessError("process %d did not stop" % pid)
        time.sleep(0.001)


def seed_for_deletion():
    names = [b"Session %04d" % i for i in range(CHURN_SESSIONS)]
    seed = Seed().text(SESSIONS[:1], b"Setting", b"kept").text(SESSIONS, b"Marker", b"gone")
    for name in names:
        seed.key(session(name)).text(session(name), b"HostName", name.lower())
    return names, seed


DELETE_AFTER = 500
# The racing deletion starts early, so that most of the run races it.
RACING_DELETE_AFTER = 100


@case
def sessions_key_deleted_during_run(wine, check):
    """The whole sessions key is deleted while the tool runs over 2,000
    sessions.

    First, once the tool has written session 500, with the tool held still
    (SIGSTOP) for the deletion, so that the key vanishes between two of its
    calls: the run goes on with status 0 and
    all 2,000 names; everything written before is gone; the selection with
    creation makes the sessions key and each later session key anew, each
    with its 22 values and nothing else; the session in progress keeps the
    values written after the deletion, and at most one failure line (a value
    whose key was deleted between its selection and its write).

    Then with the deletion racing the running tool, from session 100 on: a
    recursive deletion (Wine cannot delete a tree in one call) that deletes
    the first subkey until none is left.  Once it has caught up with the
    tool, the first subkey is mostly the one the tool has just made anew,
    so the two go on side by side, often to the tool's end, and every write
    that finds its key deleted prints a failure line.  Still status 0, every
    name once in order with its failure lines, nothing anywhere else, and
    every session key left holds exactly the values written after its last
    deletion: those from some colour index on, its failure lines all before
    that index."""
    names, seed = seed_for_deletion()
    deletion_held_still(wine, check, names, seed)
    deletion_racing(wine, check, names, seed)
    wine.fixture(b"reset\n")


def deletion_held_still(wine, check, names, seed):
    watch = session_path(names[DELETE_AFTER])
    before = wine.seed(seed)
    waiter = wine.start(["wine", wine.fixture_exe, "script"],
                        input=("wait %s Colour21\n" % esc(watch)).encode("ascii"))
    waiter.wait_for(b"waiting\n")
    tool = wine.start(["wine", wine.exe])
    waiter.wait_for(b"reached")
    stop_process(tool.pid)
    try:
        wine.fixture(("deltree %s\n" % esc(sessions_path())).encode("ascii"))
        gone = wine.fixture(("dumpkey %s\n" % esc(sessions_path())).encode("ascii"))
    finally:
        os.kill(tool.pid, signal.SIGCONT)
    result = tool.finish()
    waiter.finish()
    check.equal("sessions key while the tool was held", b"absent\n", gone)
    after = wine.dump()
    check.equal("held: exit status", 0, result.status)
    check.same_bytes("held: standard error", b"", result.err)
    runs = split_failures(parse_lines(result.out), set(names))
    if runs is None or [name for name, _ in runs] != names:
        check.fail("held: standard output is not the 2,000 names, each followed by its "
                   "failure lines", "\n".join(byte_lines(result.out)[:40]))
        return
    failed = [(i, indices) for i, (_, indices) in enumerate(runs) if indices]
    present = [i for i, name in enumerate(names) if session(name) in after.values]
    if len(failed) > 1 or (failed and len(failed[0][1]) > 1) or not present:
        check.fail("held: more than one failure line, or no session left",
                   "failures: %r; sessions present: %d" % (failed, len(present)))
        return
    if failed:
        # The write found its key deleted: that value is lost, the later
        # ones of that session land in its new key.
        in_progress, first_kept = failed[0][0], failed[0][1][0] + 1
    else:
        in_progress = present[0]
        values = after.values[session(names[in_progress])]
        first_kept = min(int(name[len(b"Colour"):]) for name in values) if values else 0
    print("held: the key went while the tool was in session %d, which kept %s; %s" % (
        in_progress, "the values from Colour%d on" % first_kept if first_kept < len(SCHEME)
        else "none of its values", "one failure line" if failed else "no failure line"))
    if in_progress <= DELETE_AFTER:
        check.fail("held: the session in progress is %d, not one after %d" %
                   (in_progress, DELETE_AFTER))
    expected = Tree()
    for path in ((), SESSIONS[:1], SESSIONS):
        expected.values[path] = dict(before.values[path])
    del expected.values[SESSIONS][b"Marker"]
    for i in range(in_progress, len(names)):
        first = first_kept if i == in_progress else 0
        if first < len(SCHEME):
            expected.values[session(names[i])] = colour_values(first)
    check.same_tree("held: tree after the run", expected, after)


def deletion_racing(wine, check, names, seed):
    watch = session_path(names[RACING_DELETE_AFTER])
    before = wine.seed(seed)
    deleter = wine.start(["wine", wine.fixture_exe, "script"], input=(
        "wait %s Colour21\ndeltree %s\n" % (esc(watch), esc(sessions_path()))).encode("ascii"))
    deleter.wait_for(b"waiting\n")
    result = wine.tool()
    deleted = deleter.finish()
    if deleted.status != 0:
        raise HarnessError("the deletion failed (status %d): %s" %
                           (deleted.status, deleted.err.decode("utf-8", "replace")))
    after = wine.dump()
    check.equal("racing: exit status", 0, result.status)
    check.same_bytes("racing: standard error", b"", result.err)
    runs = split_failures(parse_lines(result.out), set(names))
    if runs is None or [name for name, _ in runs] != names:
        check.fail("racing: standard output is not the 2,000 names, each followed by its "
                   "failure lines", "\n".join(byte_lines(result.out)[:40]))
        return
    for path in ((), SESSIONS[:1]):
        check.equal("racing: values of %s" % show(b"\\".join(path)), before.values[path],
                    after.values.get(path))
    # The sessions key is gone at the end, or the tool made it anew after
    # the deletion: either way without the values it had.
    if SESSIONS in after.values:
        check.equal("racing: values of the new sessions key", {}, after.values[SESSIONS])
    allowed = {session(name) for name in names} | {(), SESSIONS[:1], SESSIONS}
    strays = [path for path in after.values if path not in allowed]
    if strays:
        check.fail("racing: keys that are no sessions", "\n".join(
            "\\".join(show(p) for p in path) for path in strays))
    # Each write after a session key's last deletion lands in the key that
    # its selection made anew, so a session left holds exactly the values
    # from some colour index on, and its failure lines (writes that found
    # their key deleted) all come before that index.
    complete, partial = 0, 0
    for i, (name, failed) in enumerate(runs):
        values = after.values.get(session(name))
        if values is None:
            continue
        first_kept = min((int(value[len(b"Colour"):]) for value in values
                          if re.fullmatch(b"Colour[0-9]+", value)), default=len(SCHEME))
        if i <= RACING_DELETE_AFTER or values != colour_values(first_kept) or \
                any(index >= first_kept for index in failed):
            check.fail("racing: session %s holds %r, with failure lines for %r" %
                       (show(name), sorted(values), failed))
        if first_kept == 0:
            complete += 1
        else:
            partial += 1
    print("racing: %d failure lines; of the 2,000 sessions, %d complete, %d partial and %d "
          "absent at the end; the sessions key %s" % (
              sum(len(f) for _, f in runs), complete, partial, len(names) - complete - partial,
              "made anew" if SESSIONS in after.values else "absent"))


# ---- other code pages --------------------------------------------------------

class Skip(Exception):
    """The case cannot run here; the reason says why."""


def unix_locale(wine, name):
    """LOCPATH for the Unix locale NAME (such as hi_IN.UTF-8), compiled with
    localedef into the prefix once per test run, without installing it."""
    directory = os.path.join(wine.prefix, "locales")
    if os.path.isdir(os.path.join(directory, name)):
        return directory
    source, charmap = name.split(".")
    if not shutil.which("localedef"):
        raise Skip("no localedef to compile the %s locale" % name)
    os.makedirs(directory, exist_ok=True)
    building = tempfile.mkdtemp(prefix=name + ".", dir=directory)
    made = subprocess.run(["localedef", "-i", source, "-f", charmap,
                           os.path.join(building, name)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if made.returncode != 0 or not os.path.isdir(os.path.join(building, name)):
        shutil.rmtree(building, ignore_errors=True)
        raise Skip("localedef cannot compile %s (the locale sources come with Debian's "
                   "locales package): %s" % (name, made.stdout.decode("utf-8", "replace").strip()))
    os.rename(os.path.join(building, name), os.path.join(directory, name))
    os.rmdir(building)
    return directory


class InLocale:
    """Wine run under another Unix locale, hence other code pages, for the
    length of a with block: the fixture as well as the tool."""

    def __init__(self, wine, name, code_page):
        self.wine, self.name, self.code_page = wine, name, code_page

    def __enter__(self):
        self.saved = dict(self.wine.env)
        self.wine.env.update(LOCPATH=unix_locale(self.wine, self.name), LC_ALL=self.name,
                             LANG=self.name)
        pages = self.wine.fixture(b"codepages\n")
        wanted = b"acp=%d oemcp=%d\n" % (self.code_page, self.code_page)
        if pages != wanted:
            self.__exit__()
            raise Skip("under the Unix locale %s Wine's code pages are %s, not ANSI and OEM %d"
                       % (self.name, pages.decode("ascii", "replace").strip(), self.code_page))
        print("%s: %s" % (self.name, self.wine.fixture(b"cpinfo\n").decode("ascii").strip()))
        return self

    def __exit__(self, *exc):
        self.wine.env.clear()
        self.wine.env.update(self.saved)
        pages = self.wine.fixture(b"codepages\n")
        if pages != b"acp=1252 oemcp=437\n":
            raise HarnessError("back in %s the code pages are %r" % (WINE_ENV["LC_ALL"], pages))


def enum_probe(wine, path):
    """What RegEnumKeyExA gives for each subkey into the buffer that the key
    query's longest name (plus one) makes: {name: result}, and that longest
    name."""
    lines = wine.fixture(("enum-probe %s\n" % esc(path)).encode("ascii")).decode("ascii").splitlines()
    longest = int(lines[0].split()[1])
    results = {}
    for line in lines[1:]:
        _, code, length, name = line.split(" ")
        name = unesc(name)
        if len(name) != int(length):
            raise HarnessError("enum-probe: %r" % line)
        results[name] = int(code)
    return longest, results


def brief(name, limit=40):
    shown = show(name)
    return shown if len(shown) <= limit else "%s... (%d bytes)" % (shown[:limit], len(name))


def check_other_code_page(wine, check, what, names, refused, too_small, selectable):
    """Seeds NAMES (bytes in the current code page), runs the tool and
    checks its lines and the tree.  TOO_SMALL are the names that do not fit
    the buffer that the key query's longest name makes (checked first: it is
    what the case is about); SELECTABLE says which names the ANSI calls can
    select."""
    seed = Seed()
    for name in names:
        seed.key(session(name))
    for name in refused:
        seed.deny(session(name))
    before = wine.seed(seed)
    check.equal(what + ": the seeded names read back", sorted(names),
                sorted(names_in_order(before)))
    longest, results = enum_probe(wine, sessions_path())
    print("%s: the key query's longest name is %d; a buffer of %d is too small (234) for %s" % (
        what, longest, longest + 1,
        ", ".join(brief(name) for name, code in sorted(results.items()) if code == 234)))
    if {name for name, code in results.items() if code == 234} != set(too_small) or \
            any(code not in (0, 234) for code in results.values()):
        raise HarnessError("%s: Wine's RegEnumKeyExA does not behave as this case needs: %r"
                           % (what, results))
    lines, expected = [], before.copy()
    for name in names_in_order(before):
        lines.append(name)
        if name in refused or not selectable(name):
            lines += [failure_line(name, i) for i in range(len(SCHEME))]
        else:
            expected.recolour(session(name))
    check.run(what + ": run", wine.tool(), out=lines_out(lines))
    check.same_tree(what + ": tree after the run", expected, wine.dump())


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def too_small_names(texts, encoding, length):
    """The names (encoded) longer in bytes than the longest text's LENGTH."""
    longest = max(length(text) for text in texts)
    return [text.encode(encoding) for text in texts if len(text.encode(encoding)) > longest]


@case
def utf8_code_page(wine, check):
    """Under a Unicode-only locale (hi_IN.UTF-8) Wine's ANSI code page is
    65001, UTF-8.  The key query counts characters (UTF-16 units), so the
    buffer it sizes is too small for names whose characters take several
    bytes: those indexes fail with 234, and the tool asks again with a
    buffer for any name; without that they would be left out.

    Short names: e-acute (2 bytes), CJK (3), an emoji (4 bytes, two UTF-16
    units), one that fills the query's buffer exactly, and a refused key
    (its failure lines carry the UTF-8 bytes).  Long names: 224 and 225
    characters of 2 and 3 bytes, around the 260 characters that the ANSI
    calls take in a path (characters, not bytes), and the longest name in
    bytes, 255 characters of 3 bytes."""
    short = ["Plain", "Caf\u00e9 cr\u00e8me", "\u4e2d\u6587\u4f1a\u8bdd",
             "Smile \U0001f600", "\u00e9\u00e9\u00e9abcd", "Refus\u00e9 \u4e2d"]
    long = ["\u00e9" * LONGEST_SELECTABLE_NAME, "\u4e2d" * (LONGEST_SELECTABLE_NAME + 1),
            "\u6587" * 255]
    with InLocale(wine, "hi_IN.UTF-8", 65001):
        for what, texts, refused in (("short names", short, [short[5]]), ("long names", long, [])):
            check_other_code_page(
                wine, check, what, [text.encode("utf-8") for text in texts],
                [text.encode("utf-8") for text in refused],
                too_small_names(texts, "utf-8", utf16_units),
                lambda name: utf16_units(name.decode("utf-8")) <= LONGEST_SELECTABLE_NAME)


@case
def japanese_code_page(wine, check):
    """Under ja_JP.UTF-8 Wine's ANSI code page is 932, whose characters take
    one or two bytes: the tool doubles the key query's longest name, so
    names of double-byte characters fit its buffer (they do not fit the
    undoubled one).  Short names: double-byte characters, two of them with a
    backslash (0x5C) for their second byte, half-width katakana (one byte
    each), and a refused key whose name ends in such a 0x5C.  Long names:
    224 and 225 double-byte characters, around the ANSI calls' 260, and 255,
    which fill the doubled buffer exactly."""
    short = ["Plain", "\u65e5\u672c\u8a9e\u30bb\u30c3\u30b7\u30e7\u30f3",
             "\u30bd\u30d5\u30c8\u8868\u793a", "\uff7e\uff6f\uff7c\uff6e\uff9d",
             "\u62d2\u5426\u30bd"]
    long = ["\u65e5" * LONGEST_SELECTABLE_NAME, "\u672c" * (LONGEST_SELECTABLE_NAME + 1),
            "\u8a9e" * 255]
    check.equal("second bytes 0x5C", [2, 1], [short[2].encode("cp932").count(b"\\"),
                                             short[4].encode("cp932").count(b"\\")])
    with InLocale(wine, "ja_JP.UTF-8", 932):
        for what, texts, refused in (("short names", short, [short[4]]), ("long names", long, [])):
            check_other_code_page(
                wine, check, what, [text.encode("cp932") for text in texts],
                [text.encode("cp932") for text in refused],
                too_small_names(texts, "cp932", len),
                lambda name: len(name.decode("cp932")) <= LONGEST_SELECTABLE_NAME)


# ---- main -------------------------------------------------------------------

STDOUT_KINDS = ["file", "pipe", "pty", "/dev/null", "/dev/full", "closed", "reader-gone",
                "invalid", "null"]


def probe(wine):
    """What standard output is, for each kind the cases use: its file type
    and what a one-byte write to it gives."""
    for mode in STDOUT_KINDS:
        result = wine.tool(mode, exe=wine.fixture_exe, args=["probe-stdout"])
        print("%-12s %s  (on stdout: %r)" %
              (mode, result.err.decode("ascii", "replace").strip(), result.out))


def build_fixture(path):
    source = os.path.join(HERE, "fixture.c")
    subprocess.run(["i686-w64-mingw32-gcc-win32", "-O2", "-Wall", "-Wextra", "-static", "-s",
                    "-Wl,--no-insert-timestamp", "-o", path, source, "-ladvapi32"], check=True)


SKIPPED = 77  # the exit status that tells CTest a case was skipped


def run_case(wine, name):
    """Runs one case: True when it passed, False when it failed, SKIPPED
    when it could not run here."""
    check = Check(name, os.path.basename(wine.exe or "zorvo-recolour.exe").encode())
    started = time.monotonic()
    try:
        wine.check_ready()
        CASES[name](wine, check)
    except Skip as reason:
        print("SKIP %s: %s (%.1f s)" % (name, reason, time.monotonic() - started))
        return SKIPPED
    except HarnessError as error:
        check.fail("harness error: %s" % error)
    except subprocess.TimeoutExpired as error:
        check.fail("timed out: %s" % error)
    ok = check.finish()
    print("%s %s (%.1f s)" % ("PASS" if ok else "FAIL", name, time.monotonic() - started))
    return ok


def exit_status(results):
    if False in results:
        return 1
    return SKIPPED if results and all(result == SKIPPED for result in results) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", help="zorvo-recolour.exe to test")
    parser.add_argument("--map", help="its linker map (default: beside the exe)")
    parser.add_argument("--fixture", help="the fixture program built from fixture.c")
    parser.add_argument("--prefix", help="the Wine prefix of this test run")
    parser.add_argument("--expect-caller", default="RecolouringRun",
                        help="function in which the first line's check lies")
    parser.add_argument("--expect-reporter", default="ReportFailure",
                        help="function in which the report's own output check lies")
    parser.add_argument("--shutdown-failure", choices=("report", "ignore"), default="report",
                        help="whether a failed final write-out at shutdown is reported")
    parser.add_argument("--build-fixture", action="store_true",
                        help="build the fixture program at --fixture first")
    parser.add_argument("--keep-prefix", action="store_true",
                        help="--teardown or --all: stop the server but keep the prefix")
    actions = parser.add_mutually_exclusive_group(required=True)
    actions.add_argument("--list", action="store_true", help="print the case names")
    actions.add_argument("--setup", action="store_true", help="make the prefix, start its server")
    actions.add_argument("--teardown", action="store_true", help="stop the server, remove the prefix")
    actions.add_argument("--case", action="append", help="run one case (repeatable)")
    actions.add_argument("--all", action="store_true", help="set up, run every case, tear down")
    actions.add_argument("--probe", action="store_true",
                         help="print the file type and write result of each kind of stdout")
    args = parser.parse_args()

    if args.list:
        print("\n".join(CASES))
        return 0
    if not args.prefix:
        parser.error("--prefix is required")
    if args.build_fixture:
        build_fixture(args.fixture)
    wine = Wine(args)
    try:
        if args.setup:
            wine.setup()
            return 0
        if args.teardown:
            wine.teardown(remove=not args.keep_prefix)
            return 0
        if args.probe:
            wine.check_ready()
            probe(wine)
            return 0
        if args.case:
            unknown = [name for name in args.case if name not in CASES]
            if unknown:
                parser.error("unknown case: %s" % ", ".join(unknown))
            return exit_status([run_case(wine, name) for name in args.case])
        started = time.monotonic()
        wine.setup()
        try:
            results = [run_case(wine, name) for name in CASES]
        finally:
            wine.teardown(remove=not args.keep_prefix)
        print("whole run, prefix included: %.1f s" % (time.monotonic() - started))
        print("e2e: %d passed, %d failed, %d skipped" % (
            results.count(True), results.count(False), results.count(SKIPPED)))
        return 1 if False in results else 0
    except HarnessError as error:
        print("harness error: %s" % error)
        return 2
    finally:
        wine.close()


if __name__ == "__main__":
    sys.exit(main())
