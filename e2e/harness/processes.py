"""Programs run on the Unix side: to their end, or beside a case while it
does other things, with their output read as it comes."""

import os
import subprocess
import threading
import time

from harness import HarnessError

# Only a guard against a hung program: one run of 10,000 sessions takes
# over a minute where Wine's 32-bit side is emulated on an idle machine.
RUN_TIMEOUT = 600


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
