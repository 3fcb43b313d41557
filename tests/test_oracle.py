"""The native functions against the reference: same type and bits, or the
same exception and message, and the same warnings, over many inputs."""

import zlib

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R
from helpers import outcome, same_outcome
from inputs import arguments

CASES = 4000


@pytest.mark.parametrize("name", R.NAMES)
def test_same_results_as_reference(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    native, ref = getattr(S, name), getattr(R, name)
    for _ in range(CASES):
        args = arguments(rng, name)
        got, want = outcome(native, *args), outcome(ref, *args)
        assert same_outcome(got, want), (name, args, got, want)


@pytest.mark.parametrize("errstate", ["raise", "ignore", "warn"])
@pytest.mark.parametrize("name", R.NAMES)
def test_floating_point_errors_follow_errstate(name, errstate):
    rng = np.random.default_rng(7)
    native, ref = getattr(S, name), getattr(R, name)
    with np.errstate(all=errstate):
        for _ in range(300):
            args = arguments(rng, name)
            got, want = outcome(native, *args), outcome(ref, *args)
            assert same_outcome(got, want), (name, args, got, want)
