"""The fault sweep of colour-backup.exe, in the manner of the tool's own
(tests/fault_sweep_test.cpp) but under Wine: colour-backup-faults.exe is the
same program with its registry and file calls routed through
backup/fault_injection.c, which makes the n-th of them fail, for n = 1, 2,
3, ... until a run makes fewer than n such calls; once transiently (access
denied) and once from then on (disk full). Each run of save must leave no
file under a backup's name that is not the whole backup, and make one
exactly when it succeeds; each run of restore must change nothing when it
refuses or cannot start, give back the registry the backup was taken from
when it succeeds, and otherwise report every value it left different."""

import os
import re

import pytest

from harness import HarnessError
from harness.backups import STATUS, clear_windows_backups, seed_script, windows_backups
from harness.registry import REG_DWORD, REG_SZ, SESSIONS

SWEEP_SEED = {
    b"Caf\xe9 1": [(b"Colour0", REG_SZ, b"1,2,3\0"), (b"Colour3", REG_DWORD, b"\x07\x00\x00\x00")],
    b"Plain": [(b"Colour21", REG_SZ, b"255,255,255\0")],
}
FAILURES = {"transient": ("5", "0"), "persistent": ("112", "1")}
COUNT = re.compile(rb"fault injection: (\d+) calls, (\d+) failed\r?\n")
NOT_PUT_BACK = re.compile(rb'Could not put back (Colour\d+) of session "([^"]*)" \(error \d+\)\n')


def faulty_run(wine, faults_exe, command, n, failure):
    code, persistent = FAILURES[failure]
    result = wine.run(["wine", faults_exe, command],
                      env={"ZORVO_FAIL_CALL": str(n), "ZORVO_FAIL_CODE": code, "ZORVO_FAIL_PERSISTENT": persistent})
    counted = COUNT.search(result.err)
    if counted is None:
        raise HarnessError("%s: no count of its calls: %r" % (command, result.err[-300:]))
    return result, int(counted.group(1)), int(counted.group(2))


def sweep(wine, faults_exe, command, failure, prepare, verify):
    """Runs COMMAND with its n-th call failing for every n it reaches;
    returns the number of runs."""
    n = 0
    while True:
        n += 1
        prepare()
        result, calls, failed = faulty_run(wine, faults_exe, command, n, failure)
        if calls < n:
            return n - 1
        if failed == 0:
            raise HarnessError("%s: call %d of %d did not fail" % (command, n, calls))
        verify("%s, call %d failing (%s)" % (command, n, failure), result)


@pytest.fixture
def faults_exe(request):
    path = os.path.join(os.path.dirname(os.path.abspath(request.config.option.colour_backup)),
                        "colour-backup-faults.exe")
    if not os.path.isfile(path):
        raise HarnessError("missing program: %s" % path)
    return path


def read(path):
    with open(path, "rb") as backup:
        return backup.read()


def without_time(text):
    return re.sub(rb"\ntime \S+\n", b"\n", text[:text.rindex(b"\nend ")])


@pytest.mark.slow
def test_every_failing_call_of_save_leaves_a_whole_backup_or_none(wine, check, faults_exe):
    wine.fixture(seed_script(SWEEP_SEED).script())
    clear_windows_backups(wine)
    check.equal("a clean save", STATUS["STATUS_DONE"], wine.run(["wine", faults_exe, "save"]).status)
    [clean] = windows_backups(wine)
    whole = without_time(read(clean))

    def verify(what, result):
        files = windows_backups(wine)
        named = [path for path in files if path.endswith(".colours")]
        for path in named:
            check.equal(what + ": a file under a backup's name is the whole backup", whole, without_time(read(path)))
        saved = result.status == STATUS["STATUS_DONE"]
        check.equal(what + ": a backup exactly when save succeeds", saved, len(named) == 1)
        if not saved:
            check.equal(what + ": status", STATUS["STATUS_FAILED"], result.status)
            check.equal(what + ": says no backup was written", True, b"No backup was written." in result.err)

    runs = sum(sweep(wine, faults_exe, "save", failure, lambda: clear_windows_backups(wine), verify)
               for failure in FAILURES)
    print("save: %d runs" % runs)


@pytest.mark.slow
def test_every_failing_call_of_restore_changes_nothing_or_reports_what_it_left(wine, check, faults_exe):
    before_run = wine.seed(seed_script(SWEEP_SEED))
    clear_windows_backups(wine)
    check.equal("a clean save", STATUS["STATUS_DONE"], wine.run(["wine", faults_exe, "save"]).status)

    def prepare():
        wine.fixture(seed_script(SWEEP_SEED).script())
        if wine.run(["wine", wine.exe]).status != 0:
            raise HarnessError("the tool's run failed")

    prepare()
    after_run = wine.dump()

    def verify(what, result):
        now = wine.dump()
        if result.status in (STATUS["STATUS_REFUSED"], STATUS["STATUS_FAILED"]):
            check.same_tree(what + ": nothing changed", after_run, now)
            return
        if result.status == STATUS["STATUS_DONE"]:
            check.same_tree(what + ": the registry before the run", before_run, now)
            return
        check.equal(what + ": status", STATUS["STATUS_SOME_NOT_PUT_BACK"], result.status)
        reported = {(name.decode("utf-8").encode("cp1252"), value) for value, name in NOT_PUT_BACK.findall(result.out)}
        for path, values in before_run.values.items():
            if path[:-1] != SESSIONS or path not in now.values:
                continue
            names = set(values) | set(now.values[path])
            for name in names:
                if name.startswith(b"Colour") and values.get(name) != now.values[path].get(name):
                    check.equal(what + ": %r %s left different is reported" % (path[-1], name.decode()), True,
                                (path[-1], name) in reported)

    runs = sum(sweep(wine, faults_exe, "restore", failure, prepare, verify) for failure in FAILURES)
    print("restore: %d runs" % runs)
