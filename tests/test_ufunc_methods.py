"""The ufuncs' methods (reduce, accumulate, reduceat, at, outer) and out=
over an input: what NumPy's own ufuncs give, an element-by-element
evaluation in order, each element the scalar function's value on NumPy
float64 scalars (NaN where the call raises).  A reduction folds from the
left, f(f(f(a0, a1), a2), a3), so every element reads what the one before
wrote."""

import _thread
import functools
import operator
import signal
import time
import zlib

import numpy as np
import pytest

import klimora.ufuncs as U
from test_ufuncs import NAMES, columns, same_bits, scalar_call


def fold_step(acc, x):
    """DirStrMBew, the one two-input ufunc, on one pair."""
    return scalar_call("DirStrMBew", (acc, x))[0]


def ref_reduce(a, axis=0, keepdims=False, initial=None, where=True):
    a = np.asarray(a, dtype=np.float64)
    if axis is None:
        a, axis = a.ravel(), 0
    along = np.moveaxis(a, axis, -1)
    kept = np.moveaxis(np.broadcast_to(where, a.shape), axis, -1)
    r = np.empty(along.shape[:-1])
    for idx in np.ndindex(r.shape):
        acc = None if initial is None else np.float64(initial)
        for x, keep in zip(along[idx], kept[idx]):
            if keep:
                acc = x if acc is None else fold_step(acc, x)
        r[idx] = acc
    return np.expand_dims(r, axis) if keepdims else r


def ref_accumulate(a, axis=0):
    a = np.asarray(a, dtype=np.float64)
    r = np.moveaxis(a.copy(), axis, -1)
    for idx in np.ndindex(r.shape[:-1]):
        for i in range(1, r.shape[-1]):
            r[idx + (i,)] = fold_step(r[idx + (i - 1,)], r[idx + (i,)])
    return np.moveaxis(r, -1, axis)


def ref_reduceat(a, indices, axis=0):
    a = np.moveaxis(np.asarray(a, dtype=np.float64), axis, -1)
    r = np.empty(a.shape[:-1] + (len(indices),))
    for k, i in enumerate(indices):
        stop = indices[k + 1] if k + 1 < len(indices) else a.shape[-1]
        part = a[..., i:stop] if i < stop else a[..., i:i + 1]
        r[..., k] = ref_reduce(part, axis=-1)
    return np.moveaxis(r, -1, axis)


def ref_at(name, a, indices, b=None):
    a = np.array(a, dtype=np.float64)
    b = np.broadcast_to(b, np.shape(indices)) if b is not None else None
    for k, i in enumerate(indices):
        a[i] = scalar_call(name, (a[i],) if b is None else (a[i], b[k]))[0]
    return a


def ref_outer(a, b):
    return np.array([[fold_step(x, y) for y in np.ravel(b)] for x in np.ravel(a)])


# ---- the data the methods run on ---------------------------------------------------

SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 8.0, 16.0, 1e308, -1e308, 5e-324, 2.5e-310]


def cloud(rng, shape, special=False):
    """Cloud cover near zero, so that a long fold stays finite: each step
    scales by 1 - N/8.  The first element along either axis is an
    irradiance.  With `special`, a few special values further on."""
    a = rng.uniform(-0.05, 0.05, shape)
    a[(0,) * a.ndim] = 800.0
    if a.ndim == 2:
        a[0, :] = rng.uniform(100, 1000, shape[1])
        a[:, 0] = rng.uniform(100, 1000, shape[0])
    if special:
        flat = a.reshape(-1)
        at = rng.choice(np.arange(flat.size // 3, flat.size), len(SPECIAL) * 2, replace=False)
        flat[at] = SPECIAL * 2
    return a


def data(kind):
    rng = np.random.default_rng(zlib.crc32(kind.encode()))
    return {
        "five": lambda: np.array([800.0, 1, 2, 3, 4]),
        "one": lambda: np.array([800.0]),
        "long": lambda: cloud(rng, 3000),
        "long special": lambda: cloud(rng, 3000, special=True),
        "grid": lambda: cloud(rng, (6, 1500)),
        "grid special": lambda: cloud(rng, (6, 1500), special=True),
        "tall": lambda: cloud(rng, (2100, 3)),
        "float32": lambda: cloud(rng, 3000).astype(np.float32),
        "float32 grid": lambda: cloud(rng, (5, 1100)).astype(np.float32),
        "int": lambda: np.array([800, 1, -2, 3, 4, 0, 7], dtype=np.int64),
    }[kind]()


def views(kind, a):
    return {
        "": a,
        "T": a.T,
        "reversed": a[..., ::-1],
        "strided": a[::2, ::3] if a.ndim == 2 else a[::3],
    }[kind]


def mask(shape):
    return np.random.default_rng(7).random(shape) < 0.6


# (method, data, view, keyword arguments): every reduction NumPy makes of a
# two-input ufunc, along each axis, through any strides, with and without
# casting (which NumPy buffers).
METHODS = [
    ("reduce", "five", "", {}),
    ("reduce", "one", "", {}),
    ("reduce", "long", "", {}),
    ("reduce", "long special", "", {}),
    ("reduce", "long", "reversed", {}),
    ("reduce", "long", "strided", {}),
    ("reduce", "long", "", {"axis": None}),
    ("reduce", "long", "", {"initial": 640.0}),
    ("reduce", "one", "", {"initial": 640.0}),
    ("reduce", "long", "", {"initial": 640.0, "where": mask(3000)}),
    ("reduce", "long", "", {"keepdims": True}),
    ("reduce", "float32", "", {}),
    ("reduce", "int", "", {}),
    ("reduce", "grid", "", {"axis": 0}),
    ("reduce", "grid", "", {"axis": 1}),
    ("reduce", "grid", "", {"axis": -1, "keepdims": True}),
    ("reduce", "grid", "", {"axis": 0, "keepdims": True}),
    ("reduce", "grid special", "", {"axis": 1}),
    ("reduce", "grid special", "", {"axis": 0}),
    ("reduce", "grid", "T", {"axis": 0}),
    ("reduce", "grid", "T", {"axis": 1}),
    ("reduce", "grid", "reversed", {"axis": 1}),
    ("reduce", "grid", "strided", {"axis": 1}),
    ("reduce", "grid", "strided", {"axis": 0}),
    ("reduce", "tall", "", {"axis": 0}),
    ("reduce", "tall", "", {"axis": 1}),
    ("reduce", "grid", "", {"axis": 1, "initial": 2.0, "where": mask((6, 1500))}),
    ("reduce", "grid", "", {"axis": 0, "initial": 2.0, "where": mask((1, 1500))}),
    ("reduce", "grid", "", {"axis": 1, "out": "new"}),
    ("reduce", "grid", "", {"axis": 0, "out": "first row"}),
    ("reduce", "float32 grid", "", {"axis": 1}),
    ("reduce", "float32 grid", "", {"axis": 0}),
    ("accumulate", "five", "", {}),
    ("accumulate", "one", "", {}),
    ("accumulate", "long", "", {}),
    ("accumulate", "long special", "", {}),
    ("accumulate", "long", "reversed", {}),
    ("accumulate", "long", "strided", {}),
    ("accumulate", "long", "", {"out": "input"}),
    ("accumulate", "float32", "", {}),
    ("accumulate", "int", "", {}),
    ("accumulate", "grid", "", {"axis": 0}),
    ("accumulate", "grid", "", {"axis": 1}),
    ("accumulate", "grid special", "", {"axis": 1}),
    ("accumulate", "grid", "T", {"axis": 1}),
    ("accumulate", "grid", "reversed", {"axis": 1}),
    ("accumulate", "grid", "", {"axis": 1, "out": "input"}),
    ("accumulate", "grid", "", {"axis": 0, "out": "input"}),
    ("accumulate", "tall", "", {"axis": 0}),
    ("accumulate", "float32 grid", "", {"axis": 1}),
    ("reduceat", "long", "", {"indices": [0, 5, 5, 1000, 999, 2500, 2999]}),
    ("reduceat", "long special", "", {"indices": [0, 1200, 2100, 2101]}),
    ("reduceat", "long", "reversed", {"indices": [3, 1500]}),
    ("reduceat", "grid", "", {"indices": [0, 4, 1024, 1023, 1400], "axis": 1}),
    ("reduceat", "grid", "", {"indices": [0, 2, 2, 5], "axis": 0}),
    ("reduceat", "tall", "", {"indices": [1, 1100], "axis": 0}),
]


def case_id(method, kind, view, kwargs):
    said = [k if isinstance(v, np.ndarray) else f"{k}={v}" for k, v in kwargs.items()]
    return " ".join([method, kind] + ([view] if view else []) + said)


@pytest.mark.parametrize("method, kind, view, kwargs", METHODS,
                         ids=[case_id(*case) for case in METHODS])
def test_reductions_fold_from_the_left(method, kind, view, kwargs):
    a = views(view, data(kind))
    kwargs = dict(kwargs)
    ufunc = getattr(U.DirStrMBew, method)
    reference = {"reduce": ref_reduce, "accumulate": ref_accumulate,
                 "reduceat": ref_reduceat}[method]
    want = reference(a.copy(), **{k: v for k, v in kwargs.items() if k != "out"})
    with np.errstate(all="ignore"):
        if kwargs.get("out") == "input":
            kwargs["out"] = a
        elif kwargs.get("out") == "first row":
            kwargs["out"] = a[0]
        elif kwargs.get("out") == "new":
            kwargs["out"] = np.full(want.shape, -1.0)
        if "indices" in kwargs:
            got = ufunc(a, kwargs.pop("indices"), **kwargs)
        else:
            got = ufunc(a, **kwargs)
    got = np.asarray(got)
    if "out" in kwargs:
        assert got is kwargs["out"] or got.base is kwargs["out"]
    assert got.dtype == np.float64 and got.shape == want.shape
    bad = np.flatnonzero(~same_bits(got, want).ravel())
    assert bad.size == 0, (bad[:5], got.ravel()[bad[:5]], want.ravel()[bad[:5]])


AT = [
    ("DirStrMBew", [0, 0, 1, 4, 0, 2, 2], [1.0, 2, 3, 4, 5, 6, np.nan]),
    ("DirStrMBew", [3, 1, 3, 3], 0.5),
    ("DirStrMBew", np.arange(3000) % 7, "cover"),
    ("RelOptLuftmasse", [0, 1, 0, 2, 2, 2, 3], None),
    ("RelOptLuftmasse", np.arange(3000) % 5, None),
]


@pytest.mark.parametrize("name, indices, b", AT, ids=range(len(AT)))
def test_at_applies_every_index_in_turn(name, indices, b):
    a = np.array([800.0, 60.0, np.nan, 45.0, -3.0, 90.5, np.inf])
    if isinstance(b, str):
        b = np.random.default_rng(3).uniform(-0.05, 0.05, len(indices))
    want = ref_at(name, a, indices, b)
    with np.errstate(all="ignore"):
        getattr(U, name).at(a, indices, *([] if b is None else [b]))
    assert same_bits(a, want).all(), (a, want)


def test_outer():
    a, b = data("long")[:40], data("grid")[1, :50]
    assert same_bits(U.DirStrMBew.outer(a, b), ref_outer(a, b)).all()


# ---- out= over an input ------------------------------------------------------

N = 3000   # elements: across the 1024-element blocks


@functools.lru_cache(maxsize=None)
def elementwise(name):
    """Inputs with special values, and the scalar calls on them."""
    cols = columns(name, N, np.random.default_rng(zlib.crc32(b"overlap " + name.encode())))
    return cols, np.array([scalar_call(name, row)[0] for row in zip(*cols)])


def overlapping(layout, ahead):
    """An input and an output view of one buffer that NumPy does not copy:
    the input `ahead` elements further on in the output's direction (or
    the very elements, in place)."""
    if layout == "in place":
        buf = np.zeros(N)
        return buf, buf
    if layout == "shifted":
        buf = np.zeros(N + ahead)
        return buf[ahead:], buf[:N]
    if layout == "reversed":
        buf = np.zeros(N + ahead)[::-1]
        return buf[ahead:], buf[:N]
    if layout == "every other":
        buf = np.zeros(2 * (N + ahead))
        return buf[2 * ahead::2], buf[:2 * N:2]
    if layout == "faster input":
        buf = np.zeros(ahead + 2 * N)
        return buf[ahead::2], buf[:N]
    raise AssertionError(layout)


OVERLAPS = [("in place", 0)] + [(layout, ahead)
                                for layout in ["shifted", "reversed", "every other", "faster input"]
                                for ahead in [1, 2, 1000, 1500]]


@pytest.mark.parametrize("layout, ahead", OVERLAPS, ids=[f"{lay}-{a}" for lay, a in OVERLAPS])
@pytest.mark.parametrize("name", NAMES)
def test_out_over_an_input_ahead(name, layout, ahead):
    cols, want = elementwise(name)
    for k in range(len(cols)):   # the output over each input in turn
        source, out = overlapping(layout, ahead)
        source[:] = cols[k]
        args = cols[:k] + [source] + cols[k + 1:]
        with np.errstate(all="ignore"):
            got = getattr(U, name)(*args, out=out)
        assert got is out
        bad = np.flatnonzero(~same_bits(out, want))
        assert bad.size == 0, (k, bad[:5], out[bad[:5]], want[bad[:5]])


# ---- Ctrl-C ------------------------------------------------------------------

def call_interrupted(ufunc, *args, **kwargs):
    """The call, with SIGINT tripped just before it starts: nothing but C
    code runs between interrupt_main and the ufunc, so the interpreter
    meets no bytecode boundary to run the handler at; only the loop can."""
    time.sleep(0.12)   # the loop runs the handlers at most every 100 ms
    list(map(operator.methodcaller("__call__"),
             [_thread.interrupt_main, functools.partial(ufunc, *args, **kwargs)]))


@pytest.fixture
def sigint():
    """SIGINT's handler, put back after the test."""
    saved = signal.getsignal(signal.SIGINT)
    yield
    signal.signal(signal.SIGINT, saved)


def computed(got, want):
    """How many elements, in the order NumPy runs them, were computed
    before the rest came out NaN."""
    got, want = got.ravel(), want.ravel()
    cut = np.flatnonzero(np.isnan(got) & ~np.isnan(want))
    k = cut[0] if cut.size else got.size
    assert same_bits(got[:k], want[:k]).all()
    assert np.isnan(got[k:]).all()
    return k


def zenith(shape):
    return np.random.default_rng(11).uniform(0, 95, shape)


# (what, the ufunc or method, its input, the most elements computed: the
# loop looks within its first 64 blocks): one loop call over all elements;
# one per row of 40000 elements, fewer than the loop runs between looks,
# so the rows after the one cut short must come out NaN too; an
# accumulation and a reduction, one element at a time.
INTERRUPTED = [
    ("one loop", U.RelOptLuftmasse, lambda: zenith(400_000), 64 * 1024),
    ("rows", U.RelOptLuftmasse, lambda: zenith((20, 80_001))[:, :-1:2], 64 * 1024),
    ("accumulate", U.DirStrMBew.accumulate, lambda: cloud(np.random.default_rng(1), 300_000),
     64 * 1024),
    ("reduce", functools.partial(U.DirStrMBew.reduce, axis=1),
     lambda: cloud(np.random.default_rng(1), (4, 100_000)), 0),
]


@pytest.mark.parametrize("what, ufunc, make, most", INTERRUPTED, ids=[c[0] for c in INTERRUPTED])
def test_ctrl_c_ends_a_long_call(sigint, what, ufunc, make, most):
    signal.signal(signal.SIGINT, signal.default_int_handler)
    a = make()
    with np.errstate(all="ignore"):
        want = ufunc(a)
        out = np.full(want.shape, -1.0)
        with pytest.raises(KeyboardInterrupt):
            call_interrupted(ufunc, a, out=out)
        assert computed(out, want) <= most
        # The next call is whole.
        assert same_bits(ufunc(a), want).all()


def test_ctrl_c_raises_what_the_handler_raises_once(sigint):
    class Stopped(Exception):
        pass

    calls = []

    def handler(signum, frame):
        calls.append(signum)
        raise Stopped

    signal.signal(signal.SIGINT, handler)
    a = zenith(400_000)
    want = U.RelOptLuftmasse(a)
    out = np.full_like(a, -1.0)
    with pytest.raises(Stopped):
        call_interrupted(U.RelOptLuftmasse, a, out=out)
    assert calls == [signal.SIGINT]
    assert computed(out, want) < a.size


def test_a_handler_that_returns_lets_the_call_go_on(sigint):
    """... and its own NumPy calls leave the call's floating-point flags alone."""
    calls = []

    def handler(signum, frame):
        calls.append(signum)
        with np.errstate(all="ignore"):
            np.array([1.0]) / 0.0   # NumPy clears the flags first, then raises its own

    signal.signal(signal.SIGINT, handler)
    a = zenith(400_000)
    a[0] = np.nan   # the invalid flag, raised before the handler runs
    with np.errstate(all="ignore"):
        want = U.RelOptLuftmasse(a)
    out = np.full_like(a, -1.0)
    kinds = set()
    with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
        call_interrupted(U.RelOptLuftmasse, a, out=out)
    assert calls == [signal.SIGINT]
    assert same_bits(out, want).all()
    assert kinds == {"invalid value"}
