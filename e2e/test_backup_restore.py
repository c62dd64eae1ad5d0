"""The main job's backup and scripts/restore.sh, under Wine.

scripts/run.sh is run as a user runs it, on the suite's prefix, with the
backups kept in a state folder of each case's own; one case runs it on a
prefix of its own whose path holds a space and a non-ASCII letter. Sessions
are seeded with colour values of every type, some missing, another value, a
subkey, a name with bytes above 127 and punctuation, and a key that refuses
writes. The registry is compared as the fixture dumps it: every key, and
every value's type and bytes as the ANSI calls give them and as the registry
keeps them. The cases: a run and a restore give back the very registry the
run started from, and a second restore writes nothing; the main job's output
and exit status are the tool's; a value that cannot be put back is reported;
sessions deleted or created since, and other values and subkeys, are left
alone; restore takes the newest backup of the prefix; damaged, foreign and
other prefixes' files are refused with nothing changed; no sessions key
means no backup and the tool's own run; a backup that cannot be written
keeps the tool from running.
"""

import os
import re
import resource
import signal
import subprocess
import zlib
from pathlib import Path

import pytest

from harness.registry import (REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_SZ, TOOL_ROOT, Seed, esc,
                              parse_dump, session)
from harness.wine import Wine

REPO = Path(__file__).resolve().parents[1]
BACKUP_NOT_WRITTEN = 73
REFUSED = 2
REG_NONE, REG_EXPAND_SZ, REG_QWORD = 0, 2, 11

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


def session_path(name):
    return Seed.path(session(name))


class MainJob:
    """The main job and the restore command as a user runs them, on a
    prefix, and the fixture commands the cases run beside them."""

    def __init__(self, wine):
        self.wine = wine

    def fixture(self, *lines):
        return self.wine.fixture(("\n".join(lines) + "\n").encode("ascii"))

    def dump(self):
        """The tool's tree exactly as the fixture dumps it."""
        return self.fixture("dump " + esc(TOOL_ROOT))

    def values(self, path=TOOL_ROOT):
        """{key path: {value name: (type, data, stored)}} of that subtree."""
        return self.wine.dump(path).values

    def seed(self, seed=SEED, locked=(b"Locked",)):
        script = Seed()
        for key, values in seed.items():
            script.key(session(key))
            for name, kind, data in values:
                script.value(session(key), name, kind, data)
        for name in locked:
            script.deny(session(name))
        self.wine.fixture(script.script())

    def script(self, name, *arguments, state, preexec_fn=None):
        return subprocess.run([str(REPO / "scripts" / name), *map(str, arguments)],
                              env=dict(self.wine.env, XDG_STATE_HOME=str(state)), capture_output=True,
                              timeout=300, preexec_fn=preexec_fn)

    def run_main_job(self, state, preexec_fn=None):
        return self.script("run.sh", state=state, preexec_fn=preexec_fn)

    def restore(self, *backup, state):
        return self.script("restore.sh", *backup, state=state)


@pytest.fixture
def job(wine):
    return MainJob(wine)


@pytest.fixture
def odd_prefix(request, tmp_path):
    """A prefix of its own, its path with a space and a non-ASCII letter,
    and its wineserver up until the case ends."""
    options = request.config.option
    wine = Wine(str(tmp_path / "pr\u00e9fix 1"), options.exe, options.fixture, options.map)
    try:
        wine.setup()
        yield MainJob(wine)
    finally:
        wine.teardown()
        wine.close()


def files_of_at_most_a_kilobyte():
    """Writes past 1 KiB fail as on a full disk (SIGXFSZ ignored, so they fail rather than kill)."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))


def backups(state):
    return sorted(state.glob("zorvo-recolour/backups/*/*.colours"))


def rewrite(backup_text, change):
    """The backup with CHANGE applied to its body and a checksum that fits again."""
    body = change(backup_text[:backup_text.rindex(b"\nend ") + 1])
    sessions = body.count(b"\nsession ")
    return body + b"end %d %08x\n" % (sessions, zlib.crc32(body))


def test_run_then_restore_gives_back_the_registry_byte_for_byte(job, tmp_path):
    job.seed()
    before = job.dump()
    run = job.run_main_job(tmp_path)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    [backup] = backups(tmp_path)
    assert str(backup).encode() in run.stderr
    assert job.dump() != before

    restore = job.restore(state=tmp_path)
    assert restore.returncode == 0, restore.stdout + restore.stderr
    assert job.dump() == before

    # Nothing differs now, so nothing is written: a key that refuses writes
    # would make any write a reported failure.
    job.fixture("deny " + session_path(b"Mixed"))
    again = job.restore(backup, state=tmp_path)
    assert (again.returncode, b"Could not" in again.stdout) == (0, False), again.stdout
    assert b"Put back 0 values" in again.stdout
    assert job.dump() == before


def test_the_main_jobs_output_and_status_are_the_tools(job, tmp_path):
    job.seed()
    run = job.run_main_job(tmp_path)
    assert job.restore(state=tmp_path).returncode == 0
    alone = subprocess.run(["wine", job.wine.exe], env=job.wine.env, capture_output=True, timeout=120)
    assert (run.returncode, run.stdout) == (alone.returncode, alone.stdout)
    assert b"Could not write value" in run.stdout, "the locked session's failures are the tool's lines"


def test_restore_reports_each_value_it_cannot_put_back(job, tmp_path):
    job.seed()
    before = job.values()
    job.run_main_job(tmp_path)
    after_run = job.values()
    job.fixture("deny " + session_path(ODD_NAME))
    restore = job.restore(state=tmp_path)
    assert restore.returncode == 1
    odd = session(ODD_NAME)
    changed = [n for n in range(22) if before[odd].get(b"Colour%d" % n) != after_run[odd].get(b"Colour%d" % n)]
    expected = b"".join(b'Could not put back Colour%d of session "Caf\xc3\xa9 \xc2\x81 50%% (v2)!" (error 5)\n' % n
                        for n in changed)
    assert restore.stdout.startswith(expected), restore.stdout
    after = job.values()
    assert after[odd] == after_run[odd]
    assert {k: v for k, v in after.items() if k != odd} == {k: v for k, v in before.items() if k != odd}


def test_sessions_deleted_or_created_since_and_other_values_are_left_alone(job, tmp_path):
    job.seed()
    before = job.values()
    job.run_main_job(tmp_path)
    mixed, backup_subkey, new = session(b"Mixed"), session(b"Mixed") + (b"Backup",), session(b"New")
    job.fixture("deltree " + session_path(b"Empty"),
                 "set %s Colour0 1 4,4,4\\x00" % session_path(b"Mixed\\Backup"),
                 "set %s HostName 1 moved.example\\x00" % session_path(b"Mixed"),
                 "set %s Colour0 1 9,9,9\\x00" % session_path(b"New"),
                 "set %s Colour5 4 \\x07\\x00\\x00\\x00" % session_path(b"New"))
    since = job.values()
    restore = job.restore(state=tmp_path)
    assert restore.returncode == 0, restore.stdout
    assert b'Session "Empty" no longer exists: left alone\n' in restore.stdout

    expected = {key: values for key, values in before.items() if key != session(b"Empty")}
    expected[mixed] = {**before[mixed], b"HostName": since[mixed][b"HostName"]}
    expected[backup_subkey] = since[backup_subkey]
    expected[new] = since[new]
    assert job.values() == expected


def test_restore_takes_the_newest_backup_of_the_prefix(job, tmp_path):
    job.seed()
    job.run_main_job(tmp_path)
    job.fixture("set %s Colour0 4 \\x09\\x00\\x00\\x00" % session_path(b"Mixed"))
    between = job.dump()
    job.run_main_job(tmp_path)
    first, newest = backups(tmp_path)
    assert first.parent == newest.parent
    assert job.restore(state=tmp_path).returncode == 0
    assert job.dump() == between


def test_damaged_foreign_and_other_prefixes_backups_change_nothing(job, tmp_path):
    job.seed()
    before = job.dump()
    job.run_main_job(tmp_path)
    [backup] = backups(tmp_path)
    text = backup.read_bytes()
    after_run = job.dump()
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
        refused = job.restore(path, state=tmp_path)
        assert (what, refused.returncode) == (what, REFUSED), refused.stdout + refused.stderr
        assert b"Nothing was changed." in refused.stderr, (what, refused.stderr)
        assert job.dump() == after_run, what
    assert job.restore(backup, state=tmp_path).returncode == 0
    assert job.dump() == before


def test_without_a_sessions_key_nothing_is_saved_and_the_tool_runs(job, tmp_path):
    job.fixture("key Software\\Tessaloquin\\Zorvo")
    run = job.run_main_job(tmp_path)
    assert (run.returncode, run.stdout) == (0, b"")
    assert b"nothing to back up" in run.stderr
    assert backups(tmp_path) == []
    nothing = job.restore(state=tmp_path)
    assert nothing.returncode == REFUSED and b"no backup of the prefix" in nothing.stderr


def test_a_backup_that_cannot_be_written_keeps_the_tool_from_running(job, tmp_path):
    job.seed()
    before = job.dump()
    not_a_folder = tmp_path / "state"
    not_a_folder.write_bytes(b"")
    run = job.run_main_job(not_a_folder)
    assert (run.returncode, run.stdout) == (BACKUP_NOT_WRITTEN, b"")
    assert b"the tool was not run" in run.stderr
    assert job.dump() == before

    full = job.run_main_job(tmp_path, preexec_fn=files_of_at_most_a_kilobyte)
    assert (full.returncode, full.stdout) == (BACKUP_NOT_WRITTEN, b""), full.stderr
    assert b"could not write the backup" in full.stderr
    assert list(tmp_path.glob("zorvo-recolour/backups/*/*")) == [], "no backup cut short is left"
    assert job.dump() == before

    # A session that cannot be read cannot be saved: the backup would not
    # be whole.
    job.fixture("sddl %s D:P(A;;KW;;;WD)" % session_path(b"Empty"))
    run = job.run_main_job(tmp_path)
    assert (run.returncode, run.stdout) == (BACKUP_NOT_WRITTEN, b"")
    assert b'could not read the colour values of session "Empty"' in run.stderr
    assert list(tmp_path.glob("zorvo-recolour/backups/*/*")) == []
    mixed = session(b"Mixed")
    untouched = {key[len(mixed):]: values for key, values in parse_dump(before).values.items()
                 if key[:len(mixed)] == mixed}
    assert job.values(b"\\".join((TOOL_ROOT,) + mixed)) == untouched


@pytest.mark.slow
def test_a_prefix_whose_path_holds_a_space_and_a_non_ascii_letter(odd_prefix, tmp_path):
    job = odd_prefix
    job.seed()
    before = job.dump()
    run = job.run_main_job(tmp_path)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    [backup] = backups(tmp_path)
    assert backup.parent.name.startswith("pr__fix_1-"), "the folder is named after the prefix, byte by byte"
    assert job.restore(state=tmp_path).returncode == 0
    assert job.dump() == before
