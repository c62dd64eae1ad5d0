"""The post-mortem debugger that Wine starts for a failure nobody handled,
set for the length of a with block to a command that leaves a marker file
and ends at once: whether a run started it is then seen, however quickly
the debugger would have gone."""

import os

from harness import HarnessError
from harness.registry import REG_SZ, esc, parse_dump
from harness.stdout_kinds import windows_path

AEDEBUG = b"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"


def debugger_setting(wine):
    """AeDebug's values as the prefix holds them: {name: (type, data, ...)}."""
    aedebug = parse_dump(wine.fixture(("dumpkey %s\n" % esc(AEDEBUG)).encode("ascii")))
    return {} if aedebug.absent else aedebug.values[()]


def set_debugger(wine, kind, command):
    wine.fixture(("set %s %s %d %s\n" % (esc(AEDEBUG), esc(b"Debugger"), kind, esc(command)))
                 .encode("ascii"))


class MarkingDebugger:
    """The prefix's post-mortem debugger replaced by a command that leaves a
    marker; the setting it had comes back at the end of the block."""

    def __init__(self, wine):
        self.wine = wine
        self.marker = os.path.join(wine.workdir, "post-mortem-debugger-started")

    def __enter__(self):
        self.saved = debugger_setting(self.wine).get(b"Debugger")
        if self.saved is None:
            raise HarnessError("no post-mortem debugger is configured in the prefix")
        # The platform fills in the process and the event, as for winedbg.
        set_debugger(self.wine, REG_SZ, b"cmd.exe /c echo %ld %ld > " +
                     windows_path(self.marker).encode("ascii") + b"\0")
        return self

    def started(self):
        return os.path.exists(self.marker)

    def __exit__(self, *exc):
        set_debugger(self.wine, *self.saved[:2])
        if os.path.exists(self.marker):
            os.remove(self.marker)
