"""The main job's backup and scripts/restore.sh, under Wine.

scripts/run.sh is run as a user runs it, on a scratch Wine prefix of this
module's own (its path holds a space and a non-ASCII letter), with the
backups kept in a state folder of each case's own. Sessions are seeded with
colour values of every type, some missing, another value, a subkey, a name
with bytes above 127 and punctuation, and a key that refuses writes. The
registry is compared as e2e/fixture.exe dumps it: every key, and every
value's type and bytes as the ANSI calls give them and as the registry
keeps them. The cases: a run and a restore give back the very registry the
run started from, and a second restore writes nothing; the main job's output
and exit status are the tool's; a value that cannot be put back is reported;
sessions deleted or created since, and other values and subkeys, are left
alone; restore takes the newest backup of the prefix; damaged, foreign and
other prefixes' files are refused with nothing changed; no sessions key
means no backup and the tool's own run; a backup that cannot be written
keeps the tool from running.

Run by CTest (e2e.backup_restore); by hand, after the win32 build:
    pytest-3 -p no:cacheprovider e2e/test_backup_restore.py
"""

import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import zlib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
WINDOWS_BUILD = Path(os.environ.get("ZORVO_WINDOWS_BUILD_DIR") or REPO / "build" / "win32")
TOOL = WINDOWS_BUILD / "zorvo-recolour.exe"
FIXTURE = WINDOWS_BUILD / "e2e" / "fixture.exe"
SESSIONS = b"Software\\Tessaloquin\\Zorvo\\Sessions"
BACKUP_NOT_WRITTEN = 73
REFUSED = 2
REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 0, 1, 2, 3, 4, 7, 11

# A name with a space, punctuation, a percent sign and bytes above 127
# (0x81 is a byte that the ANSI code page 1252 leaves undefined).
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


def escape(data):
    """A token of the fixture's scripts: every byte other than 0x21-0x7E, and the backslash, as \\xNN."""
    if not data:
        return "\\-"
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x5C else "\\x%02X" % b for b in data)


def session_path(name):
    return escape(SESSIONS + b"\\" + name)


class Prefix:
    """The scratch prefix, and the commands the cases run in it."""

    def __init__(self, path):
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8", LANG="C.UTF-8")

    def fixture(self, *lines):
        script = ("\n".join(lines) + "\n").encode("ascii")
        done = subprocess.run(["wine", str(FIXTURE), "script"], input=script, env=self.env,
                              capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr.decode(errors="replace")
        return done.stdout

    def dump(self):
        return self.fixture("dump Software\\Tessaloquin")

    def seed(self, seed=SEED, locked=(b"Locked",)):
        lines = ["reset"]
        for key, values in seed.items():
            lines.append("key " + session_path(key))
            lines += ["set %s %s %d %s" % (session_path(key), escape(name), kind, escape(data))
                      for name, kind, data in values]
        lines += ["deny " + session_path(name) for name in locked]
        self.fixture(*lines)

    def script(self, name, *arguments, state, preexec_fn=None):
        return subprocess.run([str(REPO / "scripts" / name), *map(str, arguments)],
                              env=dict(self.env, XDG_STATE_HOME=str(state)), capture_output=True,
                              timeout=300, preexec_fn=preexec_fn)

    def run_main_job(self, state, preexec_fn=None):
        return self.script("run.sh", state=state, preexec_fn=preexec_fn)

    def restore(self, *backup, state):
        return self.script("restore.sh", *backup, state=state)


@pytest.fixture(scope="module")
def prefix():
    root = Path(tempfile.mkdtemp(prefix="zorvo-backup-"))
    wine = Prefix(root / "pr\u00e9fix 1")
    wine.path.mkdir()
    try:
        # Key permissions live only in the running server: one persistent
        # server serves the module. The services that wineboot starts
        # outlive it, so their output goes to a file, never a pipe.
        with open(root / "wineboot.log", "wb") as log:
            subprocess.run(["wineserver", "-p"], env=wine.env, stdout=log, stderr=log, check=True)
            subprocess.run(["wineboot", "-i"], env=wine.env, stdin=subprocess.DEVNULL, stdout=log,
                           stderr=log, check=True, timeout=600)
        yield wine
    finally:
        subprocess.run(["wineserver", "-k"], env=wine.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=wine.env, capture_output=True)
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def wine(prefix):
    prefix.fixture("reset")
    return prefix


def files_of_at_most_a_kilobyte():
    """Writes past 1 KiB fail as on a full disk (SIGXFSZ ignored, so they fail rather than kill)."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))


def parse_dump(dump):
    """{key path: {value name: the value's record}} from a fixture dump."""
    keys, current = {}, None
    for line in dump.split(b"\n"):
        fields = line.split(b" ")
        if fields[0] == b"K":
            current = keys.setdefault(tuple(fields[2:]), {})
        elif fields[0] == b"V":
            current[fields[1]] = tuple(fields[2:])
    return keys


def session_key(name):
    return (b"Zorvo", b"Sessions", escape(name).encode())


def backups(state):
    return sorted(state.glob("zorvo-recolour/backups/*/*.colours"))


def rewrite(backup_text, change):
    """The backup with CHANGE applied to its body and a checksum that fits again."""
    body = change(backup_text[:backup_text.rindex(b"\nend ") + 1])
    sessions = body.count(b"\nsession ")
    return body + b"end %d %08x\n" % (sessions, zlib.crc32(body))


def test_run_then_restore_gives_back_the_registry_byte_for_byte(wine, tmp_path):
    wine.seed()
    before = wine.dump()
    run = wine.run_main_job(tmp_path)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    [backup] = backups(tmp_path)
    assert str(backup).encode() in run.stderr
    assert backup.parent.name.startswith("pr__fix_1-"), "the folder is named after the prefix, byte by byte"
    assert wine.dump() != before

    restore = wine.restore(state=tmp_path)
    assert restore.returncode == 0, restore.stdout + restore.stderr
    assert wine.dump() == before

    # Nothing differs now, so nothing is written: a key that refuses writes
    # would make any write a reported failure.
    wine.fixture("deny " + session_path(b"Mixed"))
    again = wine.restore(backup, state=tmp_path)
    assert (again.returncode, b"Could not" in again.stdout) == (0, False), again.stdout
    assert b"Put back 0 values" in again.stdout
    assert wine.dump() == before


def test_the_main_jobs_output_and_status_are_the_tools(wine, tmp_path):
    wine.seed()
    run = wine.run_main_job(tmp_path)
    assert wine.restore(state=tmp_path).returncode == 0
    alone = subprocess.run(["wine", str(TOOL)], env=wine.env, capture_output=True, timeout=120)
    assert (run.returncode, run.stdout) == (alone.returncode, alone.stdout)
    assert b"Could not write value" in run.stdout, "the locked session's failures are the tool's lines"


def test_restore_reports_each_value_it_cannot_put_back(wine, tmp_path):
    wine.seed()
    before = parse_dump(wine.dump())
    wine.run_main_job(tmp_path)
    after_run = parse_dump(wine.dump())
    wine.fixture("deny " + session_path(ODD_NAME))
    restore = wine.restore(state=tmp_path)
    assert restore.returncode == 1
    odd = session_key(ODD_NAME)
    changed = [n for n in range(22) if before[odd].get(b"Colour%d" % n) != after_run[odd].get(b"Colour%d" % n)]
    expected = b"".join(b'Could not put back Colour%d of session "Caf\xc3\xa9 \xc2\x81 50%% (v2)!" (error 5)\n' % n
                        for n in changed)
    assert restore.stdout.startswith(expected), restore.stdout
    after = parse_dump(wine.dump())
    assert after[odd] == after_run[odd]
    assert {k: v for k, v in after.items() if k != odd} == {k: v for k, v in before.items() if k != odd}


def test_sessions_deleted_or_created_since_and_other_values_are_left_alone(wine, tmp_path):
    wine.seed()
    before = parse_dump(wine.dump())
    wine.run_main_job(tmp_path)
    mixed, backup_subkey, new = session_key(b"Mixed"), session_key(b"Mixed") + (b"Backup",), session_key(b"New")
    wine.fixture("deltree " + session_path(b"Empty"),
                 "set %s Colour0 1 4,4,4\\x00" % session_path(b"Mixed\\Backup"),
                 "set %s HostName 1 moved.example\\x00" % session_path(b"Mixed"),
                 "set %s Colour0 1 9,9,9\\x00" % session_path(b"New"),
                 "set %s Colour5 4 \\x07\\x00\\x00\\x00" % session_path(b"New"))
    since = parse_dump(wine.dump())
    restore = wine.restore(state=tmp_path)
    assert restore.returncode == 0, restore.stdout
    assert b'Session "Empty" no longer exists: left alone\n' in restore.stdout

    expected = {key: values for key, values in before.items() if key != session_key(b"Empty")}
    expected[mixed] = {**before[mixed], b"HostName": since[mixed][b"HostName"]}
    expected[backup_subkey] = since[backup_subkey]
    expected[new] = since[new]
    assert parse_dump(wine.dump()) == expected


def test_restore_takes_the_newest_backup_of_the_prefix(wine, tmp_path):
    wine.seed()
    wine.run_main_job(tmp_path)
    wine.fixture("set %s Colour0 4 \\x09\\x00\\x00\\x00" % session_path(b"Mixed"))
    between = wine.dump()
    wine.run_main_job(tmp_path)
    first, newest = backups(tmp_path)
    assert first.parent == newest.parent
    assert wine.restore(state=tmp_path).returncode == 0
    assert wine.dump() == between


def test_damaged_foreign_and_other_prefixes_backups_change_nothing(wine, tmp_path):
    wine.seed()
    before = wine.dump()
    wine.run_main_job(tmp_path)
    [backup] = backups(tmp_path)
    text = backup.read_bytes()
    after_run = wine.dump()
    variants = {
        "empty": b"",
        "foreign": b"Windows Registry Editor Version 5.00\r\n",
        "unknown format": text.replace(b"format 1\n", b"format 2\n", 1),
        "cut short": text[:len(text) // 2],
        "cut at a line": text[:text.index(b"\nsession ", 200) + 1],
        "one byte changed": text.replace(b"Colour0 1 31", b"Colour0 1 32", 1),
        "a session removed": text.replace(text[text.index(b"session Empty"):text.index(b"session Locked")], b"", 1),
        "CR LF line ends": text.replace(b"\n", b"\r\n"),
        "another prefix": rewrite(text, lambda body: re.sub(rb"\nprefix \S+", rb"\nprefix /elsewhere", body)),
        "refitted but malformed": rewrite(text, lambda body: body.replace(b"Colour3 4 ", b"Colour3 x ", 1)),
    }
    for what, damaged in variants.items():
        path = tmp_path / ("%s.colours" % what)
        path.write_bytes(damaged)
        refused = wine.restore(path, state=tmp_path)
        assert (what, refused.returncode) == (what, REFUSED), refused.stdout + refused.stderr
        assert b"Nothing was changed." in refused.stderr, (what, refused.stderr)
        assert wine.dump() == after_run, what
    assert wine.restore(backup, state=tmp_path).returncode == 0
    assert wine.dump() == before


def test_without_a_sessions_key_nothing_is_saved_and_the_tool_runs(wine, tmp_path):
    wine.fixture("key Software\\Tessaloquin\\Zorvo")
    run = wine.run_main_job(tmp_path)
    assert (run.returncode, run.stdout) == (0, b"")
    assert b"nothing to back up" in run.stderr
    assert backups(tmp_path) == []
    nothing = wine.restore(state=tmp_path)
    assert nothing.returncode == REFUSED and b"no backup of the prefix" in nothing.stderr


def test_a_backup_that_cannot_be_written_keeps_the_tool_from_running(wine, tmp_path):
    wine.seed()
    before = wine.dump()
    not_a_folder = tmp_path / "state"
    not_a_folder.write_bytes(b"")
    run = wine.run_main_job(not_a_folder)
    assert (run.returncode, run.stdout) == (BACKUP_NOT_WRITTEN, b"")
    assert b"the tool was not run" in run.stderr
    assert wine.dump() == before

    full = wine.run_main_job(tmp_path, preexec_fn=files_of_at_most_a_kilobyte)
    assert (full.returncode, full.stdout) == (BACKUP_NOT_WRITTEN, b""), full.stderr
    assert b"could not write the backup" in full.stderr
    assert list(tmp_path.glob("zorvo-recolour/backups/*/*")) == [], "no backup cut short is left"
    assert wine.dump() == before

    # A session that cannot be read cannot be saved: the backup would not
    # be whole.
    wine.fixture("sddl %s D:P(A;;KW;;;WD)" % session_path(b"Empty"))
    run = wine.run_main_job(tmp_path)
    assert (run.returncode, run.stdout) == (BACKUP_NOT_WRITTEN, b"")
    assert b'could not read the colour values of session "Empty"' in run.stderr
    assert list(tmp_path.glob("zorvo-recolour/backups/*/*")) == []
    mixed = session_key(b"Mixed")
    untouched = {key[len(mixed):]: values for key, values in parse_dump(before).items() if key[:len(mixed)] == mixed}
    assert parse_dump(wine.fixture("dump " + session_path(b"Mixed"))) == untouched
