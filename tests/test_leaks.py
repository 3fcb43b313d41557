"""Reference and memory leaks: every function, called tens of thousands of
times on its success paths and on each kind of failure path, leaves the
reference counts of its arguments, of the constants of its formulas and of
NumPy's attributes exactly as they were, and the traced memory flat.

A single reference kept per call shows up as a count that grew by the
number of calls, so the counts must match exactly."""

import array
import gc
import random
import sys
import tracemalloc

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R
from helpers import Poison, outcome, same_outcome

CALLS = 20_000
WARM_UP = 200
TRACED_CALLS = 5_000
MEMORY_SLACK = 32 * 1024   # one float kept per traced call would be about 160 KiB

SUCCESS = {
    "Sonnenzeit": [(12.5, 1.0, 15.0, 81.0), (30.5, 1.0, 15.0, 81.0), (-5.5, 1.0, 15.0, 81.0),
                   (100.5, 1.0, 15.0, 81.0)],
    "Zenitwinkel": [(10.5, 48.1, 172.0), (np.arange(24.0), 48.1, 172.0)],
    "Azimutwinkel": [(9.5, 48.0, 100.0), (15.5, 48.0, 100.0), (0.0, 50.0, 172.0),
                     (0.0, -50.0, 172.0)],
    "LinkeTruebung": [(100.0, 50.0, 50.0), (100.0, -50.0, 50.0), (1.0, 1.0, 90.0),
                      (1.0, 1.0, 100.0)],
    "RelOptLuftmasse": [(30.5,), (85.5,), (90.25,), (100.5,), (-1.5,)],
    "MaxDirekteStrahlung": [(172.0, 500.0, 30.5, 3.0, 1.15), (172.0, 0.0, 87.5, 3.0, 20.0),
                            (172.0, 0.0, -1.5, 3.0, 2.0), (172.0, 0.0, 95.5, 3.0, 2.0)],
    "MaxGlobalstrahlung": [(172.0, 0.0, 30.5, 3.0), (172.0, 0.0, 90.5, 3.0)],
    "DirStrMBew": [(800.5, 2.0), (np.ones(3), 2.0)],
    "AtmosGegenstr": [(20.5, 10.0, 4.0)],
    "OberflTemp": [(400.5, 20.0, 2.0, 1.0), (-50.5, 10.0, 1.0, 0.5), (400.5, 20.0, 2.0, -2.0),
                   (400.5, 20.0, 2.0, 0.0)],
    "MittlStrTemp": [(30.5, 200.0, 200.0, 300.0, 100.0, 800.0, None, 0.3, None)],
}


def fresh(args):
    """The arguments as objects of their own, referenced by the test alone."""
    return tuple(float(repr(a)) if type(a) is float else a for a in args)


class Failure(Exception):
    pass


class Unsure:
    def __bool__(self):
        raise Failure("no truth value")


class Undecided(float):
    """A number whose comparisons cannot be tested for truth, nor those of
    what its arithmetic gives."""

    def _compare(self, other):
        return Unsure()

    __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __ne__ = _compare
    __hash__ = float.__hash__


def _undecided(name):
    op = getattr(float, name)
    return lambda self, *other: Undecided(op(self, *other))


for _name in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__",
              "__truediv__", "__rtruediv__", "__neg__"):
    setattr(Undecided, _name, _undecided(_name))


class FailingNumpy:
    """numpy whose `fail_at`-th attribute read in a call raises, or gives a
    function that raises when `in_call` is set."""

    def __init__(self, fail_at, in_call):
        self.reads, self.fail_at, self.in_call = 0, fail_at, in_call

    def __getattr__(self, name):
        self.reads += 1
        if self.reads - 1 != self.fail_at:
            return getattr(np, name)
        if not self.in_call:
            raise Failure(name)

        def fails(*args):
            raise Failure(name)
        return fails


def attribute_reads(name, args):
    log = []

    class Counting:
        def __getattr__(self, attribute):
            log.append(attribute)
            return getattr(np, attribute)

    S.np = Counting()
    try:
        getattr(S, name)(*args)
    finally:
        S.np = np
    return log


def with_numpy(standin, fn, args):
    """A call with `standin` as the module's np for its duration."""
    def call(*args):
        S.np = standin
        standin.reads = 0
        try:
            return fn(*args)
        finally:
            S.np = np
    return call, args, {}


def binding_failures(name):
    fn = getattr(S, name)
    n = len(SUCCESS[name][0])
    args = fresh(SUCCESS[name][0])
    if name == "RelOptLuftmasse":
        return [(fn, (), {}), (fn, args * 2, {}), (fn, (), {"zenitwinkel": args[0]}),
                (fn, args, {"x": args[0]})]
    first = fn.__code__.co_varnames[0]
    last = fn.__code__.co_varnames[n - 1]
    return [
        (fn, args[:-1], {}), (fn, args + (1.5,), {}), (fn, args, {"x": 2.5}),
        (fn, args, {first: 2.5}), (fn, args[:-1], {"x": 2.5}), (fn, args[:-1], {last: 2.5, 7: 1}),
        (fn, args[:-1], {last: 2.5, first: 1}), (fn, args + args, {"x": 2.5}),
        (fn, (), {last: 2.5}),
    ]


def operand_failures(name):
    calls = []
    for args in SUCCESS[name]:
        for k in range(len(args)):
            for bad in (Poison(), Undecided(args[k]) if type(args[k]) is float else None):
                if bad is not None:
                    changed = list(fresh(args))
                    changed[k] = bad
                    calls.append((getattr(S, name), tuple(changed), {}))
    return calls


TRUTH = {
    "Sonnenzeit": [(np.array([1.0, 2.0]), 1.0, 15.0, 81.0)],
    "Azimutwinkel": [(np.array([9.0, 10.0]), 48.0, 100.0)],
    "LinkeTruebung": [(1.0, 1.0, np.array([50.0, 60.0])), (1.0, np.array([1.0, -1.0]), 50.0)],
    "RelOptLuftmasse": [(np.array([30.0, 40.0]),), (float("nan"),)],
    "MaxDirekteStrahlung": [(1.0, 0.0, np.array([30.0, 40.0]), 3.0, 1.0)],
    "MaxGlobalstrahlung": [(1.0, 0.0, np.array([30.0, 40.0]), 3.0)],
    "OberflTemp": [(np.array([1.0, 2.0]), 20.0, 2.0, 1.0), (400.0, 20.0, 2.0, np.array([1.0, 2.0])),
                   (400.0, 20.0, -6.2 / 4.26, 1.0)],
    "Zenitwinkel": [(np.zeros(2), 48.0, np.zeros(3))],
    "DirStrMBew": [(np.zeros(2), np.zeros(3))],
    "AtmosGegenstr": [(np.zeros(2), 1.0, np.zeros(3))],
    "MittlStrTemp": [(np.zeros(2), 1.0, 1.0, 1.0, 1.0, 1.0, None, np.zeros(3), None)],
}


def numpy_failures(name):
    calls = []
    for args in SUCCESS[name]:
        for k in range(len(attribute_reads(name, args))):
            for in_call in (False, True):
                calls.append(with_numpy(FailingNumpy(k, in_call), getattr(S, name), fresh(args)))
    return calls


def by_position_and_keyword(name, args):
    """One call by position alone, one through the binding of keywords."""
    fn = getattr(S, name)
    if name == "RelOptLuftmasse":   # takes no keywords
        return [(fn, fresh(args), {})]
    last = fn.__code__.co_varnames[len(args) - 1]
    *given, named = fresh(args)
    return [(fn, fresh(args), {}), (fn, tuple(given), {last: named})]


KINDS = {
    "success": lambda name: [c for a in SUCCESS[name] for c in by_position_and_keyword(name, a)],
    "binding": binding_failures,
    "operand": operand_failures,
    "truth test or numpy error": lambda name: [(getattr(S, name), a, {}) for a in TRUTH[name]],
    "np attribute or call": numpy_failures,
}


# ---- the constants of the formulas ------------------------------------------------

class Collector:
    """Stands in for every number of a formula and keeps the other operands
    it meets: the int and float constants."""

    def __init__(self, seen, choose):
        self.seen, self.choose = seen, choose

    def _keep(self, other):
        if type(other) in (int, float):
            self.seen[id(other)] = other

    def _arithmetic(self, other):
        self._keep(other)
        return Collector(self.seen, self.choose)

    def _compare(self, other):
        self._keep(other)
        return self.choose()

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _arithmetic
    __truediv__ = __rtruediv__ = __and__ = __rand__ = __getitem__ = _arithmetic
    __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __ne__ = _compare
    __hash__ = object.__hash__

    def __neg__(self):
        return Collector(self.seen, self.choose)

    def __int__(self):
        return 0

    def __bool__(self):
        return self.choose()


class CollectingNumpy:
    def __init__(self, seen, choose):
        self.seen, self.choose = seen, choose

    def __getattr__(self, name):
        if name == "pi":
            return np.pi

        def function(*args):
            for a in args:
                Collector(self.seen, self.choose)._keep(a)
                if type(a) is list:
                    for x in a:
                        Collector(self.seen, self.choose)._keep(x)
            return Collector(self.seen, self.choose)
        return function


def constants_of(name):
    seen = {}
    rng = random.Random(name)

    def choose():
        return rng.random() < 0.5
    S.np = CollectingNumpy(seen, choose)
    try:
        for _ in range(64):
            args = [Collector(seen, choose) for _ in SUCCESS[name][0]]
            result = getattr(S, name)(*args)
            Collector(seen, choose)._keep(result)
    finally:
        S.np = np
    return list(seen.values())


NUMPY_ATTRIBUTES = [getattr(np, a) for a in (
    "pi", "sin", "cos", "arcsin", "arctan", "radians", "degrees", "exp", "power", "sqrt",
    "maximum", "trunc", "array")]


def immortal(o):
    """Whether o is immortal (PEP 683, 3.12+): its count is pinned and
    Py_INCREF/Py_DECREF may leave it or move it, so it shows no leak."""
    if hasattr(sys, "_is_immortal"):   # 3.14+
        return sys._is_immortal(o)
    # 3.12-3.13 on 64 bits: the low 32 bits of an immortal's count read as
    # a negative int32 (_Py_IsImmortal); no mortal count gets that high here.
    return sys.version_info >= (3, 12) and sys.getrefcount(o) & 0xFFFF_FFFF >= 2**31


def watched(name, calls):
    objects = [getattr(S, name), np, *NUMPY_ATTRIBUTES, *constants_of(name)]
    for fn, args, kwargs in calls:
        objects += [fn, *args, *kwargs.keys(), *kwargs.values()]
    return [o for o in objects if not immortal(o)]


def run(calls, n):
    k = len(calls)
    for i in range(n):
        fn, args, kwargs = calls[i % k]
        try:
            # f(*args, **{}) passes an empty dict, not NULL: the common call by
            # position alone would never be run.
            fn(*args, **kwargs) if kwargs else fn(*args)
        except Exception:  # noqa: BLE001 - the failures are what is exercised
            pass


def counts(objects):
    # Kept in an array, not a list: a list of counts would itself hold
    # references to the small ints among the watched objects.
    return array.array("q", (sys.getrefcount(o) for o in objects))


def check_outcomes(name, kind, calls):
    """The calls do what their kind says, and what the reference does."""
    failed = 0
    for fn, args, kwargs in calls:
        got = outcome(lambda: fn(*args, **kwargs))
        failed += got[0] == "raise"
        if kind in ("success", "operand", "truth test or numpy error"):
            want = outcome(getattr(R, name), *args, *kwargs.values())
            # OberflTemp may give back an argument itself, which may not compare.
            assert (got[1] is want[1] and got[0] == "ok") or same_outcome(got, want), (
                args, got, want)
    if kind == "success":
        assert failed == 0
    elif kind in ("binding", "np attribute or call"):
        assert failed == len(calls)
    else:
        assert failed > 0


USES_NUMPY = [n for n in R.NAMES if attribute_reads(n, SUCCESS[n][0])]


@pytest.mark.parametrize("name, kind", [
    (name, kind) for name in R.NAMES for kind in KINDS
    if kind != "np attribute or call" or name in USES_NUMPY])
def test_no_reference_or_memory_leaks(name, kind):
    calls = KINDS[kind](name)
    assert calls
    check_outcomes(name, kind, calls)
    objects = watched(name, calls)
    run(calls, WARM_UP)
    gc.collect()
    gc.disable()
    try:
        before = counts(objects)
        run(calls, CALLS)
        after = counts(objects)
        # Traced separately: tracemalloc itself holds small ints.
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            run(calls, TRACED_CALLS)
            grown = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
    finally:
        gc.enable()
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, changed
    assert grown < MEMORY_SLACK, grown


@pytest.mark.parametrize("name", USES_NUMPY)
def test_no_leaks_when_np_is_missing(module, name):
    calls = [(getattr(module, name), fresh(a), {}) for a in SUCCESS[name]]
    objects = watched(name, calls)
    del module.np
    got = [outcome(lambda: fn(*args)) for fn, args, _ in calls]
    assert any(g[:3] == ("raise", NameError, "name 'np' is not defined") for g in got)
    run(calls, WARM_UP)
    gc.collect()
    before = counts(objects)
    run(calls, CALLS)
    assert counts(objects) == before


def test_constants_are_found():
    """The collection above sees the constants it is meant to watch."""
    found = constants_of("Sonnenzeit")
    assert {24.0, 12, 180, 81, 364, 60, 9.87, 7.53, 1.5} <= set(found)
    assert 999 in constants_of("RelOptLuftmasse") and 0 in constants_of("MaxGlobalstrahlung")
    assert 2.72 in constants_of("Azimutwinkel")


@pytest.mark.parametrize("make, is_immortal", [
    (lambda: None, sys.version_info >= (3, 12)),
    (lambda: True, sys.version_info >= (3, 12)),
    (lambda: 7, sys.version_info >= (3, 12)),
    (lambda: float("2.5"), False),
    (lambda: [1.5], False),
    (lambda: np, False),
])
def test_only_immortal_objects_are_left_out(make, is_immortal):
    assert immortal(make()) is is_immortal


def test_a_kept_reference_is_still_seen():
    """The check catches a call that keeps a reference to its argument."""
    kept = []
    calls = [(kept.append, (float("1.5"),), {})]
    objects = watched("RelOptLuftmasse", calls)
    before = counts(objects)
    run(calls, 100)
    grown = [a - b for b, a in zip(before, counts(objects)) if a != b]
    assert grown == [100]
