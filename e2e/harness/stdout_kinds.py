"""The kinds of standard output a case gives the tool (a file, one that
takes a single block, a pipe, a pty, the null and full devices, a closed
descriptor, a pipe whose reader has gone, no handle at all), and models of
what the 128-byte output channel writes and of what Wine's console makes of
those writes on a pty."""

import fcntl
import os
import pty
import select
import struct
import subprocess
import termios
import time

from harness import HarnessError
from harness.processes import RUN_TIMEOUT, Result
from harness.runs import CRLF

BUFFER = 128
# What Wine's console puts around the bytes of one write on a pty.
HIDE_CURSOR = b"\x1b[?25l"
SHOW_CURSOR = b"\x1b[?25h"

KINDS = ["file", "one-block-file", "pipe", "pty", "/dev/null", "/dev/full", "closed",
         "reader-gone", "invalid", "null"]


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def run(wine, mode, exe, args):
    """Runs EXE under Wine with standard output of the kind MODE."""
    argv = ["wine", exe] + args
    if mode == "pipe":
        return wine.run(argv)
    if mode in ("file", "one-block-file"):
        if mode == "one-block-file":
            argv = files_of_one_block(argv)
        path = os.path.join(wine.workdir, "stdout.bin")
        with open(path, "wb") as out:
            result = wine.run(argv, stdout=out)
        with open(path, "rb") as out:
            result.out = out.read()
        return result
    if mode in ("/dev/full", "/dev/null"):
        with open(mode, "wb") as out:
            return wine.run(argv, stdout=out)
    if mode == "closed":
        return wine.run(["/bin/sh", "-c", 'exec "$@" >&-', "sh"] + argv, stdout=None)
    if mode == "reader-gone":
        reader, writer = os.pipe()
        os.close(reader)
        try:
            return wine.run(argv, stdout=writer)
        finally:
            os.close(writer)
    if mode in ("invalid", "null"):
        return wine.run(["wine", wine.fixture_exe, "run-with-%s-stdout" % mode,
                         windows_path(exe)] + list(args))
    if mode == "pty":
        return run_on_pty(wine, argv)
    raise HarnessError("unknown standard output kind %s" % mode)


def files_of_one_block(argv):
    """ARGV run with every file it writes held to one block of the output
    channel: the write that would go past it fails (31), since SIGXFSZ is
    ignored, so what lands shows where the writes fell."""
    return ["/bin/sh", "-c", 'trap "" XFSZ; exec prlimit --fsize=%d "$@"' % BUFFER, "sh"] + argv


def run_on_pty(wine, argv, columns=1000, rows=1000):
    """Standard output on a raw pty, wide and tall enough that Wine's
    console neither wraps nor scrolls; stdin and stderr are not ttys."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST  # no LF to CR LF by the tty itself
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    err_path = os.path.join(wine.workdir, "stderr.bin")
    with open(err_path, "wb") as err:
        proc = subprocess.Popen(argv, env=wine.env, cwd=wine.workdir,
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


def probe(wine):
    """What standard output is, for each kind the cases use: its file type
    and what a one-byte write to it gives."""
    for mode in KINDS:
        result = wine.tool(mode, exe=wine.fixture_exe, args=["probe-stdout"])
        print("%-14s %s  (on stdout: %r)" %
              (mode, result.err.decode("ascii", "replace").strip(), result.out))
