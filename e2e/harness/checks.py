"""The soft checker: a case that checks several independent things records
every mismatch and fails once at its end (conftest.py does that), so one run
shows them all.  Byte strings are compared exactly and shown side by side,
expected against actual, as a diff of readable lines."""

import difflib
import re


def show(data):
    """Bytes as readable text: printable ASCII kept, everything else escaped;
    a key name kept only in UTF-16 (a str) as its Python literal."""
    if isinstance(data, str):
        return ascii(data)
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        elif b == 0x0D:
            out.append("\\r")
        elif b == 0x0A:
            out.append("\\n")
        elif b == 0x09:
            out.append("\\t")
        else:
            out.append("\\x%02X" % b)
    return "".join(out)


def byte_lines(data):
    return [show(line) for line in data.splitlines(keepends=True)] or ["(nothing)"]


def unified(expected_lines, actual_lines, limit=120):
    diff = list(difflib.unified_diff(expected_lines, actual_lines, "expected",
                                     "actual", lineterm="", n=2))
    if len(diff) > limit:
        diff = diff[:limit] + ["... (%d more diff lines)" % (len(diff) - limit)]
    return "\n".join(diff)


class Check:
    def __init__(self, name, module=b"zorvo-recolour.exe"):
        self.name = name
        self.module = module
        self.failures = []

    def fail(self, what, detail=""):
        self.failures.append("FAIL %s: %s%s" % (self.name, what, "\n" + detail if detail else ""))

    def equal(self, what, expected, actual):
        if expected != actual:
            self.fail(what, "expected: %r\nactual:   %r" % (expected, actual))

    def same_bytes(self, what, expected, actual):
        if expected != actual:
            self.fail(what, "%d bytes expected, %d bytes got\n%s" %
                      (len(expected), len(actual),
                       unified(byte_lines(expected), byte_lines(actual))))

    def same_tree(self, what, expected, actual):
        if expected != actual:
            self.fail(what, unified(expected.render(), actual.render()))

    def run(self, what, result, status=0, out=b"", err=b""):
        """Status, standard output and standard error, all exact; an output
        given as None is not compared."""
        self.equal(what + ": exit status", status, result.status)
        if out is not None:
            self.same_bytes(what + ": standard output", out, result.out)
        if err is not None:
            self.same_bytes(what + ": standard error", err, result.err)

    def report(self, what, result, code, module=None, out=b""):
        """A run ended by an output failure: status 1, standard output
        holding OUT (nothing, unless it is a file that took what was written
        before the failure), and standard error holding exactly one report.
        Returns the reported position."""
        module = module or self.module
        self.equal(what + ": exit status", 1, result.status)
        self.same_bytes(what + ": standard output", out, result.out)
        pattern = (b"Exception EInOutError in module " + re.escape(module) +
                   b" at ([0-9A-F]{8})\\.\r\nI/O error " + str(code).encode() +
                   b"\\.\r\n\r\n")
        match = re.fullmatch(pattern, result.err)
        if not match:
            found = re.search(b" at ([0-9A-F]{8})\\.", result.err)
            position = found.group(1) if found else b"XXXXXXXX"
            expected = (b"Exception EInOutError in module " + module + b" at " + position +
                        b".\r\nI/O error " + str(code).encode() + b".\r\n\r\n")
            self.same_bytes(what + ": standard error (the report)", expected, result.err)
            return None
        return int(match.group(1), 16)

    def summary(self):
        """Every mismatch recorded, one paragraph each."""
        return "\n\n".join(self.failures)
