"""Scalar calls computed directly on doubles against the same calls on
Python objects: same type and bits, same errors and warnings.

The module computes directly only while `np` is the NumPy it imported; a
transparent wrapper around NumPy makes it take the ordinary path.  The
number of inputs per function is KLIMORA_SWEEP (`make sweep` runs a
million)."""

import os
import warnings
import zlib

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R
from helpers import outcome, same, same_outcome
from inputs import direct_arguments

SWEEP = int(os.environ.get("KLIMORA_SWEEP", "20000"))
BATCH = 20000


class Transparent:
    """NumPy behind a wrapper: every attribute is NumPy's own."""

    def __getattr__(self, name):
        return getattr(np, name)


def results(fn, batch):
    """Each call's result, or its exception (type and message); warnings
    are errors here, so a warning is part of what a call gives."""
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for args in batch:
            try:
                out.append(("ok", fn(*args)))
            except Exception as e:  # noqa: BLE001 - the exception is the outcome
                out.append(("raise", type(e), str(e)))
    return out


def agree(a, b):
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "ok" else a[1:] == b[1:])


@pytest.mark.parametrize("name", R.NAMES)
def test_direct_and_ordinary_paths_agree(module, name):
    rng = np.random.default_rng(zlib.crc32(b"direct " + name.encode()))
    fn = getattr(S, name)
    real = S.np
    done = 0
    while done < SWEEP:
        batch = [direct_arguments(rng, name) for _ in range(min(BATCH, SWEEP - done))]
        module.np = real
        direct = results(fn, batch)
        module.np = Transparent()
        ordinary = results(fn, batch)
        for args, d, o in zip(batch, direct, ordinary):
            assert agree(d, o), (name, args, d, o)
        done += len(batch)


@pytest.mark.parametrize("errstate", ["raise", "warn", "ignore"])
@pytest.mark.parametrize("name", R.NAMES)
def test_errors_and_warnings_follow_errstate(module, name, errstate):
    rng = np.random.default_rng(zlib.crc32(b"errstate " + name.encode()))
    fn = getattr(S, name)
    real = S.np
    with np.errstate(all=errstate):
        for _ in range(2000):
            args = direct_arguments(rng, name)
            module.np = real
            direct = outcome(fn, *args)
            module.np = Transparent()
            ordinary = outcome(fn, *args)
            assert same_outcome(direct, ordinary), (name, args, direct, ordinary)


@pytest.mark.parametrize("name, args, uses", [
    ("Zenitwinkel", (10.5, 48.1, 172), {"sin", "cos", "radians"}),
    ("Sonnenzeit", (10.5, 1, 11.58, 172), {"sin", "cos"}),
    ("LinkeTruebung", (172, 48.1, 90.0), {"exp", "power", "maximum"}),
    ("MittlStrTemp", (40.0, 1.0, 2.0, 3.0, 4.0, 5.0, None, 0.2, None),
     {"cos", "radians", "sqrt", "power"})])
def test_a_replaced_numpy_function_is_used(name, args, uses):
    fn = getattr(S, name)
    before = fn(*args)
    for attribute in ("sin", "cos", "exp", "power", "sqrt", "radians", "maximum"):
        original, calls = getattr(np, attribute), []

        def spy(*a, original=original):
            calls.append(a)
            return original(*a)
        setattr(np, attribute, spy)
        try:
            assert same(fn(*args), before)
        finally:
            setattr(np, attribute, original)
        assert bool(calls) == (attribute in uses), attribute
        assert same(fn(*args), before)
    assert same(before, getattr(R, name)(*args))


def test_changes_elsewhere_in_numpy_keep_the_results(module):
    args = (10.5, 48.1, 172)
    before = S.Zenitwinkel(*args)
    np.klimora_probe = 1
    try:
        assert same(S.Zenitwinkel(*args), before)
    finally:
        del np.klimora_probe
    module.np = Transparent()
    assert same(S.Zenitwinkel(*args), before)


@pytest.mark.parametrize("name, args", [
    ("OberflTemp", (400.0, 20.0, 2.0, 0.0)), ("OberflTemp", (400, 20, 2, 0)),
    ("RelOptLuftmasse", (100.0,)), ("MaxDirekteStrahlung", (1, 0, 95.0, 3.0, 1.0)),
    ("MaxGlobalstrahlung", (1, 0, 95.0, 3.0)), ("LinkeTruebung", (1, 1, 100)),
])
def test_returned_objects_are_the_ordinary_ones(name, args):
    direct = getattr(S, name)(*args)
    saved = S.np
    S.np = Transparent()
    try:
        ordinary = getattr(S, name)(*args)
    finally:
        S.np = saved
    assert same(direct, ordinary)
    if type(direct) is int or name == "OberflTemp":
        assert direct is ordinary
