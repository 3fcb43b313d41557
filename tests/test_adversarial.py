"""Hostile inputs, generated: operands whose arithmetic, comparisons, truth,
__index__, __int__ or NumPy hooks raise, give NotImplemented, give odd types
or recurse without end; an `np` whose attributes raise, are missing, are not
callable, give odd values or recurse.  The native functions must do what the
reference does (the same result, or the same exception and message, and the
same warnings) and leave the interpreter usable."""

import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import klimora.Strahlkit as S
import reference as R
from helpers import outcome, same, same_outcome
from test_leaks import attribute_reads

EXAMPLES = 120
FIXED = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                 suppress_health_check=[HealthCheck.too_slow])

PARAMETERS = {name: getattr(S, name).__code__.co_argcount for name in R.NAMES}
PLAIN = {
    "Sonnenzeit": (12.5, 1, 15.0, 81), "Zenitwinkel": (10.5, 48.1, 172),
    "Azimutwinkel": (9.5, 48.0, 100), "LinkeTruebung": (100, 50.0, 90),
    "RelOptLuftmasse": (90.25,), "MaxDirekteStrahlung": (172, 500.0, 30.5, 3.0, 1.15),
    "MaxGlobalstrahlung": (172, 0.0, 30.5, 3.0), "DirStrMBew": (800.5, 2),
    "AtmosGegenstr": (20.5, 10.0, 4), "OberflTemp": (400.5, 20.0, 2.0, -0.5),
    "MittlStrTemp": (30.5, 200.0, 200.0, 300.0, 100.0, 800.0, None, 0.3, None),
}


class Boom(Exception):
    pass


def recurse(*args):
    return recurse(*args)


ODD = ["text", None, [], (1, 2), np.array([1.0, 2.0]), 1j]


class Hostile:
    """Base of the generated operand types; `name` records how a value came
    about, so two runs of the same formula give equal names."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "Hostile"


def describe(x):
    return x.name if isinstance(x, Hostile) else repr(x)


def swapped_numpy():
    """What a hostile operand puts in place of np in the middle of a call:
    every attribute a string, so a stale np shows in the result."""
    standin = types.ModuleType("np")
    for attribute in NUMPY_NAMES:
        setattr(standin, attribute, f"swapped {attribute}")
    return standin


def behaviour(plan, what, make, target=None):
    kind = plan[what]
    if kind == "value":
        return make()
    if kind == "swap np":
        target.np = swapped_numpy()
        return make()
    if kind == "raise":
        raise Boom(what)
    if kind == "notimplemented":
        return NotImplemented
    if kind == "recurse":
        return recurse()
    return ODD[kind]   # an index into ODD


ARITHMETIC = ["add", "sub", "mul", "truediv", "and"]
COMPARISONS = ["lt", "le", "eq", "ne", "gt", "ge"]


def hostile_type(plan, target):
    """A class whose every operation follows `plan`; "swap np" replaces the
    np of `target`, the module being called."""
    ns = {}

    def binary(op, what):
        def method(self, other):
            return behaviour(plan, what,
                             lambda: cls(f"({self.name} {op} {describe(other)})"), target)
        return method

    for op in ARITHMETIC:
        ns[f"__{op}__"] = binary(op, "arithmetic")
        ns[f"__r{op}__"] = binary("r" + op, "arithmetic")
    for op in COMPARISONS:
        ns[f"__{op}__"] = binary(op, "comparison")
    ns["__neg__"] = lambda self: behaviour(plan, "arithmetic", lambda: cls(f"-{self.name}"))
    ns["__hash__"] = object.__hash__

    if plan["bool"] != "missing":
        def truth(self):
            if plan["bool"] in (True, False):
                return plan["bool"]
            if plan["bool"] == "odd":
                return 1
            return behaviour(plan, "bool", None)
        ns["__bool__"] = truth
    for hook in ("index", "int"):
        if plan[hook] != "missing":
            ns[f"__{hook}__"] = (lambda hook: lambda self: (
                3 if plan[hook] == "value" else 3.5 if plan[hook] == "odd"
                else behaviour(plan, hook, None)))(hook)
    if plan["ufunc"] == "none":
        ns["__array_ufunc__"] = None
    elif plan["ufunc"] != "missing":
        def array_ufunc(self, ufunc, method, *inputs, **kwargs):
            return behaviour(plan, "ufunc", lambda: cls(
                f"{ufunc.__name__}.{method}({', '.join(map(describe, inputs))})"))
        ns["__array_ufunc__"] = array_ufunc
    cls = type("Hostile", (Hostile,), ns)
    return cls


# Mostly values, so that formulas run on past their first operation.
answers = st.sampled_from(["value"] * 6 + ["raise", "notimplemented", "recurse", "swap np",
                                           *range(len(ODD))])
plans = st.fixed_dictionaries({
    "arithmetic": answers,
    "comparison": answers,
    "bool": st.sampled_from([True, False, "raise", "odd", "recurse", "missing"]),
    "index": st.sampled_from(["value", "odd", "raise", "recurse", "missing"]),
    "int": st.sampled_from(["value", "odd", "raise", "recurse", "missing"]),
    "ufunc": st.sampled_from(["value", "raise", "notimplemented", "recurse", "none",
                              "missing", *range(len(ODD))]),
})


def alike(a, b):
    """Results of the two implementations: equal names for hostile values,
    element by element for object arrays, else the same type and bits."""
    if isinstance(a, Hostile) or isinstance(b, Hostile):
        # Each module's call gets operands of classes of its own.
        return isinstance(a, Hostile) and isinstance(b, Hostile) and a.name == b.name
    if isinstance(a, np.ndarray) and a.dtype == object:
        return (type(b) is np.ndarray and b.dtype == object and a.shape == b.shape
                and all(alike(x, y) for x, y in zip(a.flat, b.flat)))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(alike, a, b))
    return same(a, b)


def agree(got, want):
    return same_outcome(got, want, alike)


def check_usable():
    """The interpreter still works after whatever the example did."""
    args = PLAIN["Azimutwinkel"]
    assert same(S.Azimutwinkel(*args), R.Azimutwinkel(*args))


def hostile_arguments(name, plans, target):
    """PLAIN[name] with hostile operands (for the module `target`) where
    `plans` has a plan."""
    return [hostile_type(plan, target)(f"h{k}") if plan else plain
            for k, (plain, plan) in enumerate(zip(PLAIN[name], plans))]


def hostile_operands_test(name):
    @FIXED
    @given(chosen=st.lists(st.none() | plans, min_size=PARAMETERS[name],
                           max_size=PARAMETERS[name]))
    def test(chosen):
        results = []
        for mod in (S, R):
            mod.np = np
            results.append(outcome(getattr(mod, name), *hostile_arguments(name, chosen, mod)))
            mod.np = np
        assert agree(*results), results
    return test


@pytest.mark.parametrize("name", R.NAMES)
def test_hostile_operands(name):
    hostile_operands_test(name)()
    check_usable()


# ---- a hostile np -----------------------------------------------------------------

NUMPY_NAMES = ["pi", "sin", "cos", "arcsin", "arctan", "radians", "degrees", "exp", "power",
               "sqrt", "maximum", "trunc", "array"]


def odd_result(k):
    return lambda *args: ODD[k]


replacements = st.one_of(
    st.just("missing"), st.just("raise"), st.just("not callable"), st.just("recurse"),
    st.integers(0, len(ODD) - 1))


def raising(attribute):
    def get(self):
        raise Boom(attribute)
    return property(get)


def hostile_numpy(changes):
    """A module standing in for numpy, with the attributes in `changes`
    missing, raising (a property of a module subclass), not callable, giving
    odd values or recursing."""
    properties = {a: raising(a) for a, change in changes.items() if change == "raise"}
    standin = type("module", (types.ModuleType,), properties)("np")
    for attribute in NUMPY_NAMES:
        change = changes.get(attribute, "keep")
        if change == "keep":
            setattr(standin, attribute, getattr(np, attribute))
        elif change == "not callable":
            setattr(standin, attribute, "text")
        elif change == "recurse":
            setattr(standin, attribute, recurse)
        elif isinstance(change, int):
            setattr(standin, attribute, odd_result(change))
    return standin


@pytest.mark.parametrize("name", [n for n in R.NAMES if n not in ("DirStrMBew", "OberflTemp")])
def test_hostile_numpy(both, name):
    native, ref = both

    @FIXED
    @given(changes=st.dictionaries(st.sampled_from(NUMPY_NAMES), replacements, min_size=1,
                                   max_size=3),
           hostile=st.none() | plans)
    def test(changes, hostile):
        results = []
        for mod in both:
            mod.np = hostile_numpy(changes)
            args = hostile_arguments(name, [hostile], mod) + list(PLAIN[name][1:])
            results.append(outcome(getattr(mod, name), *args))
        assert agree(*results), results

    test()
    for mod in both:
        mod.np = np
    check_usable()


@pytest.mark.parametrize("name, attribute", [
    (name, attribute) for name in R.NAMES for attribute in NUMPY_NAMES
    if attribute in attribute_reads(name, PLAIN[name])])
def test_recursion_through_np_is_stopped(module, name, attribute):
    """np.<attribute> (a call, or reading np.pi) runs the function again,
    through Python code: the recursion ends in RecursionError, and the module
    works afterwards."""
    fn = getattr(module, name)
    args = PLAIN[name]
    if attribute == "pi":
        standin = type("module", (types.ModuleType,), {"pi": property(lambda self: fn(*args))})
        standin = standin("np")
        for other in NUMPY_NAMES[1:]:
            setattr(standin, other, getattr(np, other))
    else:
        standin = hostile_numpy({})
        setattr(standin, attribute, lambda *ignored: fn(*args))
    module.np = standin
    with pytest.raises(RecursionError):
        fn(*args)
    module.np = np
    check_usable()
    assert same(fn(*args), getattr(R, name)(*args))


class Table:
    """A class whose subscription runs its __class_getitem__."""

    def __class_getitem__(cls, i):
        return [37.92, 39.22, 40.34, 41.48][i]


class Refusing:
    def __class_getitem__(cls, i):
        raise Boom(i)


@pytest.mark.parametrize("table", [list, dict, Table, Refusing, object, np.ndarray])
@pytest.mark.parametrize("angle", [90.0, 90.25])
def test_subscription_of_a_class_follows_python(both, table, angle):
    # np.array giving a class: Tabm[i] is the class's __class_getitem__, as
    # in Python (list[2] is a generic alias), or not subscriptable.
    for mod in both:
        mod.np = hostile_numpy({})
        mod.np.array = lambda items: table
    got, want = outcome(both[0].RelOptLuftmasse, angle), outcome(both[1].RelOptLuftmasse, angle)
    assert agree(got, want), (got, want)


def test_a_look_up_that_changes_the_namespace_is_not_cached(both):
    """Looking np up in the builtins compares it with a key of the same hash
    whose __eq__ puts an np into the module namespace: from the next use on,
    np is that one, as for Python code."""
    import builtins

    class Marker:
        def __getattr__(self, attribute):
            raise Boom(attribute)

    armed = []

    class Key:
        def __hash__(self):
            return hash("np")

        def __eq__(self, other):
            for mod in armed:
                if "np" not in vars(mod):
                    mod.np = Marker()
            return False

    key = Key()
    results = []
    vars(builtins)[key] = None
    builtins.np = np
    try:
        for mod in both:
            del mod.np
            armed[:] = [mod]
            results.append([outcome(mod.Zenitwinkel, 12.0, 50.0, 172) for _ in range(2)])
    finally:
        armed.clear()
        del builtins.np
        del vars(builtins)[key]
    assert [r[:3] for r in results[0]] == [r[:3] for r in results[1]] == [
        ("raise", Boom, "arcsin"), ("raise", Boom, "degrees")]
