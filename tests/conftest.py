import pytest

import klimora.Strahlkit as S

import reference as R


def pytest_report_header(config):
    return f"klimora.Strahlkit from {S.__file__}"


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
