"""Plausible mistakes that used to give wrong numbers or fail late: humidity
and cloud cover given as fractions, a time series without its site,
messages that hid the value or the remedy, time columns across a change
of offset, a Dataset without a height, zones that do not exist, and
warnings that pointed into the package instead of at the caller's line."""

import datetime as dt
import re
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from klimora import quantities as Q
from klimora.chain import NAMES, ChainWarning, Site, chain

MUNICH = Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0)
SITE_OPTIONS = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "1")
#: A day, hourly, from midnight UTC.
HOURS = pd.date_range("2025-06-21", periods=24, freq="h", tz="UTC")
#: Relative humidity through a summer day, as fractions and in percent.
FRACTION = np.round(0.45 + 0.4 * np.cos(np.arange(24) * np.pi / 12), 3)
PERCENT = FRACTION * 100.0


def klimora(*args, stdin=None):
    return subprocess.run([sys.executable, "-I", "-m", "klimora", *args], input=stdin,
                          capture_output=True, text=True, timeout=120)


def series_csv(path, **columns):
    frame = pd.DataFrame({"time": [f"{t:%Y-%m-%dT%H:%M}Z" for t in HOURS], **columns})
    frame.to_csv(path, index=False)
    return str(path)


def dataset(**weather):
    xr = pytest.importorskip("xarray")
    return xr.Dataset({name: ("time", np.asarray(values, dtype=float))
                       for name, values in weather.items()},
                      coords={"time": HOURS.tz_localize(None), "latitude": 48.14,
                              "longitude": 11.58, "height": 520.0})


# -- humidity and cloud as fractions ------------------------------------------

def on_frame(**weather):
    return chain(pd.DataFrame(weather, index=HOURS), site=MUNICH)


def on_mapping(**weather):
    return chain(weather, times=HOURS, site=MUNICH)


def on_dataset(**weather):
    return chain(dataset(**weather))


def on_dask(**weather):
    pytest.importorskip("dask")
    return chain(dataset(**weather).chunk(time=8)).compute()


FRACTION_REFUSED = re.escape("a fraction (0 to 1) given for")


GAPPY = np.where(np.arange(24) % 3, FRACTION, np.nan)


@pytest.mark.parametrize("run, weather, cause", [
    *((run, {"humidity": FRACTION}, "humidity values all 1 % or less")
      for run in (on_frame, on_mapping, on_dataset, on_dask)),
    *((run, {"humidity": GAPPY}, "humidity values all 1 % or less")
      for run in (on_frame, on_mapping, on_dataset, on_dask)),
    # On dask only humidity is looked at block by block: a block of clear
    # sky, all below 1 okta, is plain weather.
    *((run, {"cloud": FRACTION}, "cloud values all between 0 and 1 and not whole")
      for run in (on_frame, on_mapping, on_dataset)),
])
def test_a_fraction_given_for_percent_or_oktas_is_refused(run, weather, cause):
    with pytest.raises(Q.OutOfRange, match=f"^{cause}.*{FRACTION_REFUSED}"):
        run(**weather)


@pytest.mark.parametrize("weather", [
    {"humidity": PERCENT},
    {"cloud": np.arange(24) % 2.0},          # whole oktas, 0 and 1
    {"cloud": np.zeros(24)},
    {"cloud": np.linspace(0.0, 1.5, 24)},   # fractional oktas beyond 1
])
def test_values_in_their_units_pass(weather):
    assert np.isfinite(on_frame(**weather)["mrt"]).all()


@pytest.mark.parametrize("weather, kind, count", [
    ({"humidity": 0.8}, "percent", 24),           # one value, filled in over the day
    ({"humidity": [0.5, 0.7, 1.0] * 8}, "percent", 24),
    ({"cloud": 0.5}, "oktas", 24),
])
def test_a_few_values_that_look_like_a_fraction_are_warned_of(weather, kind, count):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        on_frame(**{name: np.broadcast_to(v, 24) for name, v in weather.items()})
    said = [w.message for w in caught if isinstance(w.message, ChainWarning)]
    assert [(w.kind, w.count) for w in said] == [(kind, count)]


def test_a_dask_block_all_fraction_is_refused_where_it_is_computed():
    pytest.importorskip("dask")
    humidity = np.concatenate([PERCENT[:12], FRACTION[12:]])
    lazy = chain(dataset(humidity=humidity).chunk(time=12))
    lazy.isel(time=slice(0, 12)).compute()
    with pytest.raises(Q.OutOfRange, match="humidity values all 1 % or less"):
        lazy.compute()


def test_klimora_grid_refuses_a_grid_of_fractions_labelled_percent():
    for extra in ("dask", "xarray", "cf_xarray", "pint"):
        pytest.importorskip(extra)
    from klimora.grid import example, radiation

    ds = example.weather(12, 3, 4, seed=5)
    given = radiation(ds.chunk(time=6)).compute()
    assert np.isfinite(given["mrt"].values).all()
    ds["hurs"].attrs["units"] = "%"
    with pytest.raises(Q.OutOfRange, match="humidity values all 1 % or less"):
        radiation(ds.chunk(time=6)).compute()


@pytest.mark.parametrize("column, line", [
    ("humidity", "humidity values all 1 % or less"),
    ("cloud", "cloud values all between 0 and 1"),
])
def test_the_command_line_refuses_a_file_of_fractions(tmp_path, column, line):
    path = series_csv(tmp_path / "w.csv", **{column: FRACTION})
    done = klimora("--input", path, *SITE_OPTIONS)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"klimora: error: {path} line 2: {line}")
    assert done.stderr.count("\n") == 1


# -- a time series needs its site -------------------------------------------

@pytest.mark.parametrize("args, status", [
    (("--input", "-"), 2),
    (("--input", "-", "--humidity", "50"), 2),
    (("--input", "-", *SITE_OPTIONS), 0),
])
def test_a_time_series_without_its_site_is_refused(args, status):
    done = klimora(*args, stdin="time,air_temp\n2025-06-21T12:00Z,20\n")
    assert done.returncode == status
    if status:
        assert done.stderr == ("klimora: error: --input needs the site of its weather: give "
                               "--lat and --lon (and --height and --zone)\n")


# -- messages ------------------------------------------------------------------

@pytest.mark.parametrize("name, value, shown", [
    ("humidity", 105.0000001, "not 105.0000001"),
    ("humidity", -1e-9, "not -1e-09"),
    ("cloud", 8.000001, "not 8.000001"),
    ("humidity", 106.0, "not 106"),
])
def test_a_refused_value_is_shown_apart_from_its_bound(name, value, shown):
    with pytest.raises(Q.OutOfRange) as refused:
        Q.check(name, value)
    assert str(refused.value).endswith(shown)


MIXED = ["2025-03-30T00:00+01:00", "2025-03-30T04:00+02:00", "2025-03-30T12:00+02:00"]
INSTANTS = pd.DatetimeIndex(["2025-03-29T23:00", "2025-03-30T02:00", "2025-03-30T10:00"],
                            tz="UTC")


@pytest.mark.parametrize("column", [
    MIXED,
    [dt.datetime.fromisoformat(t) for t in MIXED],
    [pd.Timestamp(t) for t in MIXED],
])
def test_a_time_column_across_a_change_of_offset_is_read_as_its_instants(column):
    site = Site(48.14, 11.58, 520.0, zone="Europe/Berlin")
    got = chain(pd.DataFrame({"time": column, "air_temp": [5.0, 8.0, 15.0]}), site=site)
    want = chain(pd.DataFrame({"air_temp": [5.0, 8.0, 15.0]}, index=INSTANTS), site=site)
    assert np.array_equal(got[list(NAMES)].to_numpy(), want[list(NAMES)].to_numpy())


def test_a_file_mixing_offsets_and_none_takes_the_bare_ones_in_the_zone(tmp_path):
    # A bare stamp after one with an offset was read at that offset (+01:00),
    # not in --zone (where it is +02:00 by then).
    lines = ["time,air_temp", "2025-03-30T00:00+01:00,5", "2025-03-30T12:00,15"]
    given = ["time,air_temp", "2025-03-30T00:00+01:00,5", "2025-03-30T12:00+02:00,15"]
    site = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "Europe/Berlin")
    mixed = klimora("--input", "-", *site, stdin="\n".join(lines) + "\n")
    whole = klimora("--input", "-", *site, stdin="\n".join(given) + "\n")
    assert mixed.returncode == whole.returncode == 0
    assert mixed.stdout.splitlines()[1:][1].split(",")[1:] == \
        whole.stdout.splitlines()[1:][1].split(",")[1:]


def test_a_dataset_without_height_is_at_sea_level_and_says_so():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = chain(dataset(air_temp=np.full(24, 20.0)).drop_vars("height"))
    said = [w.message.kind for w in caught if isinstance(w.message, ChainWarning)]
    assert said == ["height"]
    at_sea = chain(dataset(air_temp=np.full(24, 20.0)).assign_coords(height=0.0))
    assert np.array_equal(got["mrt"].values, at_sea["mrt"].values)


@pytest.mark.parametrize("zone, refused", [
    ("Mars/Olympus", "zone must be hours east of UTC or a time zone name such as "
                     "Europe/Berlin, not 'Mars/Olympus'"),
    ("Europe", "not 'Europe'"),   # a folder of the tz database
    (float("nan"), "zone must be between -12 and 14 h, not nan"),
    (float("inf"), "not inf"),
    (15.0, "not 15"),
])
def test_a_zone_that_does_not_exist_is_refused_at_once(zone, refused):
    with pytest.raises(ValueError, match=refused.replace("(", r"\(")) as error:
        Site(48.14, 11.58, zone=zone)
    assert "\n" not in str(error.value)


def test_the_command_lines_turbidity_line_names_its_option():
    done = klimora("--csv", "--humidity", "95", "--turbidity", "model")
    assert done.returncode == 0
    assert "take --turbidity bounded (the default) or climatology" in done.stderr
    assert "turbidity=" not in done.stderr


# -- warnings at the caller's line ---------------------------------------------

def frame_of(weather, site, **options):
    return chain(pd.DataFrame(weather, index=HOURS.tz_localize(None)), site=site, **options)


def mapping_of(weather, site, **options):
    return chain(weather, times=HOURS.tz_localize(None), site=site, **options)


def dataset_of(weather, site, **options):
    ds = dataset(**weather)
    return chain(ds.drop_vars("height") if site.height is None else ds, **options)


WARNED = {
    "zone": ({"air_temp": np.full(24, 20.0)}, Site(48.14, 11.58, 520.0)),
    "height": ({"air_temp": np.full(24, 20.0)}, Site(48.14, 11.58, zone=1.0)),
    "humidity": ({"humidity": np.full(24, 102.0), "linke": np.full(24, 3.0)}, MUNICH),
    "turbidity": ({"humidity": np.full(24, 95.0)}, MUNICH, {"turbidity": "model"}),
    "percent": ({"humidity": np.full(24, 0.7)}, MUNICH),
}


@pytest.mark.parametrize("run, kind", [
    *((frame_of, kind) for kind in WARNED),
    *((mapping_of, kind) for kind in WARNED),
    *((dataset_of, kind) for kind in WARNED if kind != "zone"),   # CF times are UTC
])
def test_a_chain_warning_names_the_callers_line(run, kind):
    weather, site, *options = WARNED[kind]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(weather, site, **(options[0] if options else {}))
    said = [w for w in caught if isinstance(w.message, ChainWarning) and w.message.kind == kind]
    assert len(said) == 1
    assert said[0].filename == __file__
