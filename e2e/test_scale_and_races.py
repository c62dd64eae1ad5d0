"""Scale and races: 10,000 sessions in Wine's case-insensitive order, every
value dumped back; and keys that change under the running tool (sessions
deleted and re-added while it lists them, the whole sessions key deleted
while it writes), where the tool must go on to its end and write nothing
anywhere else."""

import os
import random
import re
import signal
import time

import pytest

from harness import HarnessError
from harness.checks import byte_lines, show
from harness.registry import (REG_DWORD, SCHEME, SESSIONS, Seed, Tree, case_insensitive_order,
                              colour_values, esc, names_in_order, session, session_path,
                              sessions_path)
from harness.runs import lines_out, parse_lines, split_failures


@pytest.mark.slow
def test_ten_thousand_sessions(wine, check):
    """10,000 sessions, seeded in shuffled order with names whose upper- and
    lower-case letters and punctuation make the case-insensitive order differ
    from byte order: every name printed once, in that order; every key holds
    the 22 values afterwards, beside the values it had."""
    stems = [b"alpha", b"Bravo", b"CHARLIE", b"delta", b"_under", b"[bracket", b"Echo~", b"zulu"]
    names = [stems[i % len(stems)] + b" %05d" % i for i in range(10000)]
    order = case_insensitive_order(names)
    check.equal("case-insensitive order differs from byte order", True, order != sorted(names))
    shuffled = list(names)
    random.Random(10000).shuffle(shuffled)
    seed = Seed()
    for i, name in enumerate(shuffled):
        seed.key(session(name))
        if i % 7 == 0:
            seed.text(session(name), b"HostName", b"host-%d.example" % i)
        if i % 11 == 0:
            seed.value(session(name), b"Colour%d" % (i % 22), REG_DWORD, b"\x01\x00\x00\x00")
    started = time.monotonic()
    before = wine.seed(seed)
    seeded = time.monotonic()
    seeded_order = names_in_order(before)
    if seeded_order != order:
        first = next((i for i, pair in enumerate(zip(order, seeded_order)) if pair[0] != pair[1]),
                     min(len(order), len(seeded_order)))
        check.fail("Wine's enumeration order is not the case-insensitive one",
                   "from index %d, expected %r, Wine has %r" %
                   (first, order[first:first + 5], seeded_order[first:first + 5]))
    result = wine.tool()
    ran = time.monotonic()
    check.run("run", result, out=lines_out(order))
    expected = before.copy()
    for name in order:
        expected.recolour(session(name))
    after = wine.dump()
    check.same_tree("tree after the run", expected, after)
    print("seeding and dump %.1f s, run %.1f s, dump and comparison %.1f s" %
          (seeded - started, ran - seeded, time.monotonic() - ran))
    # Deleting 10,000 keys takes a while: here, rather than in the next case.
    wine.fixture(b"reset\n")


CHURN_SESSIONS = 2000
CHURN_FIRST = 1600


@pytest.mark.slow
def test_keys_churned_during_run(wine, check):
    """A second process deletes and re-adds the last 400 of 2,000 session
    keys, round after round, from before the tool starts until the tool has
    written session 1000; then it deletes them all.  The tool lists while
    the keys come and go, so some of those names may be missing from its
    list or listed twice; every listed one is created again by the
    selection with creation and gets its 22 values, every other one stays
    deleted, and nothing lands anywhere else."""
    names = [b"Session %04d" % i for i in range(CHURN_SESSIONS)]
    stable, churned = names[:CHURN_FIRST], names[CHURN_FIRST:]
    seed = Seed()
    for name in stable:
        seed.key(session(name)).text(session(name), b"HostName", name.lower())
    for name in churned:
        seed.key(session(name))
    before = wine.seed(seed)
    check.equal("seeded order", names, names_in_order(before))

    churn = wine.start(["wine", wine.fixture_exe, "script"], input=(
        "churn %s %s %d %d %s %s Colour21\n" % (
            esc(sessions_path()), esc(b"Session "), CHURN_FIRST, len(churned),
            esc(session_path(names[0])), esc(session_path(names[1000])))).encode("ascii"))
    churn.wait_for(b"churning\n")
    tool_started = time.time()
    result = wine.tool()
    tool_ended = time.time()
    churned_out = churn.finish()
    if churned_out.status != 0:
        raise HarnessError("churn failed (status %d): %s" % (
            churned_out.status, churned_out.err.decode("utf-8", "replace")))
    summary = re.search(rb"rounds (\d+) deletions (\d+) before-start (\d+) before-stop (\d+) "
                        rb"final (\d+) held (\d+)\ntimes([ 0-9]*)\n", churned_out.out)
    if not summary:
        raise HarnessError("churn: unexpected output %r" % churned_out.out[-300:])
    rounds, deletions, before_start, before_stop, final, held = map(int, summary.groups()[:6])
    times = [int(t) / 1000 for t in summary.group(7).split()]
    during = sum(1 for t in times if tool_started <= t <= tool_ended)
    print("churn: %d rounds, %d deletions: %d during the run (%.2f s), %d before the tool "
          "finished its first session, %d while it wrote sessions 0 to 1000, %d in the final pass"
          % (rounds, deletions, during, tool_ended - tool_started, before_start,
             before_stop - before_start, final))
    if held:
        raise HarnessError("the churn reached keys the tool had already written (%d): "
                           "its stop came too late" % held)
    if during == 0 or before_stop == before_start:
        raise HarnessError("the churn did not overlap the tool's run")

    check.equal("run: exit status", 0, result.status)
    check.same_bytes("run: standard error", b"", result.err)
    lines = parse_lines(result.out)
    check.same_bytes("the sessions that stayed, in order", lines_out(stable),
                     lines_out(lines[:len(stable)]))
    listed = lines[len(stable):]
    positions = [churned.index(name) if name in churned else None for name in listed]
    if None in positions or positions != sorted(positions):
        check.fail("the churned sessions' lines are not names of theirs in order",
                   "\n".join(byte_lines(lines_out(listed))))
        return
    listed_once = set(listed)
    print("listing: %d of the %d churned sessions listed, %d left out, %d extra lines for "
          "names listed twice or more" % (len(listed_once), len(churned),
                                          len(churned) - len(listed_once),
                                          len(listed) - len(listed_once)))

    expected = before.copy()
    for name in stable:
        expected.recolour(session(name))
    for name in churned:
        del expected.values[session(name)]
        if name in listed_once:
            expected.values[session(name)] = colour_values()
    check.same_tree("tree after the run", expected, wine.dump())
    wine.fixture(b"reset\n")


def process_state(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def stop_process(pid):
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 5
    while process_state(pid) != "T":
        if time.monotonic() > deadline:
            raise HarnessError("process %d did not stop" % pid)
        time.sleep(0.001)


def names_each_with_failures(check, what, result, names):
    """A run that ended well, split into the names in listing order, each
    with the indices of its failure lines; None, with the mismatch recorded,
    when its standard output is not that."""
    check.equal("%s: exit status" % what, 0, result.status)
    check.same_bytes("%s: standard error" % what, b"", result.err)
    runs = split_failures(parse_lines(result.out), set(names))
    if runs is None or [name for name, _ in runs] != names:
        check.fail("%s: standard output is not the 2,000 names, each followed by its "
                   "failure lines" % what, "\n".join(byte_lines(result.out)[:40]))
        return None
    return runs


def seed_for_deletion():
    names = [b"Session %04d" % i for i in range(CHURN_SESSIONS)]
    seed = Seed().text(SESSIONS[:1], b"Setting", b"kept").text(SESSIONS, b"Marker", b"gone")
    for name in names:
        seed.key(session(name)).text(session(name), b"HostName", name.lower())
    return names, seed


DELETE_AFTER = 500
# The racing deletion starts early, so that most of the run races it.
RACING_DELETE_AFTER = 100
# A racing run that shows no sign of the race is run again, this many times
# at most, before the case fails.
RACING_ATTEMPTS = 3


@pytest.mark.slow
def test_sessions_key_deleted_during_run(wine, check):
    """The whole sessions key is deleted while the tool runs over 2,000
    sessions.

    First, once the tool has written session 500, with the tool held still
    (SIGSTOP) for the deletion, so that the key vanishes between two of its
    calls: the run goes on with status 0 and
    all 2,000 names; everything written before is gone; the selection with
    creation makes the sessions key and each later session key anew, each
    with its 22 values and nothing else; the session in progress keeps the
    values written after the deletion, and at most one failure line (a value
    whose key was deleted between its selection and its write).

    Then with the deletion racing the running tool, from session 100 on: a
    recursive deletion (Wine cannot delete a tree in one call) that deletes
    the first subkey until none is left.  Once it has caught up with the
    tool, the first subkey is mostly the one the tool has just made anew,
    so the two go on side by side, often to the tool's end, and every write
    that finds its key deleted prints a failure line.  Still status 0, every
    name once in order with its failure lines, nothing anywhere else, and
    every session key left holds exactly the values written after its last
    deletion: those from some colour index on, its failure lines all before
    that index.  The race must show: a failure line, or a key that the
    tool made anew after its deletion; a run without either, where the
    deletion may have come only after the tool had finished, proves
    nothing and is run again."""
    names, seed = seed_for_deletion()
    deletion_held_still(wine, check, names, seed)
    for _ in range(RACING_ATTEMPTS):
        # None: the run's output was wrong, which is recorded already.
        if deletion_racing(wine, check, names, seed) is not False:
            break
    else:
        check.fail("racing: in %d runs the deletion never showed in the tool's run: no failure "
                   "line, no key made anew" % RACING_ATTEMPTS)
    wine.fixture(b"reset\n")


def deletion_held_still(wine, check, names, seed):
    watch = session_path(names[DELETE_AFTER])
    before = wine.seed(seed)
    waiter = wine.start(["wine", wine.fixture_exe, "script"],
                        input=("wait %s Colour21\n" % esc(watch)).encode("ascii"))
    waiter.wait_for(b"waiting\n")
    tool = wine.start(["wine", wine.exe])
    waiter.wait_for(b"reached")
    stop_process(tool.pid)
    try:
        wine.fixture(("deltree %s\n" % esc(sessions_path())).encode("ascii"))
        gone = wine.fixture(("dumpkey %s\n" % esc(sessions_path())).encode("ascii"))
    finally:
        os.kill(tool.pid, signal.SIGCONT)
    result = tool.finish()
    waiter.finish()
    check.equal("sessions key while the tool was held", b"absent\n", gone)
    after = wine.dump()
    runs = names_each_with_failures(check, "held", result, names)
    if runs is None:
        return
    failed = [(i, indices) for i, (_, indices) in enumerate(runs) if indices]
    present = [i for i, name in enumerate(names) if session(name) in after.values]
    if len(failed) > 1 or (failed and len(failed[0][1]) > 1) or not present:
        check.fail("held: more than one failure line, or no session left",
                   "failures: %r; sessions present: %d" % (failed, len(present)))
        return
    if failed:
        # The write found its key deleted: that value is lost, the later
        # ones of that session land in its new key.
        in_progress, first_kept = failed[0][0], failed[0][1][0] + 1
    else:
        in_progress = present[0]
        values = after.values[session(names[in_progress])]
        first_kept = min(int(name[len(b"Colour"):]) for name in values) if values else 0
    print("held: the key went while the tool was in session %d, which kept %s; %s" % (
        in_progress, "the values from Colour%d on" % first_kept if first_kept < len(SCHEME)
        else "none of its values", "one failure line" if failed else "no failure line"))
    if in_progress <= DELETE_AFTER:
        check.fail("held: the session in progress is %d, not one after %d" %
                   (in_progress, DELETE_AFTER))
    expected = Tree()
    for path in ((), SESSIONS[:1], SESSIONS):
        expected.values[path] = dict(before.values[path])
    del expected.values[SESSIONS][b"Marker"]
    for i in range(in_progress, len(names)):
        first = first_kept if i == in_progress else 0
        if first < len(SCHEME):
            expected.values[session(names[i])] = colour_values(first)
    check.same_tree("held: tree after the run", expected, after)


def deletion_racing(wine, check, names, seed):
    """One racing run, checked: whether it showed the race, or None when
    its output was not the names with their failure lines."""
    watch = session_path(names[RACING_DELETE_AFTER])
    before = wine.seed(seed)
    deleter = wine.start(["wine", wine.fixture_exe, "script"], input=(
        "wait %s Colour21\ndeltree %s\n" % (esc(watch), esc(sessions_path()))).encode("ascii"))
    deleter.wait_for(b"waiting\n")
    tool_started = time.time()
    result = wine.tool()
    tool_ended = time.time()
    deleted = deleter.finish()
    if deleted.status != 0:
        raise HarnessError("the deletion failed (status %d): %s" %
                           (deleted.status, deleted.err.decode("utf-8", "replace")))
    after = wine.dump()
    runs = names_each_with_failures(check, "racing", result, names)
    if runs is None:
        return None
    for path in ((), SESSIONS[:1]):
        check.equal("racing: values of %s" % show(b"\\".join(path)), before.values[path],
                    after.values.get(path))
    # The sessions key is gone at the end, or the tool made it anew after
    # the deletion: either way without the values it had.
    if SESSIONS in after.values:
        check.equal("racing: values of the new sessions key", {}, after.values[SESSIONS])
    allowed = {session(name) for name in names} | {(), SESSIONS[:1], SESSIONS}
    strays = [path for path in after.values if path not in allowed]
    if strays:
        check.fail("racing: keys that are no sessions", "\n".join(
            "\\".join(show(p) for p in path) for path in strays))
    # Each write after a session key's last deletion lands in the key that
    # its selection made anew, so a session left holds exactly the values
    # from some colour index on, and its failure lines (writes that found
    # their key deleted) all come before that index.
    complete, partial = 0, 0
    for i, (name, failed) in enumerate(runs):
        values = after.values.get(session(name))
        if values is None:
            continue
        first_kept = min((int(value[len(b"Colour"):]) for value in values
                          if re.fullmatch(b"Colour[0-9]+", value)), default=len(SCHEME))
        if i <= RACING_DELETE_AFTER or values != colour_values(first_kept) or \
                any(index >= first_kept for index in failed):
            check.fail("racing: session %s holds %r, with failure lines for %r" %
                       (show(name), sorted(values), failed))
        if first_kept == 0:
            complete += 1
        else:
            partial += 1
    failure_lines = sum(len(f) for _, f in runs)
    reached = re.search(rb"reached (\d+)", deleted.out)
    print("racing: %d failure lines; of the 2,000 sessions, %d complete, %d partial and %d "
          "absent at the end; the sessions key %s; the deletion started %s" % (
              failure_lines, complete, partial, len(names) - complete - partial,
              "made anew" if SESSIONS in after.values else "absent",
              "%.2f s into the run of %.2f s" % (int(reached.group(1)) / 1000 - tool_started,
                                                 tool_ended - tool_started)
              if reached else "at no time it printed"))
    return failure_lines > 0 or complete + partial > 0 or SESSIONS in after.values
