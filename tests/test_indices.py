"""The thermal indices as the chain's columns (indices=, --indices): each
the ufunc of klimora.ufuncs on the chain's own columns and weather, bit for
bit, on every surface; the names refused in one line; the interval means;
the air pressure they take."""

import warnings

import numpy as np
import pandas as pd
import pytest

from klimora import ufuncs as U
from klimora.comfort import pet
from klimora.chain import ChainWarning, Site, chain
from klimora.cli import main
from klimora.model import Options, magnus

HERE = Site(latitude=48.14, longitude=11.58, height=520.0, zone="Europe/Berlin")
ALL = ("utci", "pet", "wbgt")


def summer_days(n=96, **extra):
    rng = np.random.default_rng(7)
    times = pd.date_range("2025-07-01", periods=n, freq="30min", tz="Europe/Berlin")
    weather = {"air_temp": rng.uniform(12, 36, n), "humidity": rng.uniform(20, 95, n),
               "cloud": rng.integers(0, 9, n).astype(float), "wind": rng.uniform(0.2, 6, n)}
    return pd.DataFrame({**weather, **extra}, index=times)


def expected(result, weather, pressure):
    """Each index from the chain's own columns, as the ufuncs take them."""
    air = weather["air_temp"].to_numpy()
    wind = np.maximum(weather["wind"].to_numpy(), 0.5)
    rh = weather["humidity"].to_numpy()
    vapour = rh / 100.0 * magnus(air)
    mrt, glob, diffuse = (result[c].to_numpy() for c in ("mrt", "global", "diffuse"))
    cos_z = np.cos(np.radians(np.minimum(result["zenith"].to_numpy(), 90.0)))
    with np.errstate(invalid="ignore", divide="ignore"):
        share = np.where(glob > 0, np.clip(diffuse / glob, 0, 1), 1.0)
    return {"utci": U.utci(air, mrt, wind, vapour),
            "pet": pet(air, mrt, wind, rh, pressure),
            "wbgt": U.wbgt(air, rh, wind, pressure, glob, share, cos_z)}


@pytest.mark.parametrize("pressure", [None, 930.0])
def test_each_index_is_its_ufunc_on_the_chains_columns(pressure):
    weather = summer_days(**({} if pressure is None else {"pressure": pressure}))
    plain = chain(weather, site=HERE)
    got = chain(weather, site=HERE, indices=ALL)
    assert list(got.columns) == [*plain.columns, *ALL]
    assert got.attrs["units"] == {**plain.attrs["units"], "utci": "degC", "pet": "degC",
                                  "wbgt": "degC"}
    # The columns before them are untouched, bit for bit.
    np.testing.assert_array_equal(got[plain.columns].to_numpy(), plain.to_numpy())
    # The standard atmosphere at the site's 520 m: 954.6 hPa.
    at = 1013.25 * (1 - 2.25577e-5 * 520.0) ** 5.25588 if pressure is None else pressure
    for name, value in expected(got, weather, at).items():
        np.testing.assert_array_equal(got[name].to_numpy(), value, err_msg=name)
    assert np.isfinite(got[list(ALL)].to_numpy()).all()


@pytest.mark.parametrize("asked, columns", [
    ({"utci": True}, ("utci",)),
    ({"indices": "utci"}, ("utci",)),
    ({"indices": "wbgt, pet"}, ("pet", "wbgt")),
    ({"indices": ["wbgt"], "utci": True}, ("utci", "wbgt")),
    ({"indices": ()}, ()),
])
def test_the_indices_are_asked_for_in_any_spelling_and_come_in_one_order(asked, columns):
    got = chain({"air_temp": [25.0]}, site=HERE, times=["2025-07-01T12:00"], **asked)
    assert tuple(got)[15:] == columns
    options = Options(**asked)
    assert (options.indices, options.utci) == (columns, "utci" in columns)


@pytest.mark.parametrize("indices", ["heat", ("utci", "humidex"), 3])
def test_an_unknown_index_is_refused_in_one_line(indices):
    with pytest.raises(ValueError, match=r"^(unknown index|indices must be)") as e:
        chain({"air_temp": [25.0]}, site=HERE, times=["2025-07-01T12:00"], indices=indices)
    assert "\n" not in str(e.value)


def test_the_command_line_refuses_an_unknown_index(capsys):
    assert main(["--lat", "48.1", "--lon", "11.6", "--indices", "utci,heat"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "unknown index 'heat'" in err[-1]


def test_the_days_indices_on_the_command_line_are_the_chains(capsys):
    args = ["--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "Europe/Berlin",
            "--date", "2025-07-01", "--air-temp", "30", "--humidity", "40", "--csv",
            "--precision", "full", "--indices", "wbgt,pet"]
    assert main(args) == 0
    table = pd.read_csv(pd.io.common.StringIO(capsys.readouterr().out))
    assert list(table.columns[-3:]) == ["mrt", "pet", "wbgt"]
    mrt, air = table["mrt"].to_numpy(), np.full(len(table), 30.0)
    np.testing.assert_array_equal(table["pet"].to_numpy(),
                                  pet(air, mrt, 2.0, 40.0, 1013.25 * (1 - 2.25577e-5 * 520)
                                      ** 5.25588))


def test_interval_means_average_the_indices_as_every_temperature():
    weather = summer_days(n=8)
    got = chain(weather, site=HERE, indices=ALL, time_label="end", interval="1h")
    instant = chain(weather, site=HERE, indices=ALL)
    assert not np.array_equal(got["wbgt"].to_numpy(), instant["wbgt"].to_numpy())
    assert np.isfinite(got[list(ALL)].to_numpy()).all()


def test_outside_its_range_an_index_is_counted_in_one_line():
    weather = summer_days(n=4)
    weather["air_temp"] = [55.0, 20.0, 20.0, 55.0]   # above UTCI's 50 degC
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        got = chain(weather, site=HERE, indices=ALL)
    kinds = [w.message.kind for w in said if w.category is ChainWarning]
    assert kinds.count("utci") == 1 and np.isnan(got["utci"]).sum() == 2
    assert [w.message.count for w in said if w.message.kind == "utci"] == [2]


def test_the_grid_gives_the_indices_with_their_attributes():
    pytest.importorskip("xarray")
    pytest.importorskip("dask")
    from klimora.grid import example, radiation

    ds = example.weather(times=3, lat=2, lon=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        eager = radiation(ds, options=Options(indices=ALL))
        lazy = radiation(ds.chunk({"lat": 1}), options=Options(indices=ALL)).compute()
    for name in ALL:
        assert eager[name].attrs["units"] == "degC"
        assert eager[name].attrs["long_name"]
        np.testing.assert_array_equal(eager[name].values, lazy[name].values)
    # The grid and the chain on the same Dataset: the same numbers.
    same = chain(ds, indices=ALL)
    for name in ALL:
        np.testing.assert_array_equal(eager[name].values, same[name].values)
