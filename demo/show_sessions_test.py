#!/usr/bin/env python3
"""Tests of the demo's report: reading the helper's dumps, telling which
values the tool could not write, and plain text off a terminal."""

import contextlib
import io
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import show_sessions  # noqa: E402

PUNCTUATED = "Night shift, 50% dim (v2)!".encode()


def hexed(data):
    return data.hex() if data else "-"


def value(name, kind, data):
    return "V %s %d %s" % (hexed(name), kind, hexed(data))


def session_dump(name, values=(), subkeys=()):
    lines = ["S " + hexed(name)] + list(values)
    for path, subkey_values in subkeys:
        lines += ["K " + hexed(path)] + list(subkey_values)
    return lines


SCHEME_0 = value(b"Colour0", 1, b"215,215,215\0")


class Dumps(unittest.TestCase):
    def test_values_belong_to_the_key_above_them(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "dump.txt")
            with open(path, "w", newline="\r\n") as dump:  # the helper's stdout is a text-mode stream
                dump.write("\n".join(
                    session_dump(PUNCTUATED, [value(b"Colour0", 4, b"\xff\xff\0\0"), value(b"", 1, b"\0")],
                                 [(b"Backup", [value(b"Colour0", 1, b"1,1,1\0")]),
                                  (b"Backup\\Old", [])]) +
                    session_dump(b"Travel", [SCHEME_0])) + "\n")
            sessions = show_sessions.read_dump(path)
        self.assertEqual(list(sessions), [PUNCTUATED, b"Travel"])
        first = sessions[PUNCTUATED]
        self.assertEqual(first.values, {b"Colour0": (4, b"\xff\xff\0\0"), b"": (1, b"\0")})
        self.assertEqual(list(first.subkeys), [b"Backup", b"Backup\\Old"])
        self.assertEqual(first.subkeys[b"Backup"].values, {b"Colour0": (1, b"1,1,1\0")})
        self.assertEqual(sessions[b"Travel"].values, {b"Colour0": (1, b"215,215,215\0")})

    def test_only_colour_texts_get_a_swatch(self):
        cases = [
            ((1, b"242,174,0\0"), ("REG_SZ", '"242,174,0"', (242, 174, 0))),
            ((2, b"1,2,3\0"), ("REG_EXPAND_SZ", '"1,2,3"', (1, 2, 3))),
            ((1, b"256,0,0\0"), ("REG_SZ", '"256,0,0"', None)),
            ((1, b"1, 2, 3\0"), ("REG_SZ", '"1, 2, 3"', None)),
            ((4, b"\x00\xff\xff\x00"), ("REG_DWORD", "0x00FFFF00", None)),
            ((7, b"1,2,3\0004,5,6\0\0"), ("REG_MULTI_SZ", "1,2,3 | 4,5,6", None)),
            ((3, b""), ("REG_BINARY", "(empty)", None)),
        ]
        for stored, expected in cases:
            with self.subTest(stored=stored):
                self.assertEqual(show_sessions.shown(stored), expected)


class Report(unittest.TestCase):
    """The whole report, from dumps and the tool's output as files."""

    def report(self, before, after, tool_output, terminal=False):
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for name, content in (("before", before), ("after", after)):
                paths.append(os.path.join(folder, name))
                with open(paths[-1], "w") as dump:
                    dump.write("\n".join(content) + "\n")
            paths.append(os.path.join(folder, "output"))
            with open(paths[-1], "wb") as output:
                output.write(tool_output)
            printed = io.StringIO()
            printed.isatty = lambda: terminal
            with contextlib.redirect_stdout(printed), mock.patch.dict(os.environ, {}, clear=False):
                os.environ.pop("NO_COLOR", None)
                status = show_sessions.main(["show_sessions.py"] + paths + ["0"])
        self.assertEqual(status, 0)
        return printed.getvalue()

    @staticmethod
    def rows(report, session):
        section = report.split('Session "%s"\n' % session)[1].split("\n\n")[0]
        return {line.split()[0]: line for line in section.splitlines()[1:] if line.startswith("  Colour")}

    def test_failure_lines_mark_their_own_session_only(self):
        failure = (b"Could not write value 215,215,215 to registry key HKEY_CURRENT_USER\\Software\\"
                   b"Tessaloquin\\Zorvo\\Sessions\\" + PUNCTUATED + b"\\Colour0\r\n")
        before = session_dump(PUNCTUATED) + session_dump(b"Other")
        after = session_dump(PUNCTUATED) + session_dump(b"Other", [SCHEME_0])
        report = self.report(before, after, PUNCTUATED + b"\r\n" + failure + b"Other\r\n")
        self.assertIn("  " + failure.decode().rstrip(), report)
        self.assertTrue(self.rows(report, PUNCTUATED.decode())["Colour0"].endswith("not written"))
        self.assertTrue(self.rows(report, PUNCTUATED.decode())["Colour1"].endswith("created"))
        self.assertTrue(self.rows(report, "Other")["Colour0"].endswith("created"))

    def test_replaced_same_and_created_values(self):
        before = session_dump(b"S", [value(b"Colour0", 4, b"\1\0\0\0"), SCHEME_0.replace("Colour0".encode().hex(),
                                                                                         b"Colour1".hex())])
        after = session_dump(b"S", [SCHEME_0, value(b"Colour1", 1, b"215,215,215\0")])
        rows = self.rows(self.report(before, after, b"S\r\n"), "S")
        self.assertTrue(rows["Colour0"].endswith("replaced"))
        self.assertTrue(rows["Colour1"].endswith("same text"))
        self.assertIn("(none)", rows["Colour2"])

    def test_a_changed_other_value_or_subkey_is_flagged(self):
        host = value(b"HostName", 1, b"a\0")
        backup = [(b"Backup", [value(b"Colour0", 1, b"1,1,1\0")])]
        before = session_dump(b"S", [host], backup)
        after = session_dump(b"S", [value(b"HostName", 1, b"b\0")], [(b"Backup", [SCHEME_0])])
        report = self.report(before, after, b"S\r\n")
        self.assertIn('Other value HostName (REG_SZ "a"): CHANGED', report)
        self.assertIn("Subkey Backup (1 values): CHANGED", report)
        untouched = self.report(before, before, b"S\r\n")
        self.assertIn('Other value HostName (REG_SZ "a"): unchanged', untouched)
        self.assertIn("Subkey Backup (1 values): unchanged", untouched)

    def test_swatches_only_on_a_terminal(self):
        dump = session_dump(b"S", [value(b"Colour13", 1, b"255,174,0\0")])
        plain = self.report(dump, dump, b"S\r\n", terminal=False)
        self.assertNotIn("\x1b", plain)
        coloured = self.report(dump, dump, b"S\r\n", terminal=True)
        self.assertIn("\x1b[48;2;255;174;0m  \x1b[0m", self.rows(coloured, "S")["Colour13"])
        # Every row keeps its columns: the swatch takes the same room as its absence.
        widths = {len(row.replace("\x1b[48;2;255;174;0m", "").replace("\x1b[0m", "").rsplit("  ", 1)[0])
                  for row in self.rows(coloured, "S").values()}
        self.assertEqual(len(widths), 1, widths)


if __name__ == "__main__":
    unittest.main()
