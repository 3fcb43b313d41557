"""klimora.ufuncs against the scalar functions element by element: the same
bits (NaN as NaN), NaN where a scalar call raises, and the floating-point
flags of exactly the steps each element's own call takes.  The number of
elements per function is KLIMORA_SWEEP (`make sweep` runs a million)."""

import os
import pickle
import threading
import warnings
import zlib

import numpy as np
import pytest

import klimora.Strahlkit as S
import klimora.ufuncs as U
from inputs import PARAMETERS, SPECIAL

SWEEP = int(os.environ.get("KLIMORA_SWEEP", "100000"))
NAMES = U.__all__
UNUSED = {"MittlStrTemp": {6, 8}}   # ReflStr and albedo_env


def columns(name, n, rng):
    """n float64 values per ufunc input: a quarter exact boundary and
    special values (subnormals included), the rest from the usual range."""
    out = []
    for k, ((low, high), exact) in enumerate(PARAMETERS[name]):
        if k in UNUSED.get(name, ()):
            continue
        pool = np.array([float(v) for v in exact + SPECIAL + [2.5e-310, -2.5e-310]
                         if not isinstance(v, (str, type(None)))])
        column = rng.uniform(low, high, n)
        pick = rng.random(n) < 0.25
        column[pick] = rng.choice(pool, pick.sum())
        out.append(column)
    return out


def scalar_call(name, row):
    """The oracle for one element: the scalar function on NumPy float64
    scalars, and the floating-point error kinds it reports."""
    kinds = set()
    args = list(map(np.float64, row))
    for k in sorted(UNUSED.get(name, ())):
        args.insert(k, None)
    with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
        try:
            value = np.float64(getattr(S, name)(*args))
        except Exception:
            return np.float64(np.nan), kinds | {"invalid value"}
    return value, kinds


def same_bits(got, want):
    both_nan = np.isnan(got) & np.isnan(want)
    return both_nan | (got.view(np.uint64) == want.view(np.uint64))


@pytest.mark.parametrize("name", NAMES)
def test_every_element_is_the_scalar_call(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    ufunc = getattr(U, name)
    for start in range(0, SWEEP, 100_000):
        cols = columns(name, min(100_000, SWEEP - start), rng)
        # Ufunc flags over a part of the elements must be the union of
        # theirs: checked on short slices, where a stray flag shows.
        oracle = [scalar_call(name, row) for row in zip(*cols)]
        want = np.array([v for v, _ in oracle])
        kinds = set()
        with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
            got = ufunc(*cols)
        assert got.dtype == np.float64
        bad = np.flatnonzero(~same_bits(got, want))
        assert bad.size == 0, [(tuple(c[i] for c in cols), got[i], want[i]) for i in bad[:5]]
        assert kinds == set().union(*(k for _, k in oracle))
        for s in range(0, 2000, 7):
            part = slice(s, s + 7)
            kinds.clear()
            with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
                ufunc(*(c[part] for c in cols))
            assert kinds == set().union(*(k for _, k in oracle[part])), part


def test_numpy_machinery():
    """Broadcasting, casting, strides, out= and where= are NumPy's; the
    loop must read and write through whatever strides it is handed."""
    rng = np.random.default_rng(5)
    szeit = rng.uniform(0, 24, (6, 40))
    breite = rng.uniform(-60, 60, (6, 1))
    want = np.array([[np.float64(S.Azimutwinkel(h, b, 172.0)) for h, b in zip(hs, bs.repeat(40))]
                     for hs, bs in zip(szeit, breite)])
    assert np.array_equal(U.Azimutwinkel(szeit, breite, 172), want)
    assert np.array_equal(U.Azimutwinkel(szeit[:, ::-3], breite, np.int16(172)), want[:, ::-3])
    assert np.array_equal(U.Azimutwinkel(szeit.T, breite.T, np.float32(172)), want.T)
    assert U.Azimutwinkel(10.5, 48.0, 172).shape == ()
    assert U.Azimutwinkel(np.empty((0, 3)), 1.0, 1.0).shape == (0, 3)
    out = np.full((6, 80), -1.0)
    where = rng.random((6, 40)) < 0.5
    U.Azimutwinkel(szeit, breite, 172.0, out=out[:, ::2], where=where)
    assert np.array_equal(out[:, ::2][where], want[where])
    assert (out[:, ::2][~where] == -1).all() and (out[:, 1::2] == -1).all()
    assert U.RelOptLuftmasse(np.array([90, 100], dtype=np.int8)).tolist() == [37.92, 999.0]
    assert U.OberflTemp(True, 20, 2, False) == 20.0
    with pytest.raises(TypeError):
        U.DirStrMBew(np.array([1j]), 2)
    assert U.Zenitwinkel(10.0, 48.0, 172.0, dtype=np.float64) == S.Zenitwinkel(10.0, 48.0, 172.0)


@pytest.mark.parametrize("state", ["raise", "warn", "ignore"])
def test_errstate_governs(state):
    zenith = np.array([np.nan, 40.0, np.inf, np.nan])
    with np.errstate(all=state), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if state == "raise":
            with pytest.raises(FloatingPointError, match="invalid value"):
                U.RelOptLuftmasse(zenith)
        else:
            assert np.isnan(U.RelOptLuftmasse(zenith)[[0, 2, 3]]).all()
    assert [str(w.message) for w in caught] == (
        ["invalid value encountered in RelOptLuftmasse"] if state == "warn" else [])


def test_pickled_by_reference():
    for name in NAMES:
        assert pickle.loads(pickle.dumps(getattr(U, name))) is getattr(U, name)


def test_xarray_and_dask_dispatch():
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    zenith = xr.DataArray(np.linspace(-5, 95, 240).reshape(12, 20), dims=("time", "x"),
                          coords={"time": np.arange(12)})
    got = U.RelOptLuftmasse(zenith)
    assert isinstance(got, xr.DataArray) and got.coords["time"].equals(zenith.coords["time"])
    assert np.array_equal(got.values, U.RelOptLuftmasse(zenith.values))
    sun = zenith.values.clip(0, 90)
    lazy = U.MittlStrTemp(da.from_array(sun, chunks=(4, 10)), 300.0, 350.0, 280.0, 100.0, 600.0, 0.3)
    assert isinstance(lazy, da.Array) and lazy.chunks == ((4, 4, 4), (10, 10))
    assert np.array_equal(lazy.compute(), U.MittlStrTemp(sun, 300.0, 350.0, 280.0, 100.0, 600.0, 0.3))


def test_threads_give_what_one_thread_gives():
    rng = np.random.default_rng(9)
    cols = columns("Azimutwinkel", 400_000, rng)
    with np.errstate(all="ignore"):
        want = U.Azimutwinkel(*cols)
    got = np.empty_like(want)
    parts = np.array_split(np.arange(want.size), 8)

    def work(k):
        with np.errstate(all="ignore"):
            for idx in parts[k::2]:
                got[idx] = U.Azimutwinkel(*(c[idx] for c in cols))
    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert np.array_equal(got, want, equal_nan=True)
