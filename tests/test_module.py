"""The module object and its function objects, as introspection sees them."""

import copy
import inspect
import pickle
import types

import pytest

import klimora.Strahlkit as S
import reference as R

FURTHER_NAMES = {
    "Sonnenzeit": (6, ["ERS", "ERS", "zonezeit", "zzeit", "s", "Result"]),
    "Zenitwinkel": (31, ["delta", "sinBr", "cosBr", "sinD", "cosD", "s", "Result"]),
    "Azimutwinkel": (47, ["Winkel", "Winkel", "delta", "sinBr", "cosBr", "sinD", "cosD",
                          "sinSz", "cosSz", "sy", "sz", "Result"]),
    "LinkeTruebung": (80, ["Tl", "Vm"]),
    "RelOptLuftmasse": (98, ["a", "b", "c", "Tabm", "i", "m"]),
    "MaxDirekteStrahlung": (117, ["ExtraterrStrahlung", "ExtraterrStrahlung", "OptDicke",
                                  "OptDicke", "Druckkorrektur", "Druckkorrektur", "Isenkr"]),
    "MaxGlobalstrahlung": (141, ["ExtraterrStrahlung", "ExtraterrStrahlung", "Druckkorrektur",
                                 "Druckkorrektur", "Gmax"]),
    "DirStrMBew": (156, ["Result"]),
    "AtmosGegenstr": (161, ["epseff", "sigma", "T", "A0", "nx", "Result"]),
    "OberflTemp": (193, ["Q", "B", "alphaL", "Result"]),
    "MittlStrTemp": (211, ["sigma", "epsP", "alphaIR", "gamma", "fP", "Result"]),
}

DEKLIN = ("np.degrees(np.arcsin(0.3978*np.sin(np.radians(0.9856*dayofyear-2.72-77.51+1.92*"
          "np.sin(np.radians(0.9856*dayofyear-2.72))))))")
DOCS = {
    "Zenitwinkel": "\n".join(["", "    def deklin(dayofyear):", "        Result = " + DEKLIN,
                              "        return Result", "    delta = deklin(dayofyear)", "    "]),
    "Azimutwinkel": "\n".join(["", "    def deklin(dayofyear):", "        Result=" + DEKLIN,
                               "        return Result", "    "]),
}


def test_namespace_holds_its_names_in_order():
    names = list(vars(S))
    assert names[:6] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__",
                         "__file__"]
    assert names[6:] == ["__builtins__", "np", "Fraction", *R.NAMES, "__test__"]
    assert S.__doc__ is None and S.__test__ == {} and S.__package__ == "klimora"
    assert S.__builtins__ is __import__("builtins")
    assert S.Fraction is __import__("fractions").Fraction
    assert not hasattr(S, "deklin") and not hasattr(S, "__path__")


@pytest.mark.parametrize("name", R.NAMES)
def test_function_attributes(name):
    f = getattr(S, name)
    first_line, further = FURTHER_NAMES[name]
    parameters = list(inspect.signature(getattr(R, name)).parameters)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "klimora.Strahlkit")
    assert f.__doc__ == DOCS.get(name)
    assert f.__globals__ is vars(S)
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    code = f.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == len(parameters)
    assert list(code.co_varnames) == parameters + further
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (
        "klimora/Strahlkit", name, first_line)
    assert getattr(code, "co_qualname", name) == name
    assert list(inspect.signature(f).parameters) == parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(f).parameters.values())
    assert repr(f).startswith(f"<function {name} at 0x")


def test_docstring_lengths():
    assert (len(S.Zenitwinkel.__doc__), len(S.Azimutwinkel.__doc__)) == (226, 194)


def test_function_dict_is_writable():
    f = S.DirStrMBew
    f.note = "cloud reduction"
    try:
        assert f.__dict__ == {"note": "cloud reduction"}
    finally:
        del f.note


def test_binds_as_method_through_an_instance():
    class Beam(float):
        reduce = S.DirStrMBew

    assert Beam(800.0).reduce(2) == 600.0
    assert Beam.reduce is S.DirStrMBew
    assert list(inspect.signature(Beam(1.0).reduce).parameters) == ["N"]


@pytest.mark.parametrize("name", R.NAMES)
def test_pickles_and_copies_by_reference(name):
    f = getattr(S, name)
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f and copy.copy(f) is f


@pytest.mark.parametrize("run", [
    lambda code, n: types.FunctionType(code, {})(*range(n)),
    lambda code, n: types.FunctionType(code, {"__builtins__": {}})(*range(n)),
    lambda code, n: exec(code, {}),
    lambda code, n: eval(code),
])
@pytest.mark.parametrize("name", R.NAMES)
def test_running_the_code_object_is_a_python_error(name, run):
    """The code object is there to be read; run on its own it raises, on
    every interpreter, rather than crash it."""
    code = getattr(S, name).__code__
    with pytest.raises((TypeError, NameError)):
        run(code, code.co_argcount)
