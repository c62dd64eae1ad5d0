"""Wine under other Unix locales, hence other code pages: a locale compiled
with localedef into the prefix, without installing it, and a with block that
runs the fixture and the tool under it.  A locale this host cannot compile
skips the case, with the reason."""

import os
import shutil
import subprocess
import tempfile

import pytest

from harness import HarnessError
from harness.wine import WINE_ENV


def unix_locale(wine, name):
    """LOCPATH for the Unix locale NAME (such as hi_IN.UTF-8), compiled with
    localedef into the prefix once per test run, without installing it."""
    directory = os.path.join(wine.prefix, "locales")
    if os.path.isdir(os.path.join(directory, name)):
        return directory
    source, charmap = name.split(".")
    if not shutil.which("localedef"):
        pytest.skip("no localedef to compile the %s locale" % name)
    os.makedirs(directory, exist_ok=True)
    building = tempfile.mkdtemp(prefix=name + ".", dir=directory)
    made = subprocess.run(["localedef", "-i", source, "-f", charmap,
                           os.path.join(building, name)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if made.returncode != 0 or not os.path.isdir(os.path.join(building, name)):
        shutil.rmtree(building, ignore_errors=True)
        pytest.skip("localedef cannot compile %s (the locale sources come with Debian's "
                    "locales package): %s" % (name, made.stdout.decode("utf-8", "replace").strip()))
    os.rename(os.path.join(building, name), os.path.join(directory, name))
    os.rmdir(building)
    return directory


class InLocale:
    """Wine run under another Unix locale, hence other code pages, for the
    length of a with block: the fixture as well as the tool."""

    def __init__(self, wine, name, code_page):
        self.wine, self.name, self.code_page = wine, name, code_page

    def __enter__(self):
        self.saved = dict(self.wine.env)
        self.wine.env.update(LOCPATH=unix_locale(self.wine, self.name), LC_ALL=self.name,
                             LANG=self.name)
        pages = self.wine.fixture(b"codepages\n")
        wanted = b"acp=%d oemcp=%d\n" % (self.code_page, self.code_page)
        if pages != wanted:
            self.__exit__()
            pytest.skip("under the Unix locale %s Wine's code pages are %s, not ANSI and OEM %d"
                        % (self.name, pages.decode("ascii", "replace").strip(), self.code_page))
        print("%s: %s" % (self.name, self.wine.fixture(b"cpinfo\n").decode("ascii").strip()))
        return self

    def __exit__(self, *exc):
        self.wine.env.clear()
        self.wine.env.update(self.saved)
        pages = self.wine.fixture(b"codepages\n")
        if pages != b"acp=1252 oemcp=437\n":
            raise HarnessError("back in %s the code pages are %r" % (WINE_ENV["LC_ALL"], pages))
