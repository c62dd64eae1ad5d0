#!/usr/bin/env python3
"""How this host runs 32-bit x86 programs, and the set-up that makes it run
them where the kernel refuses them.

Wine's 32-bit side (and so zorvo-recolour.exe under Wine) is an i386 ELF
program.  A kernel built or booted without IA-32 emulation, or a host of
another architecture, refuses such programs ("Exec format error"); there they
run under qemu's user-mode emulation, registered with binfmt_misc as the
handler of i386 ELF programs.  binfmt_misc handlers are consulted before the
kernel's own ELF loader, so one is registered only where the kernel refuses.

    i386_host.py describe   one line: "natively" or "emulated by qemu-i386 V"
    i386_host.py setup      as root: install and register what is missing,
                            then check; otherwise print the commands to run

ZORVO_EMULATE_I386=1 makes `setup` register the handler even on a host that
runs 32-bit code natively, to try the emulated path there.
"""

import errno
import os
import re
import shlex
import subprocess
import sys
import tempfile

# The least qemu that starts a Wine process in well under a second: older
# ones spend tens of seconds of CPU in their address-space bookkeeping.
LEAST_QEMU_MAJOR = 8
QEMU_PACKAGE = "qemu-user-static"
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
HANDLER_NAME = "qemu-i386"
INTERPRETER = "/usr/libexec/qemu-binfmt/i386-binfmt-P"
# An ELF header of class 32, little-endian, version 1, type EXEC or DYN,
# machine 3 (i386); the mask lets the OS ABI byte and the low bit of the
# type vary.  Flags: O hands the program over open, P keeps argv[0], F opens
# the interpreter now, so that it works in any mount namespace.
MAGIC = b"\x7fELF\x01\x01\x01" + bytes(9) + b"\x02\x00\x03\x00"
MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff"


def escaped(data):
    return "".join("\\x%02x" % byte for byte in data)


REGISTRATION = ":%s:M::%s:%s:%s:OPF" % (HANDLER_NAME, escaped(MAGIC), escaped(MASK), INTERPRETER)
SOURCES_DIR = "/etc/apt/sources.list.d"
DEBIAN_MIRROR = "http://deb.debian.org/debian"
DEBIAN_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


class SetupError(Exception):
    """The host cannot be made to run 32-bit programs; the message says why."""


# ---- the probe -------------------------------------------------------------

def probe_program():
    """A static i386 ELF program of 116 bytes: it writes "x" to standard
    output, then waits for a signal.  While it waits, /proc/PID/exe names
    whatever runs it: the program itself, or an emulator."""
    base = 0x08048000
    code_at = 52 + 32
    before_message = 31
    message_at = base + code_at + before_message
    code = (b"\xb8\x04\x00\x00\x00"                       # mov eax, 4 (write)
            b"\xbb\x01\x00\x00\x00"                       # mov ebx, 1
            + b"\xb9" + message_at.to_bytes(4, "little")  # mov ecx, message
            + b"\xba\x01\x00\x00\x00"                     # mov edx, 1
            b"\xcd\x80"                                   # int 0x80
            b"\xb8\x1d\x00\x00\x00"                       # mov eax, 29 (pause)
            b"\xcd\x80"                                   # int 0x80
            b"\xeb\xf7")                                  # jmp back to the pause
    assert len(code) == before_message
    code += b"x"
    size = code_at + len(code)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9)
              + (2).to_bytes(2, "little") + (3).to_bytes(2, "little")  # EXEC, i386
              + (1).to_bytes(4, "little") + (base + code_at).to_bytes(4, "little")
              + (52).to_bytes(4, "little") + bytes(4) + bytes(4)
              + (52).to_bytes(2, "little") + (32).to_bytes(2, "little") + (1).to_bytes(2, "little")
              + bytes(6))
    segment = b"".join(value.to_bytes(4, "little") for value in
                       (1, 0, base, base, size, size, 5, 0x1000))  # LOAD, R+X
    return header + segment + code


class Probe:
    """What running an i386 program on this host showed.

    mode: "native", "emulated" or "refused"; for "emulated", runner is the
    path of the emulator that ran it (with " (deleted)" when the file has
    been replaced since the handler opened it), version qemu's version, and
    stale whether the handler still holds an emulator other than the one
    installed at its interpreter path."""

    def __init__(self, mode, runner=None, version=None, stale=False, detail=""):
        self.mode, self.runner, self.version, self.stale, self.detail = mode, runner, version, stale, detail

    def describe(self):
        if self.mode == "native":
            return "natively"
        if self.mode == "emulated":
            return "emulated by qemu-i386 %s" % (self.version or "(version unknown)")
        return "not at all (%s)" % self.detail

    def usable(self):
        return self.mode == "native" or (
            self.mode == "emulated" and not self.stale
            and qemu_major(self.version) >= LEAST_QEMU_MAJOR)


def run_probe():
    with tempfile.TemporaryDirectory(prefix="zorvo-i386-probe-") as folder:
        path = os.path.join(folder, "probe")
        with open(path, "wb") as program:
            program.write(probe_program())
        os.chmod(path, 0o755)
        try:
            proc = subprocess.Popen([path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
        except OSError as error:
            if error.errno != errno.ENOEXEC:
                raise SetupError("cannot start the probe program %s: %s (TMPDIR names the folder it is made in)"
                                 % (path, error.strerror))
            return Probe("refused", detail=error.strerror)
        try:
            if proc.stdout.read(1) != b"x":
                return Probe("refused", detail="the probe ended with status %s" % proc.wait())
            exe = "/proc/%d/exe" % proc.pid
            runner = os.readlink(exe)
            if os.path.samefile(exe, path):
                return Probe("native")
            return Probe("emulated", runner, emulator_version(exe),
                         stale=not same_file(exe, INTERPRETER))
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def emulator_version(exe):
    """The version that the running emulator gives of itself ("10.0.2")."""
    try:
        out = subprocess.run([exe, "--version"], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    match = re.search(r"version (\d+(?:\.\d+)*)", out)
    return match.group(1) if match else None


def qemu_major(version):
    """The major version of "10.0.2" or of a Debian version such as
    "1:7.2+dfsg-7+deb12u18+b3"; 0 when there is none."""
    match = re.match(r"(?:\d+:)?(\d+)", version or "")
    return int(match.group(1)) if match else 0


# ---- the set-up ------------------------------------------------------------

def installed_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}", package],
                            capture_output=True, text=True)
    fields = result.stdout.split()
    return fields[-1] if result.returncode == 0 and fields[:3] == ["install", "ok", "installed"] else None


def candidate_version(package, release=None):
    command = ["apt-cache", "policy", package]
    if release:
        command[1:1] = ["-t", release]
    out = subprocess.run(command, capture_output=True, text=True).stdout
    match = re.search(r"Candidate:\s*(\S+)", out)
    return match.group(1) if match and match.group(1) != "(none)" else None


def codename():
    with open("/etc/os-release") as release:
        for line in release:
            name, _, value = line.strip().partition("=")
            if name == "VERSION_CODENAME":
                return value.strip('"')
    raise SetupError("/etc/os-release names no release; install %s %d or later by hand"
                     % (QEMU_PACKAGE, LEAST_QEMU_MAJOR))


def has_apt_suite(suite):
    """Whether an apt source, one-line or deb822, already serves SUITE."""
    paths = ["/etc/apt/sources.list"]
    if os.path.isdir(SOURCES_DIR):
        paths += [os.path.join(SOURCES_DIR, name) for name in sorted(os.listdir(SOURCES_DIR))
                  if name.endswith((".list", ".sources"))]
    for path in paths:
        try:
            with open(path) as source:
                for line in source:
                    words = line.split("#", 1)[0].split()
                    if suite in words:
                        return True
        except OSError:
            continue
    return False


def backports_source(suite):
    return ("Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n"
            % (DEBIAN_MIRROR, suite, DEBIAN_KEYRING))


def registered_i386_handlers():
    """The names of the binfmt_misc handlers that claim i386 ELF programs."""
    wanted = MAGIC.hex()
    names = []
    for name in sorted(os.listdir(BINFMT_DIR)):
        if name in ("register", "status"):
            continue
        try:
            with open(os.path.join(BINFMT_DIR, name)) as entry:
                fields = dict(line.rstrip("\n").split(" ", 1) for line in entry if " " in line)
        except OSError:
            continue
        if fields.get("magic", "").replace(" ", "") == wanted:
            names.append(name)
    return names


class Plan:
    """The steps that make this host run i386 programs, as commands that a
    root shell runs in order; kept as text so that a user who is not root
    can be shown exactly what to run."""

    def __init__(self):
        self.commands = []

    def add(self, *words, redirect=None):
        line = " ".join(shlex.quote(word) for word in words)
        self.commands.append(line + (" > " + shlex.quote(redirect) if redirect else ""))


def plan_setup(lists_fresh):
    """The commands that leave the emulator registered and current, from
    what is installed and registered.  Reads the host; changes nothing."""
    plan = Plan()
    if qemu_too_old():
        release = None
        if not lists_fresh:
            plan.add("apt-get", "update", "-qq")
        if qemu_major(candidate_version(QEMU_PACKAGE)) < LEAST_QEMU_MAJOR:
            release = codename() + "-backports"
            if not has_apt_suite(release):
                source = os.path.join(SOURCES_DIR, release + ".sources")
                plan.add("printf", "%s", backports_source(release), redirect=source)
                plan.add("apt-get", "update", "-qq")
        # Backports keep their default priority: only the package named
        # here, and what it needs, comes from them.
        target = ["-t", release] if release else []
        plan.add("apt-get", "install", "-y", "-qq", "--no-install-recommends", *target, QEMU_PACKAGE)
    if not os.path.exists(os.path.join(BINFMT_DIR, "register")):
        plan.add("mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_DIR)
        handlers = []
    else:
        handlers = registered_i386_handlers()
    # A handler opened its emulator when it was registered: after an upgrade
    # it still runs the old one, so it is registered again.
    for name in handlers:
        plan.add("printf", "%s", "-1", redirect=os.path.join(BINFMT_DIR, name))
    plan.add("printf", "%s", REGISTRATION, redirect=os.path.join(BINFMT_DIR, "register"))
    return plan


def qemu_too_old():
    return qemu_major(installed_version(QEMU_PACKAGE)) < LEAST_QEMU_MAJOR


def run_step(command):
    print("+ " + command, file=sys.stderr)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    # Standard output belongs to the script that set the host up; what apt
    # and dpkg say there is progress, and their errors go to standard error.
    if subprocess.run(command, shell=True, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        raise SetupError("this step failed: " + command)


def setup():
    probe = run_probe()
    forced = os.environ.get("ZORVO_EMULATE_I386") == "1" and probe.mode == "native"
    if probe.usable() and not forced:
        return 0
    why = ("ZORVO_EMULATE_I386=1 asks for emulation" if forced
           else "This host runs 32-bit x86 programs " + probe.describe())
    print("%s; Wine's 32-bit side then needs %s %d or later registered with binfmt_misc."
          % (why, QEMU_PACKAGE, LEAST_QEMU_MAJOR), file=sys.stderr)
    if probe.mode == "emulated" and probe.stale:
        print("The registered handler runs %s, not the installed %s." % (probe.runner, INTERPRETER),
              file=sys.stderr)
    root = os.geteuid() == 0
    # The package lists decide where a recent enough qemu comes from.
    if root and qemu_too_old():
        run_step("apt-get update -qq")
    plan = plan_setup(lists_fresh=root)
    if not root:
        print("Run as root:", file=sys.stderr)
        for command in plan.commands:
            print("  " + command, file=sys.stderr)
        return 1
    for command in plan.commands:
        run_step(command)
    probe = run_probe()
    if probe.mode != "emulated" or not probe.usable():
        raise SetupError("after the set-up this host still runs 32-bit x86 programs %s%s"
                         % (probe.describe(), ", from a stale handler" if probe.stale else ""))
    print("32-bit x86 programs now run " + probe.describe(), file=sys.stderr)
    return 0


def describe():
    probe = run_probe()
    print(probe.describe())
    return 0 if probe.mode != "refused" else 1


def main(argv):
    command = {"describe": describe, "setup": setup}.get(" ".join(argv[1:]))
    if not command:
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    try:
        return command()
    except SetupError as error:
        print("Cannot run 32-bit x86 programs on this host: %s." % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
