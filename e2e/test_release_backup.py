"""The backup as a Windows user has it: the release archive that CPack made,
unpacked into a folder whose path holds a space and "é", its recolour.cmd
run under Wine's cmd /c, and colour-backup.exe typed in that folder. The
sessions key is compared as reg export writes it, byte for byte: before the
run and after a restore must be the same file. The cases: the main job's
output and status are the tool's and its backup lands in
%LOCALAPPDATA%\\zorvo-recolour\\backups, where list shows it and restore
takes it; refusals and wrong command lines change nothing; a key that
refuses writes is reported; a full disk keeps the tool from running; a run
or a restore killed part-way, then a restore, leave the sessions exactly as
before the run."""

import os
import re

import pytest

from harness.backups import (LOCKED, ODD_NAME, SEED, STATUS, clear_windows_backups, files_of_at_most_a_kilobyte,
                             refit, reg_export, seed_script, sha256, unpacked_release, windows_backups)
from harness.registry import Seed, names_in_order, session
from harness.runs import failure_line, lines_out

# The tool's lines for SEED: every name in the registry's order, and the
# locked session's 22 failures.
SEED_LINES = [ODD_NAME, b"Empty", b"Locked"] + [failure_line(b"Locked", i) for i in range(22)] + [b"Mixed"]
# What a restore after a run puts back in SEED: 22 values of the name with
# "é" and of Empty, 21 of Mixed (its Colour21 was the scheme's already),
# none of the locked session, which the run could not change.
PUT_BACK_ALL = b"Put back 65 values; 0 could not be put back; 0 of 4 sessions no longer exist\n"
PUT_BACK_NONE = b"Put back 0 values; 0 could not be put back; 0 of 4 sessions no longer exist\n"
# Access for everyone again, after a deny.
OPEN_SDDL = "D:P(A;;KA;;;WD)"


@pytest.fixture(scope="module")
def release(request, tmp_path_factory):
    """The unpacked release, shared by the module's cases."""
    options = request.config.option
    folder = tmp_path_factory.mktemp("release") / "Zorvo r\u00e9glages 1"
    folder.mkdir()
    return unpacked_release(options.exe, options.colour_backup, str(folder))


class WindowsUser:
    """Commands typed in the unpacked folder, on the suite's prefix."""

    def __init__(self, wine, release):
        self.wine, self.release = wine, release

    def recolour_cmd(self, full_disk=False):
        argv = ["wine", "cmd", "/c", "recolour.cmd"]
        return self.wine.run(files_of_at_most_a_kilobyte(argv) if full_disk else argv, cwd=self.release)

    def colour_backup(self, *arguments):
        return self.wine.run(["wine", "colour-backup.exe"] + list(arguments), cwd=self.release)

    def start_colour_backup(self, *arguments):
        return self.wine.start(["wine", "colour-backup.exe"] + list(arguments), cwd=self.release)

    def export(self):
        return reg_export(self.wine, self.release)


@pytest.fixture
def user(wine, release):
    clear_windows_backups(wine)
    return WindowsUser(wine, release)


def seed(wine, values=SEED, locked=LOCKED):
    wine.fixture(seed_script(values, locked).script())


def fixture(wine, *lines):
    return wine.fixture(("\n".join(lines) + "\n").encode("ascii"))


def windows_path(unix_path):
    """The path as a program in the prefix sees a file of its drive C:."""
    below = unix_path.split(os.sep + "drive_c" + os.sep, 1)[1]
    return b"C:\\" + below.replace(os.sep, "\\").encode()


def test_recolour_cmd_then_restore_gives_back_the_reg_export_byte_for_byte(user, wine, check):
    seed(wine)
    before = user.export()
    run = user.recolour_cmd()
    check.run("recolour.cmd", run, 0, lines_out(SEED_LINES), None)
    [backup] = windows_backups(wine)
    check.equal("the backup is named after the time", True,
                re.fullmatch(r"\d{8}T\d{6}\.\d{3}Z\.colours", os.path.basename(backup)) is not None)
    check.same_bytes("recolour.cmd says where the backup went",
                     b"The sessions' colours are saved in " + windows_path(backup) + b"\n", run.err)
    after_run = user.export()
    check.equal("the run changed the export", True, after_run != before)

    listed = user.colour_backup("list")
    check.run("list", listed, STATUS["STATUS_DONE"], None, b"")
    check.equal("list's line", True, re.fullmatch(
        rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z  4 sessions  " + re.escape(windows_path(backup)) + rb"\n",
        listed.out) is not None)

    restore = user.colour_backup("restore")
    check.run("restore", restore, STATUS["STATUS_DONE"], PUT_BACK_ALL,
              b"Putting back the colours saved in " + windows_path(backup) + b"\n")
    after_restore = user.export()
    check.same_bytes("reg export after the restore against before the run", before, after_restore)
    again = user.colour_backup("restore")
    check.run("a second restore", again, STATUS["STATUS_DONE"], PUT_BACK_NONE, None)
    check.same_bytes("reg export after a second restore", before, user.export())
    print("SHA-256 of the sessions' reg export: before %s, after the run %s, after the restore %s" %
          (sha256(before), sha256(after_run), sha256(after_restore)))
    print("recolour.cmd: status %d\n%s%s" % (run.status, run.out.decode("cp1252", "replace"), run.err.decode()))
    print("colour-backup list:\n%scolour-backup restore:\n%s" % (listed.out.decode(), restore.out.decode()))


def test_refused_backups_and_wrong_command_lines_change_nothing(user, wine, check, tmp_path):
    seed(wine)
    before = user.export()
    user.recolour_cmd()
    [backup] = windows_backups(wine)
    with open(backup, "rb") as saved:
        text = saved.read()
    after_run = user.export()
    other = refit(text, lambda body: re.sub(rb"\nregistry (\S+)@\S+\n", rb"\nregistry \1@another-prefix\n", body))
    files = {"damaged.colours": text.replace(b"Colour0 1 ", b"Colour0 1 00", 1),
             "other prefix.colours": other}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    refusals = {
        "a damaged file": (["restore", "Z:" + str(tmp_path / "damaged.colours")], STATUS["STATUS_REFUSED"],
                           b"its checksum does not match"),
        "a backup of another prefix": (["restore", "Z:" + str(tmp_path / "other prefix.colours")],
                                       STATUS["STATUS_REFUSED"], b"@another-prefix, and this is the registry of "),
        "a missing file": (["restore", "missing.colours"], STATUS["STATUS_REFUSED"], b"could not read missing"),
        "no command": ([], STATUS["STATUS_WRONG_COMMAND_LINE"], b"colour-backup save [FILE]"),
        "an unknown command": (["undo"], STATUS["STATUS_WRONG_COMMAND_LINE"], b"colour-backup save [FILE]"),
        "an unknown option": (["restore", "--force"], STATUS["STATUS_WRONG_COMMAND_LINE"], b"colour-backup save"),
        "two files": (["restore", "a.colours", "b.colours"], STATUS["STATUS_WRONG_COMMAND_LINE"],
                      b"colour-backup save"),
        "an option list does not take": (["list", "--allow-other-registry"], STATUS["STATUS_WRONG_COMMAND_LINE"],
                                         b"colour-backup list"),
        "a file that exists": (["save", windows_path(backup).decode()], STATUS["STATUS_FAILED"], b"already exists"),
    }
    for what, (arguments, status, said) in refusals.items():
        result = user.colour_backup(*[a.replace("/", "\\") if a.startswith("Z:") else a for a in arguments])
        check.run(what, result, status, b"", None)
        check.equal(what + ": says why", True, said in result.err)
        check.same_bytes(what + ": reg export", after_run, user.export())
    check.equal("the folder holds the one backup", [backup], windows_backups(wine))
    for help_option in ("/?", "-h", "--help"):
        check.run(help_option, user.colour_backup(help_option), STATUS["STATUS_DONE"], None, b"")

    overridden = user.colour_backup("restore", "--allow-other-registry",
                                    "Z:" + str(tmp_path / "other prefix.colours").replace("/", "\\"))
    check.run("restoring another prefix's backup on purpose", overridden, STATUS["STATUS_DONE"], PUT_BACK_ALL, None)
    check.same_bytes("reg export after it", before, user.export())


def test_a_key_that_refuses_writes_makes_the_restore_list_its_values(user, wine, check):
    seed(wine)
    user.recolour_cmd()
    after_run = user.export()
    fixture(wine, "deny " + Seed.path(session(b"Empty")))
    restore = user.colour_backup("restore")
    expected = b"".join(b'Could not put back Colour%d of session "Empty" (error 5)\n' % n for n in range(22))
    expected += b"Put back 43 values; 22 could not be put back; 0 of 4 sessions no longer exist\n"
    check.run("restore", restore, STATUS["STATUS_SOME_NOT_PUT_BACK"], expected, None)
    check.equal("the export changed only where the restore could write", True, user.export() != after_run)


def test_a_full_disk_keeps_the_tool_from_running(user, wine, check):
    seed(wine)
    before = user.export()
    run = user.recolour_cmd(full_disk=True)
    check.run("recolour.cmd", run, STATUS["STATUS_BACKUP_NOT_WRITTEN"], b"", None)
    check.equal("says why", True, b"Could not write the backup" in run.err and b"the tool was not run" in run.err)
    check.equal("no file is left, whole or not", [], windows_backups(wine))
    check.same_bytes("reg export", before, user.export())


KILLED_SESSIONS = [b"Host %03d" % i for i in range(600)]
MIDDLE = KILLED_SESSIONS[300]


def recoloured(wine, names):
    """Which of NAMES hold the scheme's Colour0, as the tool writes it."""
    tree = wine.dump()
    return [name for name in names if tree.values[session(name)].get(b"Colour0", (0, b""))[1] == b"215,215,215\0"]


def test_a_run_or_a_restore_killed_part_way_then_a_restore_gives_back_the_sessions(user, wine, check):
    seed(wine, {name: [(b"Colour0", 1, b"%s\0" % name)] for name in KILLED_SESSIONS}, ())
    before = user.export()
    check.run("save", user.colour_backup("save"), STATUS["STATUS_DONE"], b"", None)

    tool = wine.start(["wine", wine.exe])
    tool.wait_for(b"\r\n")
    tool.proc.kill()
    check.equal("the tool was killed", -9, tool.finish().status)
    done = recoloured(wine, KILLED_SESSIONS)
    if not 0 < len(done) < len(KILLED_SESSIONS):
        check.fail("the kill did not land part-way: %d of %d sessions recoloured" % (len(done), len(KILLED_SESSIONS)))
    check.run("restore after the killed run", user.colour_backup("restore"), STATUS["STATUS_DONE"], None, None)
    check.same_bytes("reg export after the killed run and the restore", before, user.export())

    # The restore reports the session in the middle as it passes it, and is
    # killed there.
    check.equal("a whole run", 0, wine.run(["wine", wine.exe]).status)
    fixture(wine, "deny " + Seed.path(session(MIDDLE)))
    restore = user.start_colour_backup("restore")
    restore.wait_for(b"(error 5)\n")
    restore.proc.kill()
    check.equal("the restore was killed", -9, restore.finish().status)
    still = recoloured(wine, KILLED_SESSIONS)
    if not 1 < len(still) < len(KILLED_SESSIONS):
        check.fail("the kill did not land part-way: %d of %d sessions still recoloured" %
                   (len(still), len(KILLED_SESSIONS)))
    fixture(wine, "sddl %s %s" % (Seed.path(session(MIDDLE)), OPEN_SDDL))
    check.run("restore after the killed restore", user.colour_backup("restore"), STATUS["STATUS_DONE"], None, None)
    check.same_bytes("reg export after the killed restore and a restore", before, user.export())
