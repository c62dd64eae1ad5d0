"""Standard output of every kind the tool may be given: the bytes exactly on
a file and a pipe, the 128-byte blocks as they land on a file, every line
at its end on a terminal (a Wine console), and the report and status 1 when
standard output fails, be it at once, when the buffer fills, at the final
write-out, or because there is no handle at all."""

import pytest

from harness.registry import LONGEST_SELECTABLE_NAME, SESSIONS, Seed, session
from harness.runs import (check_filled_during_run, expected_run, lines_out,
                          two_plain_sessions)
from harness.stdout_kinds import BUFFER, channel_writes, console_rendering

FAILING_KINDS = [pytest.param("reader-gone", 233, id="reader_gone"),
                 pytest.param("closed", 6, id="closed")]


def seed_long_lines():
    """Sessions whose lines cross the 128-byte buffer in every way: five
    lines of 40 text bytes, lines of 126 and 127 text bytes (128 and 129
    with CR LF), one of 200, the longest selectable name, and a refused
    session whose failure lines run over two blocks."""
    names = [b"Forty-byte-session-%02d-................." % i for i in range(5)]
    names += [b"A" * 126, b"B" * 127, b"C" * 200, b"D" * LONGEST_SELECTABLE_NAME,
              b"Caf\xe9 \xf6"]
    refused = b"R" * 150
    seed = Seed()
    for name in names + [refused]:
        seed.key(session(name))
    seed.deny(session(refused))
    return seed, [refused]


@pytest.mark.parametrize("mode, readable", [pytest.param("file", True, id="file"),
                                            pytest.param("pipe", True, id="pipe"),
                                            pytest.param("/dev/null", False, id="dev_null")])
def test_stdout_lines_across_blocks(wine, check, mode, readable):
    """Standard output to a regular file or a pipe: the bytes exactly.  The
    null device is a character device: a normal run."""
    seed, refused = seed_long_lines()
    before = wine.seed(seed)
    lines, expected = expected_run(before, refused)
    check.run("run", wine.tool(mode), out=lines_out(lines) if readable else None)
    check.same_tree("tree after the run", expected, wine.dump())


def test_stdout_file_block_rule(wine, check):
    """The block rule on a file, seen in the writes themselves: eight lines
    of 40 bytes (42 with CR LF) go out as two blocks of 128 bytes while the
    run goes on and the rest at its end.  On a file that takes one block
    only, the first block lands whole and the second fails (31) in the
    seventh line, when six sessions are recoloured; written a line at a
    time the output would fail within the first four lines or soon after,
    written all at the end only after the eighth."""
    seed = Seed()
    names = [b"%02d-" % i + b"x" * 36 for i in range(8)]
    for name in names:
        seed.key(session(name))
    wine.seed(seed)
    check.run("eight lines of 40 bytes", wine.tool("file"), out=lines_out(names))

    wine.fixture(b"reset\n")
    before = wine.seed(seed)
    result = wine.tool("one-block-file")
    check.report("run on a file of one block", result, 31, out=lines_out(names)[:BUFFER])
    second_block_full = 2 * BUFFER // len(lines_out(names[:1]))
    expected = before.copy()
    for name in names[:second_block_full]:
        expected.recolour(session(name))
    check.same_tree("tree after the run on a file of one block", expected, wine.dump())


def test_stdout_pty(wine, check):
    """On a terminal (a Wine console) every line is written at its end, and
    a longer one in 128-byte pieces."""
    seed, refused = seed_long_lines()
    seed.key(session(b"short"))
    before = wine.seed(seed)
    lines, expected = expected_run(before, refused)
    result = wine.tool("pty")
    check.run("run", result, out=None)
    check.same_bytes("bytes on the pty", console_rendering(channel_writes(lines, True)),
                     result.out)
    check.same_tree("tree after the run", expected, wine.dump())


def test_stdout_dev_full(wine, check):
    """A full device: the first line fails, status 1, nothing written."""
    before = two_plain_sessions(wine)
    result = wine.tool("/dev/full")
    check.report("run", result, 112)
    check.same_tree("tree after the run", before, wine.dump())


@pytest.mark.parametrize("mode, code", FAILING_KINDS)
def test_stdout_fails_when_buffer_fills(wine, check, mode, code):
    """A pipe without a reader (233), or standard output closed with >&- (a
    handle whose writes fail with 6), failing when the buffer fills."""
    check_filled_during_run(wine, check, mode, code)


@pytest.mark.parametrize("mode, code", FAILING_KINDS)
def test_stdout_fails_at_exit(wine, check, expected, mode, code):
    """The same, failing at the final write-out: under 128 bytes, every
    session recoloured, then the final write-out at shutdown fails."""
    before = two_plain_sessions(wine)
    result = wine.tool(mode)
    if expected.shutdown_failure == "report":
        check.report("run", result, code)
    else:
        check.run("run", result, out=None)
    expected_tree = before.copy()
    expected_tree.recolour(session(b"One"))
    expected_tree.recolour(session(b"Two"))
    check.same_tree("tree after the run", expected_tree, wine.dump())


def test_stdout_no_handle(wine, check):
    """No standard output handle at all (invalid, or null): I/O error 105."""
    for mode in ("invalid", "null"):
        before = two_plain_sessions(wine)
        check.report("stdout %s" % mode, wine.tool(mode), 105)
        check.same_tree("tree after the run with stdout %s" % mode, before, wine.dump())
    # A run that prints nothing never opens standard output.
    for seed in (Seed(), Seed().key(SESSIONS)):
        before = wine.seed(seed)
        check.run("silent run with no stdout handle", wine.tool("invalid"))
        check.same_tree("tree after the silent run", before, wine.dump())
