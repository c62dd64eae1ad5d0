"""The backup program and the main job as their users run them: the Wine
scripts (scripts/run.sh, scripts/restore.sh) on the suite's prefix with the
builds under test handed to them, the release archive that CPack makes,
unpacked where a Windows user keeps it, the backups' folders, the sessions
key as reg export writes it, and backup files changed with a checksum that
fits again."""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
import zlib

from harness import HarnessError
from harness.registry import REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_SZ, Seed, session

REG_NONE, REG_EXPAND_SZ, REG_QWORD = 0, 2, 11
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))
# Sessions of every kind a backup must keep: colour values of every type,
# some missing, another value, a subkey, a name with a space, punctuation, a
# percent sign and bytes above 127, a session without values, and one whose
# key refuses writes (LOCKED). ODD_NAME's 0x81 is a byte that the ANSI
# code page 1252 leaves undefined.
ODD_NAME = b"Caf\xe9 \x81 50% (v2)!"
SEED = {
    b"Mixed": [
        (b"Colour0", REG_SZ, b"187,187,187\0"),
        (b"Colour1", REG_EXPAND_SZ, b"%HOME%\\1,2,3\0"),
        (b"Colour2", REG_MULTI_SZ, b"1,1,1\0" b"2,2,2\0\0"),
        (b"Colour3", REG_DWORD, b"\xff\xff\x00\x00"),
        (b"Colour4", REG_BINARY, b"\xbb\x00\x00\xff"),
        (b"Colour5", REG_BINARY, b""),
        (b"Colour6", REG_QWORD, b"\x01\x02\x03\x04\x05\x06\x07\x08"),
        (b"Colour7", REG_NONE, b"\x00"),
        (b"Colour8", REG_SZ, b"1,2,3"),
        (b"Colour9", REG_EXPAND_SZ, b"7"),
        (b"Colour21", REG_SZ, b"255,255,255\0"),
        (b"HostName", REG_SZ, b"mixed.example\0"),
    ],
    b"Mixed\\Backup": [(b"Colour0", REG_SZ, b"1,1,1\0")],
    ODD_NAME: [(b"Colour0", REG_SZ, b"120,120,\xe9\0"), (b"Colour13", REG_DWORD, b"\x00\x00\x00\x01")],
    b"Locked": [(b"Colour0", REG_SZ, b"160,160,160\0"), (b"HostName", REG_SZ, b"locked.example\0")],
    b"Empty": [],
}
LOCKED = (b"Locked",)
SESSIONS_KEY = "HKCU\\Software\\Tessaloquin\\Zorvo\\Sessions"


def exit_statuses():
    """{STATUS_NAME: number}, read from backup/exit_status.h, where the
    program, the scripts and recolour.cmd take them from."""
    with open(os.path.join(REPO, "backup", "exit_status.h")) as header:
        return {name: int(number) for name, number in re.findall(r"^\s*(STATUS_\w+) = (\d+)", header.read(), re.M)}


STATUS = exit_statuses()


def seed_script(seed, locked=()):
    """A Seed of {session name: [(value name, type, data)]}, with the
    sessions in LOCKED made read-only."""
    script = Seed()
    for key, values in seed.items():
        script.key(session(key))
        for name, kind, data in values:
            script.value(session(key), name, kind, data)
    for name in locked:
        script.deny(session(name))
    return script


def files_of_at_most_a_kilobyte(argv):
    """ARGV run with writes past 1 KiB failing as on a full disk (SIGXFSZ
    ignored, so that they fail rather than kill; both survive the exec)."""
    limit = ("import os, resource, signal, sys; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
             "resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024)); os.execvp(sys.argv[1], sys.argv[1:])")
    return [sys.executable, "-c", limit] + list(argv)


class MainJob:
    """scripts/run.sh and scripts/restore.sh as a user runs them on the
    suite's prefix, with the backups in STATE and the builds under test."""

    def __init__(self, wine, colour_backup, state):
        self.wine, self.state = wine, str(state)
        self.env = {"XDG_STATE_HOME": self.state, "ZORVO_RECOLOUR_EXE": wine.exe,
                    "COLOUR_BACKUP_EXE": os.path.abspath(colour_backup)}

    def script(self, name, *arguments, full_disk=False, state=None):
        argv = [os.path.join(REPO, "scripts", name)] + [str(a) for a in arguments]
        env = dict(self.env, XDG_STATE_HOME=str(state or self.state))
        return self.wine.run(files_of_at_most_a_kilobyte(argv) if full_disk else argv, env=env)

    def run(self, **options):
        return self.script("run.sh", **options)

    def restore(self, *backup, **options):
        return self.script("restore.sh", *backup, **options)

    def backups(self):
        return sorted(glob.glob(os.path.join(glob.escape(self.state), "zorvo-recolour", "backups", "*", "*.colours")))


def windows_backups(wine):
    """The backups in %LOCALAPPDATA%\\zorvo-recolour\\backups of the prefix, oldest first."""
    return sorted(glob.glob(os.path.join(glob.escape(wine.prefix), "drive_c", "users", "*", "AppData", "Local",
                                         "zorvo-recolour", "backups", "*")))


def clear_windows_backups(wine):
    for folder in glob.glob(os.path.join(glob.escape(wine.prefix), "drive_c", "users", "*", "AppData", "Local",
                                         "zorvo-recolour")):
        shutil.rmtree(folder)


def reg_export(wine, folder):
    """The sessions key as reg export writes it (UTF-16, every value's type
    and bytes); None when there is no such key."""
    result = wine.run(["wine", "reg", "export", SESSIONS_KEY, "sessions.reg", "/y"], cwd=folder)
    path = os.path.join(folder, "sessions.reg")
    if result.status != 0:
        return None
    with open(path, "rb") as export:
        data = export.read()
    os.remove(path)
    return data


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def refit(backup_text, change):
    """The backup with CHANGE applied to everything before its end line, and
    an end line that fits again."""
    body = change(backup_text[:backup_text.rindex(b"\nend ") + 1])
    sessions = body.count(b"\nsession ")
    return body + b"end %d %08x\n" % (sessions, zlib.crc32(body))


def unpacked_release(exe, colour_backup, folder):
    """The release archive that CPack makes from COLOUR_BACKUP's build tree,
    unpacked into FOLDER as a user unpacks it; the folder it holds. Fails
    unless its programs are the builds under test."""
    build = os.path.dirname(os.path.abspath(colour_backup))
    packages = os.path.join(folder, "cpack")
    made = subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", packages],
                          capture_output=True, timeout=300)
    archives = glob.glob(os.path.join(glob.escape(packages), "*.zip"))
    if made.returncode != 0 or len(archives) != 1:
        raise HarnessError("cpack failed: %s" % (made.stdout + made.stderr).decode("utf-8", "replace"))
    with zipfile.ZipFile(archives[0]) as archive:
        [top] = {name.split("/")[0] for name in archive.namelist()}
        archive.extractall(folder)
    shutil.rmtree(packages)
    unpacked = os.path.join(folder, top)
    for program, built in (("zorvo-recolour.exe", exe), ("colour-backup.exe", colour_backup)):
        with open(os.path.join(unpacked, program), "rb") as shipped, open(built, "rb") as tested:
            if shipped.read() != tested.read():
                raise HarnessError("the archive's %s is not the build under test, %s" % (program, built))
    return unpacked
