"""klimora.ufuncs against the scalar functions element by element: the same
bits (NaN as NaN), NaN where a scalar call raises, and the floating-point
flags of exactly the steps each element's own call takes.  The number of
elements per function is KLIMORA_SWEEP (`make sweep` runs a million)."""

import math
import os
import pickle
import threading
import warnings
import zlib

import numpy as np
import pytest

import klimora.Strahlkit as S
import klimora.ufuncs as U
import reference as R
from inputs import DAY, PARAMETERS, SPECIAL

SWEEP = int(os.environ.get("KLIMORA_SWEEP", "100000"))
NAMES = R.NAMES   # the ufuncs of the Strahlkit functions
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


def test_one_ufunc_per_function_and_the_equation_of_time():
    assert U.__all__[:12] == [*R.NAMES, "equation_of_time"]   # then the English names
    assert all(isinstance(getattr(U, name), np.ufunc) for name in U.__all__)
    assert (U.equation_of_time.nin, U.equation_of_time.nout) == (1, 1)
    assert U.equation_of_time.types == ["d->d"]
    assert not hasattr(S, "equation_of_time") and not hasattr(S, "ERS")


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


def equation_of_time(dayofyear):
    """What Sonnenzeit's ERS works out, in its order of operations: the
    oracle for U.equation_of_time, on NumPy float64 scalars or arrays."""
    b = 2 * np.pi * (dayofyear - 81) / 364
    return (9.87 * np.sin(2 * b) - 7.53 * np.cos(b) - 1.5 * np.sin(b)) / 60


def flag_kinds(fn, *args, **kwargs):
    """fn's result and the floating-point error kinds NumPy reports for it."""
    kinds = set()
    with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
        return fn(*args, **kwargs), kinds


EOT_SPECIAL = [0.0, -0.0, 1.0, 366.0, 81.0, 172.0, 355.0, 197.5, 0.5, -1.0, -81.0, -4e5,
               1e308, -1e308, 1.7976931348623157e308, 1e20, 5e-324, math.inf, -math.inf, math.nan]


def test_equation_of_time_is_the_scalar_call():
    rng = np.random.default_rng(366)
    n = min(SWEEP, 100_000)
    days = rng.uniform(*DAY[0], n)
    pick = rng.random(n) < 0.25
    days[pick] = rng.choice(np.array(EOT_SPECIAL + DAY[1], dtype=float), pick.sum())
    days[:len(EOT_SPECIAL)] = EOT_SPECIAL
    oracle = [flag_kinds(equation_of_time, d) for d in map(np.float64, days)]
    assert all(type(v) is np.float64 for v, _ in oracle)
    want = np.array([v for v, _ in oracle])
    got, kinds = flag_kinds(U.equation_of_time, days)
    assert got.dtype == np.float64 and got.shape == days.shape
    bad = np.flatnonzero(~same_bits(got, want))
    assert bad.size == 0, [(days[i], got[i], want[i]) for i in bad[:5]]
    # The flags are NumPy's for the expression on the array, and those of
    # each element's own scalar call.
    assert kinds == flag_kinds(equation_of_time, days)[1] == set().union(*(k for _, k in oracle))
    assert {"invalid value", "overflow"} <= kinds
    for s in range(0, 2000, 7):
        part = slice(s, s + 7)
        assert flag_kinds(U.equation_of_time, days[part])[1] == set().union(
            *(k for _, k in oracle[part])), part
    with np.errstate(all="warn"), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        U.equation_of_time(np.array([math.inf, 172.0]))
    assert [str(w.message) for w in caught] == ["invalid value encountered in equation_of_time"]


def test_equation_of_time_broadcasts_and_casts():
    days = np.arange(-2, 370, dtype=np.float64)
    want = equation_of_time(days)
    out = np.full((3, 2 * days.size), -1.0)
    view = out[:, ::2]
    assert U.equation_of_time(days, out=view) is view
    assert np.array_equal(out[:, ::2], np.broadcast_to(want, (3, days.size)))
    assert (out[:, 1::2] == -1).all()
    got = U.equation_of_time(days[::-1, None], out=np.empty((days.size, 2)))
    assert np.array_equal(got, np.repeat(want[::-1, None], 2, axis=1))
    # Integers and float32 are cast to float64 first; the result is float64.
    assert np.array_equal(U.equation_of_time(days.astype(np.int16)), want)
    with np.errstate(all="ignore"):
        low = np.array([0.1, 172.3, 3e38, np.inf], dtype=np.float32)
        want_low = equation_of_time(low.astype(np.float64))
        got_low = U.equation_of_time(low)
    assert got_low.dtype == np.float64 and same_bits(got_low, want_low).all()
    scalar = U.equation_of_time(np.int64(172))
    assert type(scalar) is np.float64 and scalar == equation_of_time(np.float64(172))
    assert U.equation_of_time(True) == equation_of_time(np.float64(1))


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


def elementwise(name, arrays):
    """The oracle on broadcast inputs: the scalar call element by element,
    and the union of the floating-point error kinds of the calls."""
    flat = [a.ravel() for a in np.broadcast_arrays(*arrays)]
    oracle = [scalar_call(name, row) for row in zip(*flat)]
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    return (np.array([v for v, _ in oracle]).reshape(shape),
            set().union(*(k for _, k in oracle)))


def check_against_scalar_calls(name, arrays):
    want, want_kinds = elementwise(name, arrays)
    got, kinds = flag_kinds(getattr(U, name), *arrays)
    bad = np.flatnonzero(~same_bits(got.ravel(), want.ravel()))
    assert bad.size == 0, (name, [(got.ravel()[i], want.ravel()[i]) for i in bad[:5]])
    assert kinds == want_kinds


#: Shapes an input takes in a (time, lat, lon) grid: one value, one per
#: time, per latitude, per longitude (a row), per cell, and a column.
GRID_SHAPES = [(), (7, 1, 1), (1, 9, 1), (1, 1, 130), (7, 9, 130), (9, 1)]


@pytest.mark.parametrize("name", NAMES)
def test_broadcast_inputs_are_the_scalar_calls(name):
    """An input constant along the loop (stride 0) is worked out once for
    the elements that share it: each element must still be its own call."""
    rng = np.random.default_rng(zlib.crc32(b"grid" + name.encode()))
    for _ in range(6):
        cols = columns(name, 7 * 9 * 130, rng)
        arrays = []
        for c in cols:
            shape = GRID_SHAPES[rng.integers(len(GRID_SHAPES))]
            if shape == (9, 1) and any(a.ndim == 3 and a.shape[2] > 1 for a in arrays):
                shape = (1, 9, 1)
            arrays.append(c[:math.prod(shape)].reshape(shape))
        check_against_scalar_calls(name, arrays)


@pytest.mark.parametrize("name", NAMES)
def test_runs_of_equal_values_are_the_scalar_calls(name):
    """A time series holds a day, or a constant humidity, over long runs:
    runs of every length, with the special values, signed zeros side by
    side and runs that end inside and across blocks, element by element."""
    rng = np.random.default_rng(zlib.crc32(b"runs" + name.encode()))
    n = 6000
    for _ in range(2):
        arrays = []
        for c in columns(name, n, rng):
            if rng.random() < 0.75:
                lengths = rng.choice([1, 2, 63, 64, 65, 700, 1024, 1025, 1440, 3000], n)
                c = np.repeat(c, lengths)[:n]
                c[rng.integers(n, size=3)] = [0.0, -0.0, np.nan]
            arrays.append(c)
        check_against_scalar_calls(name, arrays)
        # the same runs through a strided view, and reversed
        check_against_scalar_calls(name, [a[::-3] for a in arrays])
