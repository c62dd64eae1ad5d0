"""What every end-to-end case stands on: one Wine prefix and its persistent
wineserver for the session (made here, or made beforehand and reused), the
registry under HKCU\\Software\\Tessaloquin reset before each case, and the
soft checker, whose mismatches fail the case together at its end.  The
options say which build is tested and how the prefix is shared."""

import os
import shutil
import tempfile

import pytest

from harness.checks import Check
from harness.wine import DEFAULT_COLOUR_BACKUP, DEFAULT_EXE, DEFAULT_FIXTURE, Wine

MARKERS = {
    "slow": "takes from several seconds to a minute (thousands of sessions)",
    "locale": "runs Wine under another Unix locale, compiled with localedef",
}


def pytest_addoption(parser):
    group = parser.getgroup("zorvo", "end-to-end cases under Wine")
    group.addoption("--exe", default=DEFAULT_EXE, help="zorvo-recolour.exe to test")
    group.addoption("--map", help="its linker map (default: beside the exe)")
    group.addoption("--fixture", default=DEFAULT_FIXTURE,
                    help="the registry fixture built from e2e/fixture/")
    group.addoption("--colour-backup", default=DEFAULT_COLOUR_BACKUP,
                    help="colour-backup.exe to test; its build tree makes the release archive")
    group.addoption("--prefix", help="the Wine prefix of the run (default: a scratch one)")
    group.addoption("--keep-prefix", action="store_true",
                    help="make the prefix but leave it, and its server, up at the end")
    group.addoption("--reuse-prefix", action="store_true",
                    help="use the prefix made beforehand (python3 -m harness setup, or "
                         "--keep-prefix); neither make nor remove it")
    group.addoption("--expect-caller", default="RecolouringRun",
                    help="function in which the first line's check lies")
    group.addoption("--expect-reporter", default="ReportFailure",
                    help="function in which the report's own output check lies")
    group.addoption("--shutdown-failure", choices=("report", "ignore"), default="report",
                    help="whether a failed final write-out at shutdown is reported")
    group.addoption("--skipped-exit-status", type=int,
                    help="exit with this status when every case that ran was skipped")


def pytest_configure(config):
    for name, meaning in MARKERS.items():
        config.addinivalue_line("markers", "%s: %s" % (name, meaning))
    if (config.option.keep_prefix or config.option.reuse_prefix) and not config.option.prefix:
        raise pytest.UsageError("--keep-prefix and --reuse-prefix need --prefix DIR")
    if config.option.skipped_exit_status is not None:
        config.pluginmanager.register(SkippedExitStatus(config.option.skipped_exit_status))


class SkippedExitStatus:
    """Tells a caller that counts a skip apart (CTest) that nothing ran."""

    def __init__(self, status):
        self.status = status
        self.outcomes = set()

    def pytest_runtest_logreport(self, report):
        if report.when == "call" or report.outcome != "passed":
            self.outcomes.add(report.outcome)

    def pytest_sessionfinish(self, session, exitstatus):
        if exitstatus == pytest.ExitCode.OK and self.outcomes == {"skipped"}:
            session.exitstatus = self.status


CHECKER = pytest.StashKey()


@pytest.fixture(scope="session")
def prefixed_wine(request):
    """The prefix, with its wineserver up for the whole session."""
    options = request.config.option
    scratch = None if options.prefix else tempfile.mkdtemp(prefix="zorvo-e2e-run-")
    wine = Wine(options.prefix or os.path.join(scratch, "prefix"), options.exe, options.fixture,
                options.map)
    plugins = request.config.pluginmanager
    capture, terminal = plugins.get_plugin("capturemanager"), plugins.get_plugin("terminalreporter")

    def announce(line):
        # Set-up says once how Wine runs here, whether or not a case fails.
        with capture.global_and_fixture_disabled():
            terminal.write_line(line)

    try:
        if not options.reuse_prefix:
            wine.setup(announce=announce)
        yield wine
    finally:
        if not options.reuse_prefix:
            wine.teardown(remove=not options.keep_prefix)
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        wine.close()


@pytest.fixture
def wine(prefixed_wine):
    """The session's Wine, with nothing of the tool's left from an earlier case."""
    prefixed_wine.check_ready()
    prefixed_wine.fixture(b"reset\n")
    return prefixed_wine


@pytest.fixture
def check(request):
    """The soft checker of this case; see pytest_runtest_makereport."""
    checker = Check(request.node.name, os.path.basename(request.config.option.exe).encode())
    request.node.stash[CHECKER] = checker
    return checker


class Expected:
    """Where the builds that the suite can test differ."""

    def __init__(self, caller, reporter, shutdown_failure):
        self.caller, self.reporter, self.shutdown_failure = caller, reporter, shutdown_failure


@pytest.fixture
def expected(request):
    """What the build under test is expected to do there."""
    options = request.config.option
    return Expected(options.expect_caller, options.expect_reporter, options.shutdown_failure)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A case with mismatches fails with all of them, beside whatever else
    ended it (a harness error, or a skip that came after a mismatch)."""
    outcome = yield
    report = outcome.get_result()
    checker = item.stash.get(CHECKER, None)
    if report.when != "call" or checker is None or not checker.failures:
        return
    if report.failed:
        report.sections.append(("mismatches found before that", checker.summary()))
    else:
        report.outcome = "failed"
        report.longrepr = checker.summary()
