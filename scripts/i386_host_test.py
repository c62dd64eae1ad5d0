#!/usr/bin/env python3
"""Tests of the host set-up for Wine's 32-bit side: the probe program and
what it tells of the program that runs it, what the set-up plans from what
it finds on the host, what it tells a user who is not root, and what it runs
as root."""

import contextlib
import io
import os
import re
import shutil
import subprocess
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
NATIVE = i386_host.Probe("native")
EMULATED = i386_host.Probe("emulated", "/usr/libexec/qemu-binfmt/i386-binfmt-P", "10.0.2")
REFUSED = i386_host.Probe("refused", detail="Exec format error")
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
        # The set-up reads ZORVO_EMULATE_I386: each test says whether it is set.
        environment = mock.patch.dict(os.environ)
        environment.start()
        self.addCleanup(environment.stop)
        os.environ.pop("ZORVO_EMULATE_I386", None)
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
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
        errors = io.StringIO()
        with mock.patch.object(i386_host, "run_probe", return_value=REFUSED), \
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
        for probe, forced in ((NATIVE, None), (EMULATED, None), (NATIVE, "0"), (EMULATED, "1")):
            with self.subTest(mode=probe.mode, ZORVO_EMULATE_I386=forced), \
                    mock.patch.object(i386_host, "run_probe", return_value=probe), \
                    mock.patch.dict(os.environ, {"ZORVO_EMULATE_I386": forced} if forced else {}), \
                    mock.patch.object(i386_host, "plan_setup") as plan:
                self.assertEqual(0, i386_host.setup())
                plan.assert_not_called()

    def setup_as_root(self, probes, environment=()):
        """setup() run as root, the probe showing PROBES in turn: its status,
        the steps it ran (none of them for real) and what it said."""
        steps, said = [], io.StringIO()
        with mock.patch.object(i386_host, "run_probe", side_effect=probes), \
                mock.patch.object(i386_host.os, "geteuid", return_value=0), \
                mock.patch.object(i386_host, "run_step", side_effect=steps.append), \
                mock.patch.dict(os.environ, dict(environment)), \
                contextlib.redirect_stderr(said):
            status = i386_host.setup()
        return status, steps, said.getvalue()

    def test_as_root_a_refusing_host_gets_fresh_lists_the_plan_and_a_second_probe(self):
        status, steps, said = self.setup_as_root([REFUSED, EMULATED])
        self.assertEqual(0, status)
        self.assertEqual("apt-get update -qq", steps[0])
        self.assertTrue(steps[1].startswith("printf %s 'Types: deb\n"), steps[1])
        self.assertEqual(["apt-get update -qq",
                          "apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static",
                          "mount -t binfmt_misc binfmt_misc " + self.binfmt,
                          "printf %s '" + i386_host.REGISTRATION + "' > " + os.path.join(self.binfmt, "register")],
                         steps[2:])
        self.assertTrue(said.endswith("32-bit x86 programs now run emulated by qemu-i386 10.0.2\n"), said)

    def test_as_root_a_host_still_unable_after_the_set_up_is_an_error(self):
        stale = i386_host.Probe("emulated", "/usr/libexec/qemu-binfmt/i386-binfmt-P (deleted)", "10.0.2",
                                stale=True)
        for after, why in ((REFUSED, "not at all (Exec format error)"),
                           (NATIVE, "natively"),
                           (stale, "emulated by qemu-i386 10.0.2, from a stale handler")):
            with self.subTest(after=after.describe()), \
                    self.assertRaisesRegex(i386_host.SetupError, re.escape("still runs 32-bit x86 programs " + why)):
                self.setup_as_root([REFUSED, after])

    def test_forced_emulation_registers_the_handler_on_a_native_host(self):
        self.installed = "1:10.0.2+ds-2~bpo12+1"
        self.mount()
        status, steps, said = self.setup_as_root([NATIVE, EMULATED], {"ZORVO_EMULATE_I386": "1"})
        self.assertEqual(0, status)
        self.assertEqual(["printf %s '" + i386_host.REGISTRATION + "' > " + os.path.join(self.binfmt, "register")],
                         steps)
        self.assertIn("ZORVO_EMULATE_I386=1 asks for emulation;", said)

    def test_forced_emulation_that_the_host_ignores_is_an_error(self):
        self.installed = "1:10.0.2+ds-2~bpo12+1"
        self.mount()
        with self.assertRaisesRegex(i386_host.SetupError, "still runs 32-bit x86 programs natively"):
            self.setup_as_root([NATIVE, NATIVE], {"ZORVO_EMULATE_I386": "1"})


class EmulatorSeenByTheProbe(unittest.TestCase):
    """The probe run as an emulator would run it: a stand-in for the
    emulator (a copy of the shell, at the handler's interpreter path) starts
    in the probe program's place, writes its "x" and stops, so that
    /proc/PID/exe names the stand-in, as it names qemu under binfmt_misc."""

    def setUp(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        self.interpreter = os.path.join(folder, "i386-binfmt-P")
        shutil.copy2("/bin/sh", self.interpreter)
        self.upgraded_while_running = False
        start = subprocess.Popen

        def emulator_in_the_probes_place(argv, **options):
            emulator = start([self.interpreter, "-c", "printf x; kill -STOP $$"], **options)
            if self.upgraded_while_running:
                # As a package upgrade does: a new file renamed over the old,
                # which the running handler still holds open.
                shutil.copy2("/bin/sh", self.interpreter + ".new")
                os.rename(self.interpreter + ".new", self.interpreter)
            return emulator

        for target, name, value in ((i386_host, "INTERPRETER", self.interpreter),
                                    (i386_host.subprocess, "Popen", emulator_in_the_probes_place),
                                    (i386_host, "emulator_version", lambda exe: "10.0.2")):
            patcher = mock.patch.object(target, name, value)
            patcher.start()
            self.addCleanup(patcher.stop)

    def test_a_handler_is_stale_once_its_emulator_was_replaced_at_the_interpreter_path(self):
        for upgraded, stale, runner in ((False, False, "%s"), (True, True, "%s (deleted)")):
            with self.subTest(upgraded=upgraded):
                self.upgraded_while_running = upgraded
                probe = i386_host.run_probe()
                self.assertEqual(("emulated", stale, runner % self.interpreter),
                                 (probe.mode, probe.stale, probe.runner))
                self.assertEqual(not stale, probe.usable())


if __name__ == "__main__":
    unittest.main()
