"""The failure report on standard error: its position traced through the
linker map to the code that raised, the program file's name in the OEM code
page, no post-mortem debugger started, and the failures that the registry
cannot drive the tool into (an access fault, exhausted memory), through the
fault probe built beside it."""

import os
import re
import shutil

import i386_host
from harness import HarnessError
from harness.checks import byte_lines
from harness.debugger import MarkingDebugger, debugger_setting
from harness.registry import REG_SZ
from harness.report import check_resolves
from harness.runs import check_filled_during_run, two_plain_sessions


def test_report_position_in_map(wine, check, expected):
    """The reported position lies in the function whose output check raised:
    the run's own check after the first line, or the report's write-out of
    standard output when that write fails in its turn."""
    if not wine.map or not os.path.isfile(wine.map):
        raise HarnessError("missing linker map: %s" % wine.map)
    before = two_plain_sessions(wine)
    positions = {}
    for mode, code in (("/dev/full", 112), ("invalid", 105)):
        positions[mode] = check.report("stdout %s" % mode, wine.tool(mode), code)
    check.same_tree("tree after the runs", before, wine.dump())
    if None not in positions.values():
        # Both fail at the check after the first session's name.
        check.equal("same position for both failures", positions["/dev/full"],
                    positions["invalid"])
        check_resolves(check, "first line's check", wine.map, positions["/dev/full"],
                       function=expected.caller)

    # A reader gone: the check of the line that filled the buffer raises, and
    # the report's own write-out of the line end fails again (233).  Only the
    # second failure is reported, positioned in the report.
    position = check_filled_during_run(wine, check, "reader-gone", 233)
    if position is not None:
        check_resolves(check, "report's write-out", wine.map, position,
                       function=expected.reporter)


def test_module_name_oem(wine, check):
    """A program file name with a byte above 127 is reported in the OEM code
    page: o with diaeresis is 0xF6 in 1252 and 0x94 in 437."""
    renamed = os.path.join(wine.workdir, "Z\u00f6rvo Recolour.exe")
    shutil.copyfile(wine.exe, renamed)
    before = two_plain_sessions(wine)
    renamed_position = check.report("renamed program", wine.tool("/dev/full", exe=renamed),
                                    112, module=b"Z\x94rvo Recolour.exe")
    position = check.report("program under its own name", wine.tool("/dev/full"), 112)
    check.equal("same position under either name", position, renamed_position)
    check.same_tree("tree after the runs", before, wine.dump())


def test_post_mortem_debugger(wine, check):
    """With winedbg configured as the post-mortem debugger, a failed run
    still reports on its own and starts no debugger: with the debugger
    setting pointed at a command that leaves a marker, none appears."""
    values = debugger_setting(wine)
    check.equal("AeDebug Debugger", (REG_SZ, b"winedbg --auto %ld %ld\0"),
                values.get(b"Debugger", (None, None, None))[:2])
    check.equal("AeDebug Auto", (REG_SZ, b"1\0"), values.get(b"Auto", (None, None, None))[:2])
    two_plain_sessions(wine)
    with MarkingDebugger(wine) as debugger:
        result = wine.tool("/dev/full")
        check.report("run on /dev/full", result, 112)
        if b"debugger" in result.err:
            check.fail("a debugger was started")
        check.report("run without stdout", wine.tool("invalid"), 105)
        if debugger.started():
            check.fail("the post-mortem debugger was started")


def fault_code_and_position(wine, probe_exe):
    """The exception code that a null-pointer write raises here, and the
    faulting instruction's position in the fault probe's image, as the
    probe's own handler sees them before any failure handling."""
    caught = wine.tool("pipe", exe=probe_exe, args=["fault-code"])
    match = re.fullmatch(rb"([0-9A-F]{8}) ([0-9A-F]{8})\r?\n", caught.out)
    if caught.status != 0 or not match:
        raise HarnessError("the probe's fault-code gave status %d, %r, %r"
                           % (caught.status, caught.out, caught.err))
    return match.group(1).decode("ascii"), int(match.group(2), 16)


def test_platform_faults(wine, check):
    """Failures that the registry cannot drive the tool into, through the
    fault probe built beside it (its own failure handling, linked the same
    way): an access fault is reported as EAccessViolation, positioned at the
    faulting instruction; exhausted memory as EOutOfMemory, its report still
    written.  The post-mortem debugger stays configured and never starts.

    Under qemu's user-mode emulation the faulting write reaches the program
    with another exception code than on a real processor; the probe then
    catches the fault itself to tell which, and the report must be the one
    for exactly that code.  Wherever the host does not emulate, the code
    must be the access fault's."""
    probe_exe = os.path.join(os.path.dirname(wine.exe), "fault-probe.exe")
    probe_map = os.path.splitext(probe_exe)[0] + ".map"
    for path in (probe_exe, probe_map):
        if not os.path.isfile(path):
            raise HarnessError("missing %s" % path)
    host = i386_host.run_probe()
    code, fault_position = fault_code_and_position(wine, probe_exe)
    print("Wine's 32-bit side runs %s; a null-pointer write raises %s at %08X" %
          (host.describe(), code, fault_position))
    if host.mode != "emulated":
        check.equal("exception code of a null-pointer write, the host not emulating",
                    "C0000005", code)
    if code == "C0000005":
        access_fault = (b"EAccessViolation", b"(Access violation: write of address 00000000\\.)")
    else:
        access_fault = (b"EPlatformFault", b"(Platform fault " + code.encode() + b"\\.)")
    with MarkingDebugger(wine) as debugger:
        for how, (error_class, message) in (("access-fault", access_fault),
                                            ("out-of-memory", (b"EOutOfMemory", b"([^\r\n]+\\.)"))):
            result = wine.tool("pipe", exe=probe_exe, args=[how])
            what = "fault probe %s" % how
            check.equal(what + ": exit status", 1, result.status)
            check.same_bytes(what + ": standard output", b"", result.out)
            # The message is the error's own; one line, ending with a period.
            match = re.fullmatch(b"Exception " + error_class + b" in module fault-probe\\.exe at "
                                 b"([0-9A-F]{8})\\.\r\n" + message + b"\r\n\r\n", result.err)
            if not match:
                check.fail(what + ": standard error is not one %s report" % error_class.decode(),
                           "\n".join(byte_lines(result.err)))
                continue
            print("%s: message %r" % (what, match.group(2).decode("ascii", "replace")))
            if how == "access-fault":
                position = int(match.group(1), 16)
                check.equal(what + ": position, that of the faulting instruction",
                            "%08X" % fault_position, "%08X" % position)
                # The faulting write is in the probe's own code, not in the
                # failure handling.
                check_resolves(check, what, probe_map, position, in_object="fault_probe.cpp")
        if debugger.started():
            check.fail("the post-mortem debugger was started by a platform fault")
