"""klimora.ufuncs.pet, pet_person and klimora.comfort.pet: PET held to pythermalcomfort's
pet_steady where that converges, to Höppe's (1999) room and summer shade,
to its own definition in the room, its bounded solving on any input, and
the ufunc machinery."""

import signal
import sys
import warnings

import numpy as np
import pytest
from test_ufunc_methods import call_interrupted, sigint  # noqa: F401 (a fixture)

from klimora import ufuncs as U
from klimora.comfort import pet

STANDARD = dict(work=80.0, clothing=0.9, age=35.0, sex="male", weight=75.0, height=1.75)
PERSONS = [  # (keywords of klimora.comfort.pet, pet_steady's posture)
    (dict(STANDARD, posture="sitting"), "sitting"),
    (dict(STANDARD, posture="standing"), "standing"),
    (dict(work=150.0, clothing=0.5, age=60.0, sex="female", weight=60.0, height=1.6,
          posture="standing, forced convection"), "standing, forced convection"),
    (dict(work=20.0, clothing=1.5, age=25.0, sex="male", weight=90.0, height=1.9,
          posture="sitting"), "sitting"),
]


def saturation(t):
    """Saturation vapour pressure, hPa, as pythermalcomfort has it."""
    from pythermalcomfort.psychrometrics import p_sat
    return p_sat(t) / 100


def steady(models, monkeypatch):
    """pet_steady on one point and whether its solver converged: every
    fsolve call ends on a root (flag 1 and residuals below 1e-6 W/m2)."""
    import scipy.optimize
    module = sys.modules[models.pet_steady.__module__]
    calls = []

    class Counted:
        @staticmethod
        def fsolve(f, x0, args=(), **_):
            x, info, flag, _ = scipy.optimize.fsolve(f, x0, args=args, full_output=True)
            calls.append(flag == 1 and np.abs(info["fvec"]).max() < 1e-6)
            return x

    monkeypatch.setattr(module, "optimize", Counted)

    def one(*args, **person):
        calls.clear()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = float(models.pet_steady(*args, **person).pet)
        return value, all(calls)
    return one


@pytest.mark.parametrize("person, posture", PERSONS)
def test_pet_is_pythermalcomforts_where_it_converges(person, posture, monkeypatch):
    models = pytest.importorskip("pythermalcomfort.models")
    one = steady(models, monkeypatch)
    rng = np.random.default_rng(len(posture) + int(person["work"]))
    n = 60
    air, mrt = rng.uniform(-10, 45, n), rng.uniform(-10, 80, n)
    wind, rh = rng.uniform(0.1, 10, n), rng.uniform(5, 100, n)
    pressure = rng.uniform(990, 1030, n)
    got = pet(air, mrt, wind, rh, pressure, **person)
    kept = {"met": person["work"] / 58.2, "clo": person["clothing"], "age": person["age"],
            "sex": person["sex"], "weight": person["weight"], "height": person["height"],
            "position": posture}
    want, converged = np.array([one(a, m, w, r, p_atm=p, **kept)
                                for a, m, w, r, p in zip(air, mrt, wind, rh, pressure)]).T
    converged = converged.astype(bool)
    # pet_steady rounds to 0.01 K.
    assert converged.mean() > 0.9 and np.isfinite(got).all()
    assert np.abs(got - want)[converged].max() <= 0.005 + 1e-9


@pytest.mark.parametrize("air, mrt, wind, vapour, published", [
    (21.0, 21.0, 0.1, 12.0, 21.0),    # the room
    (30.0, 30.0, 1.0, 21.0, 29.0),    # summer, in the shade
])
def test_hoeppes_published_values(air, mrt, wind, vapour, published):
    got = pet(air, mrt, wind, 100 * vapour / saturation(air))
    assert abs(got - published) <= 0.5


@pytest.mark.parametrize("air", [-20.0, 0.0, 15.0, 25.0, 40.0])
@pytest.mark.parametrize("person", [p for p, _ in PERSONS[:2]])
def test_the_room_is_its_own_pet(air, person):
    # The standard person at 80 W and 0.9 clo in the room (Tmrt = Ta,
    # 0.1 m/s, 12 hPa) has the room's temperatures: PET is the air's.
    room = dict(person, work=80.0, clothing=0.9)
    got = pet(air, air, 0.1, 100 * 12.0 / saturation(air), 1000.0, **room)
    assert abs(got - air) < 1e-5


EXTREMES = [-273.15, -200.0, -60.0, 0.0, 45.0, 100.0, 1e6, np.inf, -np.inf]


def test_never_hangs_and_nan_is_quiet():
    air, mrt = np.meshgrid(EXTREMES, EXTREMES)
    for wind in [0.0, 0.1, 50.0, 1e4, np.inf]:
        for rh in [0.0, 100.0, 1e3, np.inf]:
            with np.errstate(invalid="ignore", over="ignore"):
                got = U.pet(air, mrt, wind, rh, 1013.25)
            assert got.shape == air.shape and not np.isinf(got).any()
    with np.errstate(invalid="raise"):
        assert np.isnan(pet(np.nan, 20.0, 1.0, 50.0))
        assert np.isnan(pet(20.0, 20.0, 1.0, 50.0, clothing=np.nan))


@pytest.mark.parametrize("inputs", [
    dict(wind_speed=-1.0), dict(clothing=0.0), dict(weight=0.0), dict(height=0.1),
    dict(pressure=0.0), dict(mean_radiant_temperature=1e6), dict(air_temperature=np.inf),
])
def test_a_point_that_does_not_solve_raises_the_invalid_flag(inputs):
    point = dict(air_temperature=20.0, mean_radiant_temperature=20.0, wind_speed=1.0,
                 relative_humidity=50.0, **STANDARD)
    point.update(inputs)
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
        pet(**point)
    with np.errstate(invalid="ignore"):
        assert np.isnan(pet(**point))


@pytest.mark.parametrize("bad", [dict(sex="m"), dict(posture="lying")])
def test_keywords_name_their_choices(bad):
    with pytest.raises(ValueError, match="must be one of"):
        pet(20.0, 20.0, 1.0, 50.0, **bad)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("ufunc, person", [
    (U.pet, ()), (U.pet_person, (80.0, 0.9, 35.0, 1.0, 75.0, 1.75, 0.0)),
    (U.pet_person, (120.0, 0.6, 50.0, 0.0, 55.0, 1.6, 1.0)),
])
def test_ufunc_machinery(dtype, ufunc, person):
    assert (ufunc.nin, ufunc.nout) == (5 + len(person), 1)
    assert {"f" * ufunc.nin + "->f", "d" * ufunc.nin + "->d"} == set(ufunc.types)
    rng = np.random.default_rng(5)
    air = rng.uniform(-10, 45, (6, 1)).astype(dtype)
    mrt = rng.uniform(-10, 80, (1, 5)).astype(dtype)
    rest = [dtype(x) for x in (2.0, 50.0, 1013.25, *person)]
    # float32 is worked out in float64 and rounded once; pet is pet_person
    # of the standard person.
    standard = [] if person else [80.0, 0.9, 35.0, 1.0, 75.0, 1.75, 0.0]
    want = U.pet_person(*(np.float64(x) for x in (air, mrt, *rest)), *standard)
    got = ufunc(air, mrt, *rest)
    assert got.dtype == dtype and got.shape == (6, 5)
    assert np.array_equal(got, want.astype(dtype))
    out = np.full((6, 10), -1.0, dtype=dtype)
    where = rng.random((6, 5)) < 0.5
    view = out[:, ::2]
    assert ufunc(air, mrt, *rest, out=view, where=where) is view
    assert np.array_equal(view[where], got[where]) and (view[~where] == -1).all()
    assert (out[:, 1::2] == -1).all()


def test_ctrl_c_ends_a_long_call(sigint):  # noqa: F811 (the fixture)
    """A long call looks for Ctrl-C between chunks: KeyboardInterrupt, the
    points done kept, the rest NaN."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = np.random.default_rng(6)
    n = 200_000
    cols = (rng.uniform(-10, 45, n), rng.uniform(-10, 80, n), rng.uniform(0.1, 10, n),
            rng.uniform(5, 100, n), 1013.25)
    with np.errstate(invalid="ignore"):
        want = U.pet(*cols)
    out = np.full(n, -1.0)
    with pytest.raises(KeyboardInterrupt), np.errstate(invalid="ignore"):
        call_interrupted(U.pet, *cols, out=out)
    cut = np.flatnonzero(np.isnan(out) & ~np.isnan(want))
    assert 0 < cut.size and np.isnan(out[cut[0]:]).all()
    assert np.array_equal(out[:cut[0]], want[:cut[0]], equal_nan=True)
