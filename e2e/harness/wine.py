"""Wine: the prefix of a test run and its persistent wineserver (registry
ACLs live only in the running server), programs run under it, and the
registry fixture driven through them."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import i386_host
from harness import HarnessError, stdout_kinds
from harness.processes import Spawned
from harness.registry import TOOL_ROOT, esc, parse_dump

WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    # Wine takes its code pages (ANSI 1252, OEM 437) and the encoding of
    # Unix file names from the locale.
    "LC_ALL": "C.UTF-8",
    "LANG": "C.UTF-8",
}
PREFIX_MARK = ".zorvo-e2e-prefix"
# This tree's Windows build: where the programs under test are unless given.
WINDOWS_BUILD = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              os.pardir, os.pardir, "build", "win32"))
DEFAULT_EXE = os.path.join(WINDOWS_BUILD, "zorvo-recolour.exe")
DEFAULT_FIXTURE = os.path.join(WINDOWS_BUILD, "e2e", "fixture.exe")
DEFAULT_COLOUR_BACKUP = os.path.join(WINDOWS_BUILD, "colour-backup.exe")


class Wine:
    """One prefix and the programs under test: the tool, its linker map and
    the registry fixture."""

    def __init__(self, prefix, exe, fixture_exe, map_path=None):
        self.prefix = os.path.abspath(prefix)
        self.exe = os.path.abspath(exe)
        self.fixture_exe = os.path.abspath(fixture_exe)
        self.map = map_path or os.path.splitext(self.exe)[0] + ".map"
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

    def setup(self, announce=print):
        if os.path.exists(self.prefix):
            if not os.path.exists(os.path.join(self.prefix, PREFIX_MARK)):
                raise HarnessError("%s exists and is not a prefix made by this suite" % self.prefix)
            self.teardown()
        os.makedirs(self.prefix)
        with open(os.path.join(self.prefix, PREFIX_MARK), "w") as mark:
            mark.write("made by the end-to-end harness; removed at the end of its run\n")
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
        announce("prefix %s made in %.1f s" % (self.prefix, time.monotonic() - started))
        announce("Wine's 32-bit side runs %s" % i386_host.run_probe().describe())
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
            raise HarnessError("no prefix at %s: make it first (python3 -m harness setup)" % self.prefix)
        for path in (self.exe, self.fixture_exe):
            if not os.path.isfile(path):
                raise HarnessError("missing program: %s" % path)

    # -- running programs --

    def run(self, argv, stdout=subprocess.PIPE, input=None, env=None, cwd=None):
        """Runs a program to its end; standard error, and standard output
        unless given, are pipes. ENV is added to the prefix's environment;
        CWD replaces the scratch folder."""
        return self.start(argv, stdout, input, env, cwd).finish()

    def start(self, argv, stdout=subprocess.PIPE, input=None, env=None, cwd=None):
        """Starts a program that runs beside the case until finish()."""
        return Spawned(argv, dict(self.env, **(env or {})), cwd or self.workdir, stdout, input)

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
        given kind (stdout_kinds.KINDS)."""
        return stdout_kinds.run(self, mode, exe or self.exe, list(args))
