"""Evaluation order and failure reporting: which attributes of `np` are read
in which order, and which traceback entries a failure at each step adds."""

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R
from helpers import Poison, Poisoned, module_entries, outcome, qual, same_outcome


class Lookup(Exception):
    pass


class Recorder:
    """Stands in for numpy, logs every attribute read, and fails the
    `fail_at`-th read if asked to."""

    def __init__(self, fail_at=None):
        self.log = []
        self.fail_at = fail_at

    def __getattr__(self, name):
        self.log.append(name)
        if len(self.log) - 1 == self.fail_at:
            raise Lookup(name)
        return getattr(np, name)


def E(name, line, nested=None, nested_line=None):
    entries = [(qual(name), line)]
    if nested:
        entries.append((qual(f"{name}.{nested}"), nested_line))
    return entries


def lines(name, groups):
    """[(line entries, [attribute, ...]), ...] as one list of (attribute, entries)."""
    return [(attribute, entries) for entries, attributes in groups for attribute in attributes]


DECLINATION = ["degrees", "arcsin", "sin", "radians", "sin", "radians"]
# Azimutwinkel's reads up to the run of Winkel at line 77.
AZIMUTH_BEFORE_WINKEL = [
        (E("Azimutwinkel", 67), DECLINATION), (E("Azimutwinkel", 69), ["sin", "radians"]),
        (E("Azimutwinkel", 70), ["cos", "radians"]), (E("Azimutwinkel", 71), ["sin", "radians"]),
        (E("Azimutwinkel", 72), ["cos", "radians"]), (E("Azimutwinkel", 73), ["sin", "pi"]),
        (E("Azimutwinkel", 74), ["cos", "pi"]),
]
EXPECTED = {
    ("Sonnenzeit", (12, 1, 15, 81)): lines("Sonnenzeit", [
        (E("Sonnenzeit", 15, "ERS", 9), ["pi"]), (E("Sonnenzeit", 15, "ERS", 10), ["sin"]),
        (E("Sonnenzeit", 15, "ERS", 11), ["cos"]), (E("Sonnenzeit", 15, "ERS", 12), ["sin"]),
        (E("Sonnenzeit", 22, "ERS", 9), ["pi"]), (E("Sonnenzeit", 22, "ERS", 10), ["sin"]),
        (E("Sonnenzeit", 22, "ERS", 11), ["cos"]), (E("Sonnenzeit", 22, "ERS", 12), ["sin"])]),
    ("Zenitwinkel", (10, 48, 172)): lines("Zenitwinkel", [
        (E("Zenitwinkel", 38), DECLINATION), (E("Zenitwinkel", 39), ["sin", "radians"]),
        (E("Zenitwinkel", 40), ["cos", "radians"]), (E("Zenitwinkel", 41), ["sin", "radians"]),
        (E("Zenitwinkel", 42), ["cos", "radians"]),
        (E("Zenitwinkel", 43), ["degrees", "arcsin", "cos", "pi"])]),
    ("Azimutwinkel", (9, 48, 100)): lines("Azimutwinkel", AZIMUTH_BEFORE_WINKEL + [
        (E("Azimutwinkel", 77, "Winkel", 60), ["pi", "arctan"]),
        (E("Azimutwinkel", 77, "Winkel", 64), ["degrees"])]),
    ("Azimutwinkel", (15, 48, 100)): lines("Azimutwinkel", AZIMUTH_BEFORE_WINKEL + [
        (E("Azimutwinkel", 77, "Winkel", 62), ["pi", "arctan"]),
        (E("Azimutwinkel", 77, "Winkel", 64), ["degrees"])]),
    ("Azimutwinkel", (0, -50, 172)): lines("Azimutwinkel", AZIMUTH_BEFORE_WINKEL + [
        (E("Azimutwinkel", 77, "Winkel", 58), ["pi"]),
        (E("Azimutwinkel", 77, "Winkel", 64), ["degrees"])]),
    ("LinkeTruebung", (100, 50, 50)): lines("LinkeTruebung", [(E("LinkeTruebung", 84), ["cos", "pi"])]),
    ("LinkeTruebung", (100, -50, 50)): lines("LinkeTruebung", [(E("LinkeTruebung", 86), ["cos", "pi"])]),
    ("LinkeTruebung", (1, 1, 90)): lines("LinkeTruebung", [
        (E("LinkeTruebung", 90), ["maximum", "exp", "power", "power"])]),
    ("LinkeTruebung", (1, 1, 100)): [],
    ("RelOptLuftmasse", (30,)): lines("RelOptLuftmasse", [
        (E("RelOptLuftmasse", 103), ["array"]), (E("RelOptLuftmasse", 104), ["trunc"]),
        (E("RelOptLuftmasse", 108), ["cos", "radians"])]),
    ("RelOptLuftmasse", (85,)): lines("RelOptLuftmasse", [
        (E("RelOptLuftmasse", 103), ["array"]), (E("RelOptLuftmasse", 104), ["trunc"]),
        (E("RelOptLuftmasse", 110), ["cos", "radians", "power"])]),
    ("RelOptLuftmasse", (90.5,)): lines("RelOptLuftmasse", [
        (E("RelOptLuftmasse", 103), ["array"]), (E("RelOptLuftmasse", 104), ["trunc"])]),
    ("MaxDirekteStrahlung", (172, 500, 30, 3, 1.15)): lines("MaxDirekteStrahlung", [
        (E("MaxDirekteStrahlung", 136, "ExtraterrStrahlung", 120), ["cos", "pi"]),
        (E("MaxDirekteStrahlung", 136), ["exp"]),
        (E("MaxDirekteStrahlung", 136, "Druckkorrektur", 132), ["exp"])]),
    ("MaxDirekteStrahlung", (172, 500, 95, 3, 1.15)): [],
    ("MaxGlobalstrahlung", (172, 0, 30, 3)): lines("MaxGlobalstrahlung", [
        (E("MaxGlobalstrahlung", 151, "ExtraterrStrahlung", 144), ["cos", "pi"]),
        (E("MaxGlobalstrahlung", 151), ["cos", "radians", "exp"]),
        (E("MaxGlobalstrahlung", 151, "Druckkorrektur", 147), ["exp"]),
        (E("MaxGlobalstrahlung", 151), ["cos", "radians"])]),
    ("MaxGlobalstrahlung", (172, 0, 90, 3)): [],
    ("DirStrMBew", (800, 2)): [],
    ("AtmosGegenstr", (20, 10, 4)): lines("AtmosGegenstr", [
        (E("AtmosGegenstr", 175), ["power", "power"]), (E("AtmosGegenstr", 176), ["power"])]),
    ("OberflTemp", (400, 20, 2, 1)): [],
    ("MittlStrTemp", (30, 200, 200, 300, 100, 800, None, 0.3, None)): lines("MittlStrTemp", [
        (E("MittlStrTemp", 217), ["cos", "radians", "sqrt"]), (E("MittlStrTemp", 218), ["power"])]),
}


@pytest.mark.parametrize("name, args", list(EXPECTED))
def test_attribute_reads_follow_the_reference(both, name, args):
    native, ref = both
    logs = []
    for mod in both:
        mod.np = Recorder()
        result = outcome(getattr(mod, name), *args)
        assert result[0] == "ok"
        logs.append(mod.np.log)
    assert logs[0] == logs[1] == [attribute for attribute, _ in EXPECTED[name, args]]


@pytest.mark.parametrize("name, args", [key for key, value in EXPECTED.items() if value])
def test_failing_read_reports_its_step(module, name, args):
    for k, (attribute, entries) in enumerate(EXPECTED[name, args]):
        module.np = Recorder(fail_at=k)
        with pytest.raises(Lookup) as info:
            getattr(module, name)(*args)
        assert str(info.value) == attribute
        assert module_entries(info.value) == entries, (k, attribute)


@pytest.mark.parametrize("name, args, entries", [
    ("Sonnenzeit", (12, 1, 15, 81), E("Sonnenzeit", 15, "ERS", 9)),
    ("Zenitwinkel", (10, 48, 172), E("Zenitwinkel", 38)),
    ("Azimutwinkel", (10, 48, 172), E("Azimutwinkel", 67)),
    ("LinkeTruebung", (1, 50, 50), E("LinkeTruebung", 84)),
    ("LinkeTruebung", (1, 50, 90), E("LinkeTruebung", 90)),
    ("RelOptLuftmasse", (30,), E("RelOptLuftmasse", 103)),
    ("MaxDirekteStrahlung", (172, 0, 30, 3, 1), E("MaxDirekteStrahlung", 136, "ExtraterrStrahlung", 120)),
    ("MaxGlobalstrahlung", (172, 0, 30, 3), E("MaxGlobalstrahlung", 151, "ExtraterrStrahlung", 144)),
    ("AtmosGegenstr", (20, 10, 4), E("AtmosGegenstr", 175)),
    ("MittlStrTemp", (30, 1, 1, 1, 1, 1, 1, 0.3, 1), E("MittlStrTemp", 217)),
])
def test_missing_np_is_a_name_error_at_its_first_use(module, name, args, entries):
    del module.np
    with pytest.raises(NameError) as info:
        getattr(module, name)(*args)
    assert str(info.value) == "name 'np' is not defined"
    assert module_entries(info.value) == entries


@pytest.mark.parametrize("name, args", [
    ("DirStrMBew", (800, 2)), ("OberflTemp", (400, 20, 2, 1)), ("LinkeTruebung", (1, 1, 100)),
    ("MaxDirekteStrahlung", (1, 0, 90, 3, 1)), ("MaxGlobalstrahlung", (1, 0, 95, 3))])
def test_calls_that_never_use_np_work_without_it(module, name, args):
    expected = outcome(getattr(R, name), *args)
    del module.np
    assert same_outcome(outcome(getattr(module, name), *args), expected)


def test_np_from_builtins_and_replacement_take_effect_at_the_next_call(module):
    import builtins
    del module.np
    builtins.np = np
    try:
        assert module.DirStrMBew(800, 2) == 600.0
        assert module.Zenitwinkel(12, 50, 172) == R.Zenitwinkel(12, 50, 172)
    finally:
        del builtins.np
    with pytest.raises(NameError):
        module.Zenitwinkel(12, 50, 172)
    module.np = Recorder()
    module.Zenitwinkel(12, 50, 172)
    assert module.np.log[:2] == ["degrees", "arcsin"]


CALLS = {
    "Sonnenzeit": ((12, 1, 15, 81), [E("Sonnenzeit", 15)] * 3 + [E("Sonnenzeit", 15, "ERS", 9)]),
    "Zenitwinkel": ((10, 48, 172), [E("Zenitwinkel", 43), E("Zenitwinkel", 39), E("Zenitwinkel", 38)]),
    "Azimutwinkel": ((10, 48, 172), [E("Azimutwinkel", 73), E("Azimutwinkel", 69), E("Azimutwinkel", 67)]),
    "LinkeTruebung": ((100, 50, 50), [E("LinkeTruebung", 84), E("LinkeTruebung", 83), E("LinkeTruebung", 81)]),
    "RelOptLuftmasse": ((30,), [E("RelOptLuftmasse", 104)]),
    "MaxDirekteStrahlung": ((172, 500, 30, 3, 1.15), [
        E("MaxDirekteStrahlung", 136, "ExtraterrStrahlung", 120),
        E("MaxDirekteStrahlung", 136, "Druckkorrektur", 132), E("MaxDirekteStrahlung", 135),
        E("MaxDirekteStrahlung", 136), E("MaxDirekteStrahlung", 136, "OptDicke", 125)]),
    "MaxGlobalstrahlung": ((172, 0, 30, 3), [
        E("MaxGlobalstrahlung", 151, "ExtraterrStrahlung", 144),
        E("MaxGlobalstrahlung", 151, "Druckkorrektur", 147), E("MaxGlobalstrahlung", 150),
        E("MaxGlobalstrahlung", 151)]),
    "DirStrMBew": ((800, 2), [E("DirStrMBew", 157)] * 2),
    "AtmosGegenstr": ((20, 10, 4), [E("AtmosGegenstr", 164), E("AtmosGegenstr", 175), E("AtmosGegenstr", 176)]),
    "OberflTemp": ((400, 20, 2, 1), [E("OberflTemp", 196), E("OberflTemp", 207), E("OberflTemp", 201), E("OberflTemp", 202)]),
    "MittlStrTemp": ((30, 200, 200, 300, 100, 800, None, 0.3, None), [
        E("MittlStrTemp", 215)] + [E("MittlStrTemp", 218)] * 5 + [None, E("MittlStrTemp", 214), None]),
}


@pytest.mark.parametrize("name, position", [
    (name, k) for name, (args, _) in CALLS.items() for k in range(len(args))])
def test_failing_operand_reports_its_step(name, position):
    args, expected = CALLS[name]
    args = list(args)
    args[position] = Poison()
    want = outcome(getattr(R, name), *args)
    got = outcome(getattr(S, name), *args)
    assert same_outcome(got, want) if want[0] == "ok" else got[:3] == want[:3]
    if expected[position] is None:
        assert got[0] == "ok"
    else:
        with pytest.raises(Poisoned) as info:
            getattr(S, name)(*args)
        assert module_entries(info.value) == expected[position]


@pytest.mark.parametrize("name, args, entries", [
    ("Sonnenzeit", (np.array([1.0, 2.0]), 1, 15, 81), E("Sonnenzeit", 16)),
    ("Azimutwinkel", (np.array([9.0, 10.0]), 48, 100), E("Azimutwinkel", 77, "Winkel", 54)),
    ("Zenitwinkel", (np.zeros(2), 48, np.zeros(3)), E("Zenitwinkel", 43)),
    ("Azimutwinkel", (np.zeros(2), 48, np.zeros(3)), E("Azimutwinkel", 75)),
    ("Azimutwinkel", (1, np.zeros(2), np.zeros(3)), E("Azimutwinkel", 76)),
    ("LinkeTruebung", (1, 1, np.array([50.0, 60.0])), E("LinkeTruebung", 81)),
    ("LinkeTruebung", (1, np.array([1.0, -1.0]), 50), E("LinkeTruebung", 83)),
    ("RelOptLuftmasse", (np.array([30.0, 40.0]),), E("RelOptLuftmasse", 104)),
    ("RelOptLuftmasse", (float("nan"),), E("RelOptLuftmasse", 104)),
    ("RelOptLuftmasse", (float("inf"),), E("RelOptLuftmasse", 104)),
    ("MaxDirekteStrahlung", (1, 0, np.array([30.0, 40.0]), 3, 1), E("MaxDirekteStrahlung", 135)),
    ("MaxGlobalstrahlung", (1, 0, np.array([30.0, 40.0]), 3), E("MaxGlobalstrahlung", 150)),
    ("OberflTemp", (np.array([1.0, 2.0]), 20, 2, 1), E("OberflTemp", 196)),
    ("OberflTemp", (400, 20, 2, np.array([1.0, 2.0])), E("OberflTemp", 202)),
    ("OberflTemp", (400.0, 20.0, -6.2 / 4.26, 1.0), E("OberflTemp", 207)),
])
def test_numpy_failures_carry_their_lines(name, args, entries):
    got, want = outcome(getattr(S, name), *args), outcome(getattr(R, name), *args)
    assert got[0] == "raise" and got[:3] == want[:3]
    with pytest.raises(got[1]) as info:
        getattr(S, name)(*args)
    assert module_entries(info.value) == entries


def test_traceback_frames_carry_the_module_namespace(module):
    del module.np
    with pytest.raises(NameError) as info:
        module.Sonnenzeit(12, 1, 15, 81)
    frames = [tb.tb_frame for tb in _walk(info.value.__traceback__)
              if tb.tb_frame.f_code.co_filename == "klimora/Strahlkit"]
    assert len(frames) == 2 and all(frame.f_globals is vars(S) for frame in frames)


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_bowen_zero_returns_the_air_temperature_object():
    for bowen in (0, 0.0, -0.0, False, np.float64(0.0)):
        air = object()
        assert S.OberflTemp(400, air, 2, bowen) is air


def test_nothing_is_read_from_np_below_the_horizon(module):
    module.np = Recorder()
    assert module.MaxDirekteStrahlung(1, 0, 90, 3, 1) == 0
    assert module.MaxGlobalstrahlung(1, 0, float("nan"), 3) == 0
    assert module.np.log == []
