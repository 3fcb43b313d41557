"""Every operation in its order: numbers that log what is done to them, and
NumPy stand-ins that change what np.array, np.trunc or a ufunc give."""

import functools
import sys
import operator

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R
from helpers import outcome, same_outcome


class Traced:
    """A float that logs every operation on it, in a log shared by all the
    values of one call."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def __repr__(self):
        return f"T({self.value!r})"

    def _wrap(self, value):
        return Traced(value, self.log)


def _plain(x):
    return x.value if isinstance(x, Traced) else x


def _binary(name, reflected=False):
    op = getattr(operator, name)

    def method(self, other):
        self.log.append((name, reflected, repr(self), repr(other)))
        a, b = (_plain(other), self.value) if reflected else (self.value, _plain(other))
        return self._wrap(op(a, b))
    return method


for _name in ["add", "sub", "mul", "truediv", "and_", "lt", "le", "eq", "ne", "gt", "ge"]:
    _dunder = "__" + _name.rstrip("_") + "__"
    setattr(Traced, _dunder, _binary(_name))
    if _name in {"add", "sub", "mul", "truediv", "and_"}:
        setattr(Traced, "__r" + _dunder[2:], _binary(_name, reflected=True))


def _unary(name, op):
    def method(self):
        self.log.append((name, repr(self)))
        return op(self.value)
    return method


Traced.__neg__ = lambda self: (self.log.append(("neg", repr(self))), self._wrap(-self.value))[1]
Traced.__bool__ = _unary("bool", bool)
Traced.__int__ = _unary("int", int)
Traced.__index__ = _unary("index", operator.index)
Traced.__hash__ = object.__hash__


def _array_ufunc(self, ufunc, method, *inputs, **kwargs):
    self.log.append((ufunc.__name__, method, tuple(map(repr, inputs))))
    result = getattr(ufunc, method)(*map(_plain, inputs), **kwargs)
    return self._wrap(result)


Traced.__array_ufunc__ = _array_ufunc

CALLS = [
    ("Sonnenzeit", [12, 1, 15, 81]), ("Sonnenzeit", [30, 1, 15, 81]),
    ("Sonnenzeit", [-5, 1, 15, 81]), ("Sonnenzeit", [100, 1, 15, 81]),
    ("Zenitwinkel", [10.5, 48.1, 172]), ("Azimutwinkel", [9, 48, 100]),
    ("Azimutwinkel", [15, 48, 100]), ("Azimutwinkel", [0, 50, 172]), ("Azimutwinkel", [0, -50, 172]),
    ("LinkeTruebung", [100, 50, 50]), ("LinkeTruebung", [100, -50, 50]),
    ("LinkeTruebung", [1, 1, 90]), ("LinkeTruebung", [1, 1, 100]),
    ("RelOptLuftmasse", [30.0]), ("RelOptLuftmasse", [85.0]), ("RelOptLuftmasse", [90.25]), ("RelOptLuftmasse", [90.5]),
    ("RelOptLuftmasse", [100.0]), ("RelOptLuftmasse", [-1.0]),
    ("MaxDirekteStrahlung", [172, 500, 30, 3, 1.15]), ("MaxDirekteStrahlung", [172, 0, 87, 3, 20]),
    ("MaxDirekteStrahlung", [172, 0, -1, 3, 2]), ("MaxDirekteStrahlung", [172, 0, 95, 3, 2]),
    ("MaxGlobalstrahlung", [172, 0, 30, 3]), ("MaxGlobalstrahlung", [172, 0, 90, 3]),
    ("DirStrMBew", [800, 2]), ("AtmosGegenstr", [20, 10, 4]),
    ("OberflTemp", [400, 20, 2, 1]), ("OberflTemp", [-50, 10, 1, 0.5]),
    ("OberflTemp", [400, 20, 2, -2]), ("OberflTemp", [400, 20, 2, 0]),
    ("MittlStrTemp", [30, 200, 200, 300, 100, 800, 5, 0.3, 7]),
]


@pytest.mark.parametrize("name, values", CALLS)
def test_operations_in_the_reference_order(name, values):
    logs, results = [], []
    for mod in (S, R):
        log = []
        results.append(getattr(mod, name)(*[Traced(v, log) for v in values]))
        logs.append(log)
    assert logs[0] == logs[1] and len(logs[0]) > 0
    assert repr(results[0]) == repr(results[1])


class Stand_in:
    """numpy with some attributes replaced."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(np, name)


TABLES = [list, tuple, lambda xs: dict(enumerate(xs)), lambda xs: object(), lambda xs: "abc",
          lambda xs: {"0": 1}]
TRUNCS = [lambda x: 2**70, lambda x: -1, lambda x: 3.5, lambda x: "1", lambda x: True,
          lambda x: np.int64(2), np.trunc]


@pytest.mark.parametrize("table", TABLES)
@pytest.mark.parametrize("trunc", TRUNCS)
@pytest.mark.parametrize("angle", [90.0, 90.25, 91.0, 45.0])
def test_subscription_and_int_follow_python(both, table, trunc, angle):
    native, ref = both
    for mod in both:
        mod.np = Stand_in(array=table, trunc=trunc)
    got, want = outcome(native.RelOptLuftmasse, angle), outcome(ref.RelOptLuftmasse, angle)
    assert same_outcome(got, want), (got, want)


def test_power_of_ten_gets_two_ints(both):
    seen = {}

    def power(*args):
        seen.setdefault(len(seen), [type(a) for a in args])
        return np.power(*args)
    both[0].np = Stand_in(power=power)
    both[0].LinkeTruebung(1, 1, 90)
    assert seen == {0: [int, int], 1: [int, int]}


def test_recursion_through_numpy_calls_is_stopped(module):
    # np.degrees calls Zenitwinkel again, with no Python frame in between:
    # only the module's own recursion guard can stop it.
    module.np = Stand_in(degrees=functools.partial(S.Zenitwinkel, 1, 2))
    with pytest.raises(RecursionError) as info:
        module.Zenitwinkel(1, 2, 3)
    # Which of CPython's guards stops it first, and so the ending of its
    # message, differs from version to version.
    assert str(info.value) in ("maximum recursion depth exceeded while calling a Python object",
                               "maximum recursion depth exceeded")
    del module.np.degrees
    assert same_outcome(outcome(module.Zenitwinkel, 1, 2, 3), outcome(R.Zenitwinkel, 1, 2, 3))


@pytest.mark.parametrize("limit", [1000, 20_000, 1_000_000])
def test_deep_recursion_is_a_recursion_error_at_any_limit(module, limit):
    """However high the recursion limit, the C stack ends the recursion with
    RecursionError before it overflows."""
    module.np = Stand_in(degrees=functools.partial(S.Zenitwinkel, 1, 2))
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        with pytest.raises(RecursionError, match="^maximum recursion depth exceeded"):
            module.Zenitwinkel(1, 2, 3)
    finally:
        sys.setrecursionlimit(old)
