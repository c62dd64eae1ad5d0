"""The main job's backup and scripts/restore.sh, under Wine.

scripts/run.sh is run as a user runs it, on the suite's prefix, with the
backups kept in a state folder of each case's own and the builds under test
handed to it; one case runs it on a prefix of its own whose path holds a
space and a non-ASCII letter. Sessions are seeded with colour values of
every type, some missing, another value, a subkey, a name with bytes above
127 and punctuation, and a key that refuses writes. The registry is compared
as the fixture dumps it: every key, and every value's type and bytes as the
ANSI calls give them and as the registry keeps them. The cases: a run and a
restore give back the very registry the run started from, and a second
restore writes nothing; the main job's output and exit status are the
tool's; a value that cannot be put back is reported; sessions deleted or
created since, and other values and subkeys, are left alone; restore takes
the newest backup of the prefix; damaged, foreign and other prefixes' files
are refused with nothing changed, and a backup of the format before still
restores; no sessions key means no backup and the tool's own run; a backup
that cannot be written keeps the tool from running.
"""

import re

import pytest

from harness.backups import LOCKED, ODD_NAME, SEED, STATUS, MainJob, refit, seed_script
from harness.registry import TOOL_ROOT, Seed, parse_dump, session
from harness.wine import Wine


def session_path(name):
    return Seed.path(session(name))


def seed(wine, values=SEED, locked=LOCKED):
    wine.fixture(seed_script(values, locked).script())


def dump(wine):
    """The tool's tree exactly as the fixture dumps it."""
    return wine.fixture(("dump %s\n" % Seed.path(())).encode("ascii"))


def values(wine, path=TOOL_ROOT):
    """{key path: {value name: (type, data, stored)}} of that subtree."""
    return wine.dump(path).values


def fixture(wine, *lines):
    return wine.fixture(("\n".join(lines) + "\n").encode("ascii"))


@pytest.fixture
def job(wine, request, tmp_path):
    return MainJob(wine, request.config.option.colour_backup, tmp_path)


@pytest.fixture
def odd_prefix(request, tmp_path):
    """A prefix of its own, its path with a space and a non-ASCII letter,
    and its wineserver up until the case ends."""
    options = request.config.option
    wine = Wine(str(tmp_path / "pr\u00e9fix 1"), options.exe, options.fixture, options.map)
    try:
        wine.setup()
        yield MainJob(wine, options.colour_backup, tmp_path / "state")
    finally:
        wine.teardown()
        wine.close()


# A session made in UTF-16 whose name code page 1252 cannot hold: the run
# must leave it alone and create no key under the name the code page spells.
BEYOND_THE_CODE_PAGE = "Emoji \U0001F308 \u03ba\u03cc\u03c3\u03bc\u03b5"


def test_run_then_restore_gives_back_the_registry_byte_for_byte(job, wine, check):
    wine.fixture(seed_script(SEED, LOCKED).key(session(BEYOND_THE_CODE_PAGE)).script())
    before = dump(wine)
    run = job.run()
    check.equal("main job's status", 0, run.status)
    [backup] = job.backups()
    check.equal("the backup's path is said", True, backup.encode() in run.err)
    check.equal("the run changed the registry", True, dump(wine) != before)

    restore = job.restore()
    check.equal("restore's status", STATUS["STATUS_DONE"], restore.status)
    check.same_bytes("registry after the restore", before, dump(wine))

    # Nothing differs now, so nothing is written: a key that refuses writes
    # would make any write a reported failure.
    fixture(wine, "deny " + session_path(b"Mixed"))
    again = job.restore(backup)
    check.run("a second restore", again, STATUS["STATUS_DONE"],
              b"Put back 0 values; 0 could not be put back; 0 of 5 sessions no longer exist\n", None)
    check.same_bytes("registry after the second restore", before, dump(wine))


def test_the_main_jobs_output_and_status_are_the_tools(job, wine, check):
    seed(wine)
    run = job.run()
    check.equal("restore's status", STATUS["STATUS_DONE"], job.restore().status)
    alone = wine.run(["wine", wine.exe])
    check.run("main job against the tool alone", run, alone.status, alone.out, None)
    check.equal("the locked session's failures are the tool's lines", True, b"Could not write value" in run.out)


def test_restore_reports_each_value_it_cannot_put_back(job, wine, check):
    seed(wine)
    before = values(wine)
    job.run()
    after_run = values(wine)
    fixture(wine, "deny " + session_path(ODD_NAME))
    restore = job.restore()
    # Every colour value of that session differs after the run: Colour0 and
    # Colour13 held other data, the other twenty did not exist. The other
    # sessions get back 21 values of Mixed (its Colour21 was the scheme's
    # already) and 22 of Empty; the locked session was never changed.
    expected = b"".join(b'Could not put back Colour%d of session "Caf\xc3\xa9 \xc2\x81 50%% (v2)!" (error 5)\n' % n
                        for n in range(22))
    expected += b"Put back 43 values; 22 could not be put back; 0 of 4 sessions no longer exist\n"
    check.run("restore", restore, STATUS["STATUS_SOME_NOT_PUT_BACK"], expected, None)
    after = values(wine)
    odd = session(ODD_NAME)
    check.equal("the refusing session as the run left it", after_run[odd], after[odd])
    check.equal("every other key as before the run", {k: v for k, v in before.items() if k != odd},
                {k: v for k, v in after.items() if k != odd})


def test_sessions_deleted_or_created_since_and_other_values_are_left_alone(job, wine, check):
    seed(wine)
    before = values(wine)
    job.run()
    mixed, backup_subkey, new = session(b"Mixed"), session(b"Mixed") + (b"Backup",), session(b"New")
    fixture(wine, "deltree " + session_path(b"Empty"),
            "set %s Colour0 1 4,4,4\\x00" % session_path(b"Mixed\\Backup"),
            "set %s HostName 1 moved.example\\x00" % session_path(b"Mixed"),
            "set %s Colour0 1 9,9,9\\x00" % session_path(b"New"),
            "set %s Colour5 4 \\x07\\x00\\x00\\x00" % session_path(b"New"))
    since = values(wine)
    restore = job.restore()
    check.equal("restore's status", STATUS["STATUS_DONE"], restore.status)
    check.equal("the deleted session is named", True,
                b'Session "Empty" no longer exists: left alone\n' in restore.out)

    expected = {key: values for key, values in before.items() if key != session(b"Empty")}
    expected[mixed] = {**before[mixed], b"HostName": since[mixed][b"HostName"]}
    expected[backup_subkey] = since[backup_subkey]
    expected[new] = since[new]
    check.equal("registry after the restore", expected, values(wine))


def test_restore_takes_the_newest_backup_of_the_prefix(job, wine, check):
    seed(wine)
    job.run()
    fixture(wine, "set %s Colour0 4 \\x09\\x00\\x00\\x00" % session_path(b"Mixed"))
    between = dump(wine)
    job.run()
    first, newest = job.backups()
    check.equal("one folder per prefix", True, first.rsplit("/", 1)[0] == newest.rsplit("/", 1)[0])
    check.equal("restore's status", STATUS["STATUS_DONE"], job.restore().status)
    check.same_bytes("registry as before the newest run", between, dump(wine))


def seeded_run_and_its_backup(job, wine):
    """Seeds the sessions and runs the main job: the registry before the
    run, the one backup's path, and its bytes."""
    seed(wine)
    before = dump(wine)
    job.run()
    [backup] = job.backups()
    with open(backup, "rb") as saved:
        return before, backup, saved.read()


def test_damaged_foreign_and_other_prefixes_backups_change_nothing(job, wine, check, tmp_path):
    before, backup, text = seeded_run_and_its_backup(job, wine)
    after_run = dump(wine)
    variants = {
        "empty": b"",
        "foreign": b"Windows Registry Editor Version 5.00\r\n",
        "unknown format": text.replace(b"format 2\n", b"format 3\n", 1),
        "cut short": text[:len(text) // 2],
        "cut at a line": text[:text.index(b"\nsession ", 200) + 1],
        "one byte changed": text.replace(b"Colour0 1 31", b"Colour0 1 32", 1),
        "a session removed": text.replace(text[text.index(b"session Empty"):text.index(b"session Locked")], b"", 1),
        "CR LF line ends": text.replace(b"\n", b"\r\n"),
        "another prefix": refit(text, lambda body: re.sub(rb"\nregistry \S+", rb"\nregistry /elsewhere", body)),
        "refitted but malformed": refit(text, lambda body: body.replace(b"Colour3 4 ", b"Colour3 x ", 1)),
    }
    for what, damaged in variants.items():
        path = tmp_path / ("%s.colours" % what)
        path.write_bytes(damaged)
        refused = job.restore(path)
        check.run(what, refused, STATUS["STATUS_REFUSED"], b"", None)
        check.equal(what + ": says nothing was changed", True, b"Nothing was changed." in refused.err)
        check.same_bytes(what + ": registry", after_run, dump(wine))
    check.equal("the backup itself restores", STATUS["STATUS_DONE"], job.restore(backup).status)
    check.same_bytes("registry after the restore", before, dump(wine))


def test_a_backup_of_the_format_before_still_restores(job, wine, check, tmp_path):
    before, _, text = seeded_run_and_its_backup(job, wine)
    format_1 = refit(text, lambda body: body.replace(b"format 2\nregistry ", b"format 1\nprefix ", 1))
    (tmp_path / "format-1.colours").write_bytes(format_1)
    check.equal("restore's status", STATUS["STATUS_DONE"], job.restore(tmp_path / "format-1.colours").status)
    check.same_bytes("registry after the restore", before, dump(wine))


def test_without_a_sessions_key_nothing_is_saved_and_the_tool_runs(job, wine, check):
    fixture(wine, "key Software\\Tessaloquin\\Zorvo")
    run = job.run()
    check.run("main job", run, 0, b"", None)
    check.equal("says there is nothing to back up", True, b"nothing to back up" in run.err)
    check.equal("backups", [], job.backups())
    nothing = job.restore()
    check.equal("restore's status", STATUS["STATUS_REFUSED"], nothing.status)
    check.equal("says why", True, b"no backup of the prefix" in nothing.err)


def test_a_backup_that_cannot_be_written_keeps_the_tool_from_running(job, wine, check, tmp_path):
    seed(wine)
    before = dump(wine)
    not_a_folder = tmp_path / "state"
    not_a_folder.write_bytes(b"")
    run = job.run(state=not_a_folder)
    check.run("state folder that is a file", run, STATUS["STATUS_BACKUP_NOT_WRITTEN"], b"", None)
    check.equal("says the tool was not run", True, b"the tool was not run" in run.err)
    check.same_bytes("registry", before, dump(wine))

    full = job.run(full_disk=True)
    check.run("full disk", full, STATUS["STATUS_BACKUP_NOT_WRITTEN"], b"", None)
    check.equal("says the backup was not written", True, b"Could not write the backup" in full.err)
    check.equal("no backup cut short is left", [], list(tmp_path.glob("zorvo-recolour/backups/*/*")))
    check.same_bytes("registry after the full disk", before, dump(wine))

    # A session that cannot be read cannot be saved: the backup would not
    # be whole.
    fixture(wine, "sddl %s D:P(A;;KW;;;WD)" % session_path(b"Empty"))
    run = job.run()
    check.run("unreadable session", run, STATUS["STATUS_BACKUP_NOT_WRITTEN"], b"", None)
    check.equal("names the session", True, b'Could not read the colour values of session "Empty"' in run.err)
    check.equal("no backup", [], list(tmp_path.glob("zorvo-recolour/backups/*/*")))
    mixed = session(b"Mixed")
    untouched = {key[len(mixed):]: values for key, values in parse_dump(before).values.items()
                 if key[:len(mixed)] == mixed}
    check.equal("Mixed untouched", untouched, values(wine, b"\\".join((TOOL_ROOT,) + mixed)))


@pytest.mark.slow
def test_a_prefix_whose_path_holds_a_space_and_a_non_ascii_letter(odd_prefix, check):
    job = odd_prefix
    seed(job.wine)
    before = dump(job.wine)
    run = job.run()
    check.equal("main job's status", 0, run.status)
    [backup] = job.backups()
    check.equal("the folder is named after the prefix, byte by byte", True,
                backup.split("/")[-2].startswith("pr__fix_1-"))
    check.equal("restore's status", STATUS["STATUS_DONE"], job.restore().status)
    check.same_bytes("registry after the restore", before, dump(job.wine))
