"""Values and types that the model pins down: markers, folds, quadrants."""

import math

import numpy as np
import pytest

import klimora.Strahlkit as S

f64 = np.float64


@pytest.mark.parametrize("call, args, kind, value", [
    ("Sonnenzeit", (12, 1, 15, 81), f64, 12.0),
    ("Sonnenzeit", (30, 1, 15, 81), f64, 5.999999999999999),
    ("Sonnenzeit", (100, 1, 15, 81), f64, 52.0),
    ("Sonnenzeit", (-5, 1, 15, 81), f64, 19.0),
    ("Azimutwinkel", (0, 50, 172), f64, 0.0),
    ("Azimutwinkel", (0, -50, 172), f64, 180.0),
    ("LinkeTruebung", (15, 50, 50), f64, 1.5),
    ("LinkeTruebung", (15, 0, 84.9), f64, 1.5),
    ("LinkeTruebung", (15, -30, 50), f64, 4.3),
    ("LinkeTruebung", (1, 1, 95), f64, 39.84),
    ("LinkeTruebung", (1, 1, 100), float, 39.84),
    ("LinkeTruebung", (1, 1, 120), float, 39.84),
    ("LinkeTruebung", (None, None, math.nan), float, 39.84),
    ("RelOptLuftmasse", (0,), f64, 1.0),
    ("RelOptLuftmasse", (90,), f64, 37.92),
    ("RelOptLuftmasse", (90.0,), f64, 37.92),
    ("RelOptLuftmasse", (90.5,), f64, 43.72),
    ("RelOptLuftmasse", (91,), f64, 49.15),
    ("RelOptLuftmasse", (91.05,), int, 999),
    ("RelOptLuftmasse", (-0.1,), int, 999),
    ("RelOptLuftmasse", (100,), int, 999),
    ("MaxDirekteStrahlung", (1, 0, 90, 3, 1), int, 0),
    ("MaxDirekteStrahlung", (1, 0, math.nan, 3, 1), int, 0),
    ("MaxDirekteStrahlung", (1, 0, -1, 3, 999), f64, 0.0),
    ("MaxGlobalstrahlung", (1, 0, 90, 3), int, 0),
    ("DirStrMBew", (800, 2), float, 600.0),
    ("DirStrMBew", (800, 0), float, 800.0),
    ("OberflTemp", (400, 20, 2, 0), int, 20),
    ("MittlStrTemp", (90, 0, 0, 0, 0, 0, None, 0, None), f64, -273.15),
])
def test_pinned_values(call, args, kind, value):
    result = getattr(S, call)(*args)
    assert type(result) is kind and result == value


def test_sonnenzeit_passes_nan_through():
    assert math.isnan(S.Sonnenzeit(math.nan, 1, 15, 81))


@pytest.mark.parametrize("args, degrees", [
    ((6, 50, 80), 89.8768), ((18, 50, 80), 270.1232), ((9, 48, 100), 121.4526),
    ((15, 48, 100), 238.5474), ((3, 60, 172), 40.4575), ((21, 60, 172), 319.5425),
    ((11.5, 10, 172), 27.1222), ((12.5, 10, 172), 332.8778), ((6, -30, 172), 69.4194)])
def test_azimuth_in_every_quadrant(args, degrees):
    assert S.Azimutwinkel(*args) == pytest.approx(degrees, abs=1e-4)


def test_azimuth_at_midnight_and_noon():
    # sin(2 pi) is a tiny negative number: the sun stands just west of north.
    assert S.Azimutwinkel(24, 50, 172) == 360.0
    assert S.Azimutwinkel(12, 50, 172) == 180.0
    # At 10 N the noon sun stands in the north, a hair east of it.
    assert 0 < S.Azimutwinkel(12, 10, 172) < 1e-12


def test_one_element_arrays_give_one_element_arrays():
    result = S.Azimutwinkel(np.array([9.0]), 48, 100)
    assert isinstance(result, np.ndarray) and result.shape == (1,)
    assert S.Zenitwinkel(np.arange(24.0), 48, 100).shape == (24,)


def test_arrays_of_days_in_the_dry_branch():
    days = np.arange(1.0, 366.0)
    assert S.LinkeTruebung(days, 50, 50).shape == (365,)
    assert S.LinkeTruebung(days, days, 95) == 39.84
