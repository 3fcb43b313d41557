import pytest

import klimora.Strahlkit as S

import reference as R


def pytest_report_header(config):
    return f"klimora.Strahlkit from {S.__file__}"


# A test that needs an optional extra skips without it, through
# pytest.importorskip or the mark needs("module", ...), whose skips read
# "could not import ...".  `make test` installs every extra and passes
# --require-extras: there, such a skip fails the run.
SKIPPED_FOR_WANT: list[str] = []


def pytest_addoption(parser):
    parser.addoption("--require-extras", action="store_true",
                     help="fail the run if a test was skipped for want of an optional package")


def pytest_configure(config):
    config.addinivalue_line("markers", "needs(*modules): skip unless these modules import")


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        for module in mark.args:
            pytest.importorskip(module)


def pytest_runtest_logreport(report):
    note_skip(report)


def pytest_collectreport(report):
    note_skip(report)


def note_skip(report):
    if report.skipped and isinstance(report.longrepr, tuple):
        reason = report.longrepr[2].removeprefix("Skipped: ")
        if reason.startswith("could not import "):
            SKIPPED_FOR_WANT.append(f"{report.nodeid}: {reason}")


def pytest_terminal_summary(terminalreporter, config):
    if config.getoption("require_extras") and SKIPPED_FOR_WANT:
        terminalreporter.section("skipped for want of an optional package", red=True)
        for line in SKIPPED_FOR_WANT:
            terminalreporter.line(line)
        terminalreporter.line("--require-extras: install them (pip install -r requirements-dev.txt)")


def pytest_sessionfinish(session):
    if session.config.getoption("require_extras") and SKIPPED_FOR_WANT \
            and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def restored(module):
    """Puts a module's namespace back as it was, order included."""
    saved = list(vars(module).items())

    def restore():
        namespace = vars(module)
        namespace.clear()
        namespace.update(saved)
    return restore


@pytest.fixture
def module():
    """The native module; its namespace is put back after the test."""
    restore = restored(S)
    yield S
    restore()


@pytest.fixture
def both():
    """The native module and the reference; both namespaces are put back."""
    restore_native, restore_reference = restored(S), restored(R)
    yield S, R
    restore_native()
    restore_reference()
