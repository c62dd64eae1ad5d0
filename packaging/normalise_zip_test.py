#!/usr/bin/env python3
"""Tests of the release archive's normalisation: the bytes must depend on the
entries' names, order and contents alone."""

import os
import sys
import tempfile
import time
import unittest
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import normalise_zip  # noqa: E402

ENTRIES = [("top/zorvo-recolour.exe", b"MZ" + bytes(range(256)) * 40), ("top/README.md", b"# readme\n"),
           ("top/USAGE.txt", b"usage\r\n"), ("top/SHA256SUMS", b"")]


def make_archive(path, date_time, mode, extra, compression):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in ENTRIES:
            info = zipfile.ZipInfo(name, date_time)
            info.external_attr = mode << 16
            info.extra = extra
            info.compress_type = compression
            archive.writestr(info, data)


class Normalise(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_archives_that_differ_only_in_metadata_become_identical(self):
        # What differs between two CPack runs: times, the UT field (with the
        # staged files' change times), owners, modes, compression.
        make_archive(self.path("a.zip"), (2024, 5, 1, 10, 0, 0), 0o100644,
                     b"UT\x05\x00\x07\x00\x00\x00\x00", zipfile.ZIP_DEFLATED)
        make_archive(self.path("b.zip"), (2025, 1, 2, 3, 4, 6), 0o100600,
                     b"UT\x05\x00\x07\x01\x02\x03\x04", zipfile.ZIP_STORED)
        for name in ("a.zip", "b.zip"):
            normalise_zip.normalise(self.path(name), 1700000000)
        with open(self.path("a.zip"), "rb") as a, open(self.path("b.zip"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_entries_keep_their_order_and_contents_and_get_the_given_time(self):
        make_archive(self.path("a.zip"), (2024, 5, 1, 10, 0, 0), 0o100644, b"", zipfile.ZIP_STORED)
        normalise_zip.normalise(self.path("a.zip"), 1700000000)
        with zipfile.ZipFile(self.path("a.zip")) as archive:
            self.assertIsNone(archive.testzip())
            self.assertEqual([(info.filename, archive.read(info)) for info in archive.infolist()], ENTRIES)
            for info in archive.infolist():
                self.assertEqual(info.date_time, time.gmtime(1700000000)[:6])
                self.assertEqual(info.extra, b"")
                self.assertEqual(info.external_attr >> 16, 0o100755 if info.filename.endswith(".exe") else 0o100644)

    def test_a_time_before_1980_becomes_the_earliest_zip_time(self):
        make_archive(self.path("a.zip"), (2024, 5, 1, 10, 0, 0), 0o100644, b"", zipfile.ZIP_STORED)
        normalise_zip.normalise(self.path("a.zip"), 0)
        with zipfile.ZipFile(self.path("a.zip")) as archive:
            self.assertEqual({info.date_time for info in archive.infolist()}, {(1980, 1, 1, 0, 0, 0)})


if __name__ == "__main__":
    unittest.main()
