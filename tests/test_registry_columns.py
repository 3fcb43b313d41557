"""The result's columns are the registry's, each assigned by its name: a
column put into the registry, or the columns put in another order, cannot
shift the values of the others under the wrong names."""

import numpy as np
import pytest

from klimora import quantities as Q
from klimora import ufuncs as U
from klimora.model import EPS_GROUND, SIGMA, Options, compute, compute_blocks

HOURS = np.array([4.0, 8.5, 12.0, 15.25, 21.0])
DAY, LAT, LON, HEIGHT = 172.0, 48.14, 11.58, 520.0
WEATHER = {"air_temp": 22.0, "cloud": 3.0, "humidity": 55.0}


def run(entry, options=Options()):
    return entry(HOURS, DAY, 1.0, LAT, LON, HEIGHT, WEATHER, options)


def reordered(monkeypatch):
    """The registry's columns in reverse order, "mrt" first."""
    monkeypatch.setattr(Q, "RESULTS", dict(reversed(Q.RESULTS.items())))


def check_columns(result):
    """Columns that can be worked out again from others by their names."""
    np.testing.assert_array_equal(result["zenith"],
                                  U.Zenitwinkel(result["solar_time"], LAT, DAY))
    np.testing.assert_array_equal(result["air_mass"], U.RelOptLuftmasse(result["zenith"]))
    np.testing.assert_array_equal(result["global"],
                                  result["global_max"] * (1 - 0.75 * (3.0 / 8) ** 3.4))
    np.testing.assert_array_equal(
        result["net_rad"], (1 - 0.2) * result["global"] + EPS_GROUND * result["counter"]
        - EPS_GROUND * SIGMA * (22.0 + 273.15) ** 4)
    np.testing.assert_array_equal(
        result["surface_temp"], U.OberflTemp(result["net_rad"], 22.0, 2.0, 0.3))


@pytest.mark.parametrize("entry", [compute, compute_blocks])
@pytest.mark.parametrize("order", ["registry", "reversed"])
def test_each_column_is_the_quantity_its_name_says(monkeypatch, entry, order):
    if order == "reversed":
        reordered(monkeypatch)
    result = run(entry)
    assert list(result) == [name for name, q in Q.RESULTS.items() if not q.optional]
    check_columns(result)


@pytest.mark.parametrize("entry", [compute, compute_blocks])
def test_the_optional_column_comes_where_the_registry_puts_it(monkeypatch, entry):
    pytest.importorskip("pythermalcomfort")
    reordered(monkeypatch)
    result = run(entry, Options(utci=True))
    assert list(result) == [name for name, q in Q.RESULTS.items()
                            if not q.optional or name == "utci"]
    assert list(result)[0] == "utci"
    check_columns(result)
    plain = run(entry)
    for name in plain:
        np.testing.assert_array_equal(result[name], plain[name])
