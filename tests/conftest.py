import pytest

import klimora.Strahlkit as S

import reference as R


def pytest_report_header(config):
    return f"klimora.Strahlkit from {S.__file__}"


@pytest.fixture
def module():
    """The native module; `np` is put back after the test."""
    saved = S.np
    yield S
    S.np = saved


@pytest.fixture
def both():
    """The native module and the reference; `np` is put back in both."""
    saved = S.np, R.np
    yield S, R
    S.np, R.np = saved
