"""klimora.ufuncs.utci and utci_category: UTCI held to the two peers that
carry the operational polynomial (thermofeel, pythermalcomfort), its
domain, the stress classes on their limits, the float32 loop and the ufunc
machinery; and the chain's column on it."""

import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from klimora import ufuncs as U
from klimora.chain import Site, chain

TOLERANCE = 1e-6   # K


def domain(n, seed):
    """Air temperature, mean radiant temperature (deg C), wind at 10 m
    (m/s) and vapour pressure (hPa) across the polynomial's domain, its
    corners among them."""
    rng = np.random.default_rng(seed)
    air = rng.uniform(-50, 50, n)
    mrt = air + rng.uniform(-30, 70, n)
    wind = rng.uniform(0.5, 17, n)
    vapour = rng.uniform(0, 50, n)
    corners = np.array(np.meshgrid([-50.0, 50.0], [-30.0, 70.0], [0.5, 17.0], [0.0, 50.0]))
    corners = corners.reshape(4, -1)
    corners[1] += corners[0]
    return [np.concatenate([x, c]) for x, c in zip((air, mrt, wind, vapour), corners)]


def hardy_saturation(t):
    """Saturation vapour pressure over water, hPa (Hardy 1998, ITS-90): the
    one pythermalcomfort turns its relative humidity into a pressure with."""
    tk = t + 273.15
    g = [-2836.5744, -6028.076559, 19.54263612, -0.02737830188, 0.000016261698,
         7.0229056e-10, -1.8680009e-13]
    ln = 2.7150305 * np.log(tk) + sum(c * tk ** (k - 2) for k, c in enumerate(g))
    return np.exp(ln) * 0.01


@pytest.mark.parametrize("seed", [1, 2])
def test_utci_is_thermofeels(seed):
    thermofeel = pytest.importorskip("thermofeel")
    air, mrt, wind, vapour = domain(20000, seed)
    want = thermofeel.calculate_utci(air + 273.15, wind, mrt + 273.15, ehPa=vapour) - 273.15
    got = U.utci(air, mrt, wind, vapour)
    assert np.isfinite(want).all() and np.abs(got - want).max() < TOLERANCE


@pytest.mark.parametrize("seed", [3, 4])
def test_utci_is_pythermalcomforts(seed):
    models = pytest.importorskip("pythermalcomfort.models")
    air, mrt, wind, _ = domain(20000, seed)
    rh = np.random.default_rng(seed).uniform(0, 100, air.size)
    vapour = hardy_saturation(air) * rh / 100
    want = models.utci(tdb=air, tr=mrt, v=wind, rh=rh, limit_inputs=False,
                       round_output=False).utci
    got = U.utci(air, mrt, wind, vapour)
    assert np.abs(got - want).max() < TOLERANCE


@pytest.mark.parametrize("air, mrt, wind, finite", [
    (-50.0, -50.0, 3.0, True), (50.0, 50.0, 3.0, True),
    (-50.000001, -50.0, 3.0, False), (50.000001, 50.0, 3.0, False),
    (20.0, -10.0, 3.0, True), (20.0, 90.0, 3.0, True),
    (20.0, -10.000001, 3.0, False), (20.0, 90.000001, 3.0, False),
    (20.0, 20.0, 0.5, True), (20.0, 20.0, 17.0, True),
    (20.0, 20.0, 0.4999999, False), (20.0, 20.0, 17.000001, False),
    (20.0, 20.0, 0.0, False), (np.nan, 20.0, 3.0, False), (20.0, np.nan, 3.0, False),
    (20.0, 20.0, np.nan, False), (np.inf, np.inf, 3.0, False),
])
@pytest.mark.filterwarnings("error")   # NaN and infinities raise no flag
def test_utci_is_nan_outside_its_domain_and_the_ends_belong_to_it(air, mrt, wind, finite):
    assert np.isfinite(U.utci(air, mrt, wind, 15.0)) == finite
    assert np.isnan(U.utci(20.0, 20.0, 3.0, np.nan))


@pytest.mark.parametrize("utci, category", [
    (-np.inf, 0), (-60.0, 0), (-40.000001, 0), (-40.0, 1), (-27.000001, 1), (-27.0, 2),
    (-13.000001, 2), (-13.0, 3), (-1e-9, 3), (0.0, 4), (8.999999, 4), (9.0, 5), (20.0, 5),
    (26.0, 5), (26.000001, 6), (32.0, 6), (32.000001, 7), (38.0, 7), (38.000001, 8),
    (46.0, 8), (46.000001, 9), (np.inf, 9),
])
def test_category_on_and_beside_the_limits(utci, category):
    for dtype in (np.float64, np.float32):
        got = U.utci_category(dtype(utci))
        # float32 rounds some of the near-limit values onto the limit
        want = U.utci_category(float(dtype(utci))) if dtype is np.float32 else category
        assert got == want and got.dtype == dtype
    assert np.isnan(U.utci_category(np.nan)) and np.isnan(U.utci_category(np.float32(np.nan)))


def test_category_names_agree_with_pythermalcomforts_off_the_limits():
    models = pytest.importorskip("pythermalcomfort.models")
    names = ["extreme cold stress", "very strong cold stress", "strong cold stress",
             "moderate cold stress", "slight cold stress", "no thermal stress",
             "moderate heat stress", "strong heat stress", "very strong heat stress",
             "extreme heat stress"]
    air, mrt, wind, _ = domain(3000, 5)
    result = models.utci(tdb=air, tr=mrt, v=wind, rh=30.0, limit_inputs=False,
                         round_output=False)
    got = U.utci_category(result.utci).astype(int)
    assert [names[k] for k in got] == list(result.stress_category)


def test_float32_is_the_float64_value_rounded_once():
    columns = [x.astype(np.float32) for x in domain(5000, 6)]
    got = U.utci(*columns)
    want = U.utci(*(x.astype(np.float64) for x in columns)).astype(np.float32)
    assert got.dtype == np.float32 and np.array_equal(got, want, equal_nan=True)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_broadcasting_strides_out_and_where(dtype):
    rng = np.random.default_rng(9)
    air = rng.uniform(-20, 40, (24, 1)).astype(dtype)
    wind = rng.uniform(0.5, 10, (1, 7)).astype(dtype)
    mrt, vapour = dtype(30.0), np.full((1, 1), 12.0, dtype=dtype)
    want = U.utci(*np.broadcast_arrays(air, mrt, wind, vapour))
    got = U.utci(air, mrt, wind, vapour)
    assert got.shape == (24, 7) and np.array_equal(got, want)
    assert np.array_equal(U.utci(air[::-3], mrt, wind[:, ::2], vapour), want[::-3, ::2])
    out = np.full((24, 14), -1.0, dtype=dtype)
    where = rng.random((24, 7)) < 0.5
    view = out[:, ::2]
    assert U.utci(air, mrt, wind, vapour, out=view, where=where) is view
    assert np.array_equal(out[:, ::2][where], want[where])
    assert (out[:, ::2][~where] == -1).all() and (out[:, 1::2] == -1).all()
    assert U.utci(np.empty((0, 3), dtype=dtype), mrt, 1.0, 1.0).shape == (0, 3)
    classes = np.full(want.shape, -1.0, dtype=dtype)
    assert U.utci_category(want, out=classes, where=where) is classes
    assert np.array_equal(classes[where], U.utci_category(want[where]))
    assert (classes[~where] == -1).all()


def test_ufunc_shape_and_no_pythermalcomfort_needed(monkeypatch):
    assert (U.utci.nin, U.utci.nout, U.utci_category.nin) == (4, 1, 1)
    assert {"f->f", "d->d"} == set(U.utci_category.types)
    assert {"ffff->f", "dddd->d"} == set(U.utci.types)
    assert "utci" in U.__all__ and "utci_category" in U.__all__
    for name in ("pythermalcomfort", "pythermalcomfort.models"):
        monkeypatch.setitem(sys.modules, name, None)
    frame = pd.DataFrame({"air_temp": [25.0, np.nan, 25.0], "humidity": [50.0, 50.0, 50.0],
                          "wind": [1.0, 1.0, 30.0]},
                         index=pd.DatetimeIndex(["2025-06-21 13:00"] * 3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = chain(frame, utci=True, site=Site(48.14, 11.58, 520.0, zone=2.0))
    assert np.isfinite(got.utci.iloc[0]) and np.isnan(got.utci.iloc[1:]).all()


def test_the_chains_column_is_the_ufunc_on_its_vapour_pressure():
    frame = pd.DataFrame({"air_temp": [25.0, 5.0], "vapour_pressure": [20.0, 6.0],
                          "wind": [1.0, 12.0]},
                         index=pd.DatetimeIndex(["2025-06-21 13:00", "2025-06-21 20:00"]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = chain(frame, utci=True, site=Site(48.14, 11.58, 520.0, zone=2.0))
    want = U.utci(frame.air_temp.to_numpy(), got.mrt.to_numpy(), frame.wind.to_numpy(),
                  frame.vapour_pressure.to_numpy())
    assert np.array_equal(got.utci.to_numpy(), want) and got.attrs["units"]["utci"] == "degC"
