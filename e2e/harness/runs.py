"""The tool's lines as it is built to print them, and the runs that cases of
several themes share: a seeded tree's expected lines and tree, and a run
whose output fails once the 128-byte buffer fills."""

import re

from harness.registry import LONGEST_SELECTABLE_NAME, SCHEME, Seed, names_in_order, session

KEY_TEXT = b"HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions\\"
CRLF = b"\r\n"


def failure_line(name, index):
    return (b"Could not write value " + SCHEME[index] + b" to registry key " +
            KEY_TEXT + name + b"\\Colour" + str(index).encode())


def lines_out(lines):
    return b"".join(line + CRLF for line in lines)


def parse_lines(out):
    """Standard output's lines without their CR LF; bytes after the last CR
    LF make one more line (which is no name)."""
    lines = out.split(CRLF)
    return lines[:-1] if lines[-1] == b"" else lines


FAILURE_LINE = re.compile(b"Could not write value ([0-9,]+) to registry key " + re.escape(KEY_TEXT) +
                          b"(.*)\\\\Colour([0-9]+)", re.S)


def split_failures(lines, names):
    """The run's lines as (session name, [colour indices of its failure
    lines]); None when a line is neither a listed name nor a well-formed
    failure line of the session before it, after that session's earlier
    failure lines."""
    runs = []
    for line in lines:
        match = FAILURE_LINE.fullmatch(line)
        if match and runs and match.group(2) == runs[-1][0]:
            index = int(match.group(3))
            if index < len(SCHEME) and match.group(1) == SCHEME[index] and \
                    all(earlier < index for earlier in runs[-1][1]):
                runs[-1][1].append(index)
                continue
        if line not in names:
            return None
        runs.append((line, []))
    return runs


def expected_run(before, refused=()):
    """Lines and tree after a run over the seeded sessions: the refused ones,
    and those whose path is too long for the ANSI calls, get failure lines."""
    lines, expected = [], before.copy()
    for name in names_in_order(before):
        lines.append(name)
        if name in refused or len(name) > LONGEST_SELECTABLE_NAME:
            lines += [failure_line(name, i) for i in range(len(SCHEME))]
        else:
            expected.recolour(session(name))
    return lines, expected


def two_plain_sessions(wine):
    return wine.seed(Seed().key(session(b"One")).key(session(b"Two"))
                     .text(session(b"Two"), b"Colour0", b"7,7,7"))


def sessions_by_tens(count):
    """Names of 10 bytes: a line of 12, so the buffer fills in line 11."""
    return [b"Session-%02d" % i for i in range(count)]


def check_filled_during_run(wine, check, mode, code):
    """The buffer fills during the 11th line: that check fails, so the first
    ten sessions are recoloured and the rest untouched."""
    names = sessions_by_tens(20)
    seed = Seed()
    for name in names:
        seed.key(session(name))
    before = wine.seed(seed)
    position = check.report("run", wine.tool(mode), code)
    expected = before.copy()
    for name in names[:10]:
        expected.recolour(session(name))
    check.same_tree("tree after the run", expected, wine.dump())
    return position
