"""klimora.ufuncs.wbgt and globe_temperature, the wet-bulb globe temperature
outdoors after Liljegren et al. (2008): against thermofeel's implementation
of the same model over the inputs' realistic range, the sensors' physics in
plain cases, NaN where a balance does not solve, and NumPy's broadcasting,
out= and where=."""

import signal

import numpy as np
import pytest

import klimora.ufuncs as U
from test_ufunc_methods import call_interrupted, sigint  # noqa: F401 (a fixture)

#: (low, high) of each input, in the ufuncs' order: air temperature, deg C;
#: relative humidity, %; wind at 10 m, m/s; pressure, hPa; global
#: irradiance, W/m2; its diffuse share; cos of the zenith angle.
DOMAIN = [(-10, 45), (5, 100), (0.1, 10), (800, 1050), (0, 1100), (0.1, 1), (0, 1)]


def random_inputs(n, seed):
    rng = np.random.default_rng(seed)
    return [rng.uniform(low, high, n) for low, high in DOMAIN]


def thermofeel_wbgt(ta, rh, wind, p, solar, diffuse, cza):
    thermofeel = pytest.importorskip("thermofeel")
    return thermofeel.calculate_wbgt_liljegren(ta + 273.15, rh, p, wind, solar, 1 - diffuse,
                                               cza) - 273.15


def thermofeel_globe(ta, rh, wind, p, solar, diffuse, cza):
    """thermofeel's globe solver on the inputs its WBGT hands it: the wind
    at least 0.62 m/s at 10 m and brought to 2 m, the direct share at most
    0.9 and none with the sun down."""
    L = pytest.importorskip("thermofeel.liljegren")
    speed = L.wind_speed_2m(np.maximum(wind, L.MIN_WIND_10M), cza, solar)
    fdir = np.where(cza < L.CZA_MIN, 0.0, np.clip(1 - diffuse, 0.0, 0.9))
    return L.solve_globe(ta + 273.15, rh / 100, p, speed, solar, fdir, cza)


@pytest.mark.parametrize("ufunc, oracle", [(U.wbgt, thermofeel_wbgt),
                                           (U.globe_temperature, thermofeel_globe)])
@pytest.mark.parametrize("seed", [1, 2])
def test_against_thermofeel_over_the_realistic_range(ufunc, oracle, seed):
    """Within 0.05 K, and NaN at the same points: a sun a degree above the
    horizon with a strong beam heats the wick's side (tan z / pi) past
    boiling, where neither solves."""
    cols = random_inputs(3000, seed)
    with np.errstate(invalid="ignore"):
        want = oracle(*cols)
        got = ufunc(*cols)
    solved = np.isfinite(want)
    assert (np.isfinite(got) == solved).all() and solved.mean() > 0.99
    worst = np.abs(got - want)[solved].max()
    assert worst < 0.05, worst


@pytest.mark.parametrize("ta, rh, wind, p, solar, diffuse, cza", [
    (-5.0, 90.0, 0.3, 1000.0, 0.0, 1.0, 0.0),      # cold still night
    (30.0, 40.0, 1.0, 1013.0, 900.0, 0.2, 0.9),    # summer noon
    (44.0, 10.0, 8.0, 850.0, 1050.0, 0.1, 1.0),    # hot dry upland, strong wind
    (25.0, 100.0, 3.0, 1013.0, 200.0, 1.0, 0.2),   # saturated, overcast
    (20.0, 50.0, 2.0, 1013.0, 600.0, 0.3, 0.005),  # beam below 89.5 deg: none
])
def test_single_points_against_thermofeel(ta, rh, wind, p, solar, diffuse, cza):
    args = [np.array([x]) for x in (ta, rh, wind, p, solar, diffuse, cza)]
    assert U.wbgt(*args)[0] == pytest.approx(thermofeel_wbgt(*args)[0], abs=0.05)
    assert U.globe_temperature(*args)[0] == pytest.approx(thermofeel_globe(*args)[0], abs=0.05)


@pytest.mark.parametrize("change, globe_rises", [
    ({"solar": 800.0}, True),      # sun on the globe warms it
    ({"wind": 8.0}, False),        # wind cools a sunlit globe towards the air
    ({"diffuse": 0.2}, True),      # a low sun's beam strikes the globe broadside
])
def test_the_globe_answers_sun_and_wind(change, globe_rises):
    base = {"ta": 25.0, "rh": 50.0, "wind": 1.0, "p": 1013.0, "solar": 400.0,
            "diffuse": 0.8, "cza": 0.3}
    before = U.globe_temperature(*base.values())
    after = U.globe_temperature(*{**base, **change}.values())
    assert (after > before) == globe_rises
    assert before > base["ta"]


def test_dry_air_in_the_shade_gives_a_wet_bulb_well_below_the_air():
    """No sun, dry air: the wick cools by evaporation, the globe sits near
    the air: WBGT lies well below the air, and rises with the humidity up
    to near the air temperature when saturated."""
    rh = np.array([10.0, 40.0, 70.0, 100.0])
    got = U.wbgt(30.0, rh, 3.0, 1013.0, 0.0, 1.0, 0.0)
    assert (np.diff(got) > 0).all()
    assert got[0] < 20.0 and abs(got[-1] - 30.0) < 1.5
    assert abs(U.globe_temperature(30.0, 50.0, 3.0, 1013.0, 0.0, 1.0, 0.0) - 30.0) < 1.5


@pytest.mark.parametrize("ufunc", [U.wbgt, U.globe_temperature])
def test_nan_in_gives_nan_quietly_and_no_solution_nan_with_a_warning(ufunc):
    with np.errstate(invalid="raise"):
        assert np.isnan(ufunc(np.nan, 50.0, 2.0, 1013.0, 500.0, 0.5, 0.5))
        assert np.isnan(ufunc(20.0, 50.0, 2.0, 1013.0, 500.0, 0.5, np.nan))
    # A negative pressure has no balance to solve: NaN, after a bounded
    # number of steps, and the invalid flag.
    with pytest.warns(RuntimeWarning, match="invalid value"):
        got = ufunc([20.0, 20.0], 50.0, 2.0, [-1013.0, 1013.0], 500.0, 0.5, 0.5)
    assert np.isnan(got[0]) and np.isfinite(got[1])


@pytest.mark.parametrize("ufunc", [U.wbgt, U.globe_temperature])
def test_broadcasting_strides_out_and_where(ufunc):
    rng = np.random.default_rng(9)
    ta = rng.uniform(-10, 45, (24, 1))
    solar = rng.uniform(0, 1100, (1, 7))
    rest = (60.0, 2.0, np.full((1, 1), 1000.0), solar, 0.4, 0.6)
    want = ufunc(*np.broadcast_arrays(ta, rest[0], rest[1], rest[2], solar, rest[4], rest[5]))
    got = ufunc(ta, *rest)
    assert got.shape == (24, 7) and (got == want).all()
    assert (ufunc(ta[::-3], 60.0, 2.0, 1000.0, solar[:, ::2], 0.4, 0.6) == want[::-3, ::2]).all()
    out = np.full((24, 14), -1.0)
    where = rng.random((24, 7)) < 0.5
    view = out[:, ::2]
    assert ufunc(ta, *rest, out=view, where=where) is view
    assert (out[:, ::2][where] == want[where]).all()
    assert (out[:, ::2][~where] == -1).all() and (out[:, 1::2] == -1).all()
    assert ufunc(np.empty((0, 3)), *rest[:3], 0.0, *rest[4:]).shape == (0, 3)
    assert ufunc.nin == 7 and ufunc.types == ["fffffff->f", "ddddddd->d"]


@pytest.mark.parametrize("ufunc", [U.wbgt, U.globe_temperature])
def test_float32_is_the_float64_value_rounded_once(ufunc):
    cols = random_inputs(500, 5)
    narrow = [c.astype(np.float32) for c in cols]
    got = ufunc(*narrow)
    assert got.dtype == np.float32
    assert (got == ufunc(*(c.astype(np.float64) for c in narrow)).astype(np.float32)).all()


def test_ctrl_c_ends_a_long_call(sigint):  # noqa: F811 (the fixture)
    """A long call looks for Ctrl-C between chunks: KeyboardInterrupt, the
    points done kept, the rest NaN."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    cols = random_inputs(300_000, 6)
    with np.errstate(invalid="ignore"):
        want = U.wbgt(*cols)
    out = np.full(300_000, -1.0)
    with pytest.raises(KeyboardInterrupt), np.errstate(invalid="ignore"):
        call_interrupted(U.wbgt, *cols, out=out)
    cut = np.flatnonzero(np.isnan(out) & ~np.isnan(want))
    assert 0 < cut.size and np.isnan(out[cut[0]:]).all()
    assert same_values(out[:cut[0]], want[:cut[0]])


def same_values(got, want):
    """Equal, NaN where the other is NaN."""
    return bool(((got == want) | (np.isnan(got) & np.isnan(want))).all())
