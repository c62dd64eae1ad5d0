#!/usr/bin/env python3
"""Tests of the documents' link check: a link to a missing file or to a
heading that is not there must be reported; what resolves, or is no link at
all, must not."""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_doc_links  # noqa: E402

GUIDE = """# Guide

## Running it under Wine

## Exit statuses

## Exit statuses
"""


class CheckDocLinks(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.tracked = set()
        self.write("docs/guide.md", GUIDE)
        self.write("scripts/run.sh", "")

    def write(self, name, text):
        path = os.path.join(self.folder.name, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        self.tracked.add(name)

    def problems(self, readme):
        self.write("README.md", readme)
        return check_doc_links.check(self.folder.name, ["README.md", "docs/guide.md"], self.tracked)

    def test_links_that_resolve_pass(self):
        self.assertEqual(self.problems(
            "See [the guide](docs/guide.md#running-it-under-wine), [the second one]"
            "(docs/guide.md#exit-statuses-1), [a script](scripts/run.sh), [its folder](scripts/),\n"
            "[here](#readme), [the web](https://example.org/x.md) and [a reference][ref].\n\n"
            "# Readme\n\n[ref]: ./docs/guide.md\n"), [])

    def test_a_link_to_a_missing_file_fails(self):
        self.assertEqual(self.problems("Read [it](docs/gide.md).\n"),
                         ["README.md:1: docs/gide.md: no tracked file or folder docs/gide.md"])

    def test_a_link_to_a_missing_heading_fails(self):
        self.assertEqual(self.problems("\n[Wine](docs/guide.md#running-under-wine)\n"),
                         ["README.md:2: docs/guide.md#running-under-wine: "
                          "no heading in docs/guide.md has the anchor #running-under-wine"])

    def test_a_missing_heading_of_the_same_file_fails(self):
        self.assertEqual(len(self.problems("# Readme\n\n[up](#read-me)\n")), 1)

    def test_a_file_that_is_there_but_not_tracked_fails(self):
        self.write("build/notes.md", "")
        self.tracked.discard("build/notes.md")
        self.assertEqual(len(self.problems("[notes](build/notes.md)\n")), 1)

    def test_a_reference_definition_is_checked(self):
        self.assertEqual(len(self.problems("[guide][g]\n\n[g]: docs/missing.md\n")), 1)

    def test_a_link_outside_the_repository_fails(self):
        self.assertEqual(len(self.problems("[up](../README.md)\n")), 1)

    def test_code_is_no_link(self):
        self.assertEqual(self.problems("`[a](missing.md)`\n\n```\n[b](missing.md)\n```\n"), [])


if __name__ == "__main__":
    unittest.main()
