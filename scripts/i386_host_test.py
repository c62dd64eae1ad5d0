#!/usr/bin/env python3
"""Tests of the host set-up for Wine's 32-bit side: the probe program, what
the set-up plans from what it finds on the host, and what it tells a user
who is not root."""

import contextlib
import io
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import i386_host  # noqa: E402

I386_ENTRY = ("enabled\ninterpreter /usr/bin/qemu-i386-static\nflags: F\noffset 0\n"
              "magic 7f454c4601010100000000000000000002000300\n"
              "mask fffffffffffefe00fffffffffffffffffeffffff\n")
ARM_ENTRY = ("enabled\ninterpreter /usr/libexec/qemu-binfmt/arm-binfmt-P\nflags: POF\noffset 0\n"
             "magic 7f454c4601010100000000000000000002002800\n"
             "mask ffffffffffffff00fffffffffffffffffeffffff\n")


class ProbeProgram(unittest.TestCase):
    def test_the_handler_claims_the_probe_and_the_i386_programs_it_stands_for(self):
        magic, mask = i386_host.MAGIC, i386_host.MASK

        def claimed(header):  # as binfmt_misc matches: the bits under the mask agree
            return not any((a ^ b) & m for a, b, m in zip(header, magic, mask))

        program = i386_host.probe_program()
        self.assertTrue(claimed(program))
        position_independent = program[:16] + b"\x03" + program[17:]
        self.assertTrue(claimed(position_independent))
        x86_64 = program[:4] + b"\x02" + program[5:18] + b"\x3e" + program[19:]
        self.assertFalse(claimed(x86_64))

    def test_the_probe_runs_on_this_host(self):
        # The test command runs after the set-up: the probe must run here,
        # natively or emulated, and say which.
        probe = i386_host.run_probe()
        self.assertIn(probe.mode, ("native", "emulated"), probe.detail)
        self.assertTrue(probe.usable(), probe.describe())
        if probe.mode == "emulated":
            self.assertRegex(probe.describe(), r"^emulated by qemu-i386 \d+\.\d+")


class Versions(unittest.TestCase):
    def test_major_versions_of_qemu_and_of_its_debian_packages(self):
        for version, major in (("10.0.2", 10), ("1:7.2+dfsg-7+deb12u18+b3", 7),
                               ("1:10.0.2+ds-2+deb13u1~bpo12+1", 10), ("8.2", 8), (None, 0), ("", 0)):
            with self.subTest(version=version):
                self.assertEqual(major, i386_host.qemu_major(version))

    def test_an_old_or_stale_emulator_is_not_usable(self):
        self.assertFalse(i386_host.Probe("emulated", version="7.2.0").usable())
        self.assertFalse(i386_host.Probe("emulated", version="10.0.2", stale=True).usable())
        self.assertFalse(i386_host.Probe("refused").usable())
        self.assertTrue(i386_host.Probe("emulated", version="8.0.0").usable())


class Host(unittest.TestCase):
    """A host made of a temporary folder: binfmt_misc, apt's sources and
    the package versions are the test's to set."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.binfmt = os.path.join(self.folder, "binfmt_misc")
        self.sources = os.path.join(self.folder, "sources.list.d")
        os.makedirs(self.sources)
        self.installed = None
        self.candidates = {None: "1:7.2+dfsg-7+deb12u18+b3", "bookworm-backports": "1:10.0.2+ds-2~bpo12+1"}
        for name, value in (("BINFMT_DIR", self.binfmt), ("SOURCES_DIR", self.sources)):
            patcher = mock.patch.object(i386_host, name, value)
            patcher.start()
            self.addCleanup(patcher.stop)
        for name, fake in (("installed_version", lambda package: self.installed),
                           ("candidate_version", lambda package, release=None: self.candidates.get(release)),
                           ("codename", lambda: "bookworm")):
            patcher = mock.patch.object(i386_host, name, fake)
            patcher.start()
            self.addCleanup(patcher.stop)

    def tearDown(self):
        import shutil
        shutil.rmtree(self.folder)

    def mount(self, **entries):
        os.makedirs(self.binfmt)
        for name, text in dict(entries, register="", status="enabled\n").items():
            with open(os.path.join(self.binfmt, name), "w") as entry:
                entry.write(text)

    def add_source(self, name, text):
        with open(os.path.join(self.sources, name), "w") as source:
            source.write(text)

    def test_a_bare_bookworm_host_gets_backports_qemu_mounted_and_registered(self):
        commands = i386_host.plan_setup(lists_fresh=False).commands
        self.assertEqual("apt-get update -qq", commands[0])
        self.assertTrue(commands[1].startswith("printf %s 'Types: deb\nURIs: http://deb.debian.org/debian\n"
                                               "Suites: bookworm-backports\nComponents: main\n"))
        self.assertTrue(commands[1].endswith("' > " + os.path.join(self.sources, "bookworm-backports.sources")))
        self.assertEqual(["apt-get update -qq",
                          "apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static",
                          "mount -t binfmt_misc binfmt_misc " + self.binfmt,
                          "printf %s '" + i386_host.REGISTRATION + "' > " + os.path.join(self.binfmt, "register")],
                         commands[2:])

    def test_a_backports_source_that_is_there_is_used_not_added_again(self):
        self.add_source("debian.sources", "Types: deb\nSuites: bookworm bookworm-updates\n")
        self.add_source("extra.list", "# deb http://mirror bookworm-backports main\n"
                                      "deb http://mirror bookworm-backports main contrib\n")
        commands = i386_host.plan_setup(lists_fresh=True).commands
        self.assertFalse(any("sources" in command for command in commands))
        self.assertEqual("apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static",
                         commands[0])

    def test_a_commented_out_source_does_not_count(self):
        self.add_source("old.list", "#deb http://mirror bookworm-backports main\n")
        self.assertFalse(i386_host.has_apt_suite("bookworm-backports"))

    def test_a_release_whose_own_qemu_is_recent_enough_needs_no_backports(self):
        self.candidates[None] = "1:10.0.2+ds-2"
        commands = i386_host.plan_setup(lists_fresh=True).commands
        self.assertEqual("apt-get install -y -qq --no-install-recommends qemu-user-static", commands[0])
        self.assertFalse(any("backports" in command for command in commands))

    def test_a_stale_handler_is_replaced_and_other_architectures_are_left_alone(self):
        self.installed = "1:10.0.2+ds-2~bpo12+1"
        self.mount(**{"qemu-i386": I386_ENTRY, "old-i386": I386_ENTRY, "qemu-arm": ARM_ENTRY})
        self.assertEqual(["printf %s -1 > " + os.path.join(self.binfmt, "old-i386"),
                          "printf %s -1 > " + os.path.join(self.binfmt, "qemu-i386"),
                          "printf %s '" + i386_host.REGISTRATION + "' > " + os.path.join(self.binfmt, "register")],
                         i386_host.plan_setup(lists_fresh=False).commands)

    def test_a_user_who_is_not_root_is_shown_the_commands_and_nothing_runs(self):
        refused = i386_host.Probe("refused", detail="Exec format error")
        errors = io.StringIO()
        with mock.patch.object(i386_host, "run_probe", return_value=refused), \
                mock.patch.object(i386_host.os, "geteuid", return_value=1000), \
                mock.patch.object(i386_host.subprocess, "run") as run, \
                contextlib.redirect_stderr(errors):
            self.assertEqual(1, i386_host.setup())
        run.assert_not_called()
        said = errors.getvalue()
        self.assertIn("runs 32-bit x86 programs not at all (Exec format error)", said)
        self.assertIn("Run as root:\n  apt-get update -qq\n", said)
        self.assertIn("\n  printf %s '" + i386_host.REGISTRATION + "' > ", said)

    def test_a_host_that_is_ready_is_left_as_it_is(self):
        for probe in (i386_host.Probe("native"), i386_host.Probe("emulated", version="10.0.2")):
            with self.subTest(mode=probe.mode), \
                    mock.patch.object(i386_host, "run_probe", return_value=probe), \
                    mock.patch.object(i386_host, "plan_setup") as plan:
                self.assertEqual(0, i386_host.setup())
                plan.assert_not_called()


if __name__ == "__main__":
    unittest.main()
