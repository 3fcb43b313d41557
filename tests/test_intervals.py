"""Interval means: sub-steps in real time across changes of daylight saving
time on every path (DataFrame, mapping, Dataset, --input), the spellings of
an interval, its refusal beside instants, and the memory an interval run
holds against an instant one."""

import datetime as dt
import io
import tracemalloc
import warnings

import numpy as np
import pandas as pd
import pytest

from klimora import cli
from klimora.chain import NAMES, ChainWarning, Site, chain

BERLIN = Site(52.52, 13.4, 34.0, "Europe/Berlin")
SYDNEY = Site(-33.87, 151.21, 40.0, "Australia/Sydney")


def weather(stamps):
    count = len(stamps)
    return {"air_temp": np.linspace(4.0, 16.0, count), "humidity": np.linspace(90.0, 50.0, count),
            "cloud": np.linspace(1.0, 7.0, count)}


def in_real_time(stamps, site, label, length):
    """The interval means worked out from instants: each naive stamp placed
    in the site's zone (NaT where the clock change skips or repeats it), the
    chain at an odd number of sub-steps of at most 5 minutes in real time
    across its interval, summed in their order and divided by their count;
    the sun's columns those of the middle sub-step."""
    placed = pd.DatetimeIndex(stamps).tz_localize(site.zone, ambiguous="NaT",
                                                  nonexistent="NaT").tz_convert("UTC")
    length = pd.Timedelta(length).to_pytimedelta()
    count = int(np.ceil(length / dt.timedelta(minutes=5)))
    count += 1 - count % 2
    start = dt.timedelta(0) if label == "start" else -length
    frame = pd.DataFrame(weather(stamps))
    runs = []
    for k in range(count):   # offsets to the microsecond, as a timedelta holds them
        at = placed + start + (k + 0.5) * length / count
        runs.append(chain(frame.set_index(at), site=site).to_numpy())
    total = 0
    for run in runs:
        total = total + run
    mean = total / count
    sun = [NAMES.index(name) for name in ("solar_time", "zenith", "azimuth", "linke",
                                          "air_mass")]
    mean[:, sun] = runs[count // 2][:, sun]
    return mean


def by_frame(stamps, site, label, interval):
    return chain(pd.DataFrame(weather(stamps), index=stamps), site=site, time_label=label,
                 interval=interval).to_numpy()


def by_time_column(stamps, site, label, interval):
    frame = pd.DataFrame({"time": stamps.strftime("%Y-%m-%d %H:%M"), **weather(stamps)})
    return chain(frame, site=site, time_label=label, interval=interval).to_numpy()


def by_mapping(stamps, site, label, interval):
    got = chain(weather(stamps), times=stamps.values, site=site, time_label=label,
                interval=interval)
    return np.stack([got[name] for name in NAMES], axis=1)


def by_dataset(stamps, site, label, interval, chunks=None):
    xr = pytest.importorskip("xarray")
    ds = xr.Dataset({name: ("time", values) for name, values in weather(stamps).items()},
                    coords={"time": stamps})
    if chunks:
        pytest.importorskip("dask")
        ds = ds.chunk({"time": chunks})
    got = chain(ds, site=site, time_label=label, interval=interval).compute()
    return np.stack([got[name].values for name in NAMES], axis=1)


def by_lazy_dataset(stamps, site, label, interval):
    return by_dataset(stamps, site, label, interval, chunks=5)


#: Clock-change cases: naive stamps in the site's zone name, the label and the
#: interval (None: told from the stamps).
CHANGES = [
    pytest.param(pd.date_range("2025-03-30 00:00", periods=7, freq="h"), BERLIN, "end", "1h",
                 id="spring-end"),
    pytest.param(pd.date_range("2025-03-30 00:00", periods=7, freq="h"), BERLIN, "start", "1h",
                 id="spring-start"),
    pytest.param(pd.date_range("2025-10-26 00:00", periods=7, freq="h"), BERLIN, "end", "1h",
                 id="autumn-end"),
    pytest.param(pd.date_range("2025-10-26 00:00", periods=7, freq="h"), BERLIN, "start", "1h",
                 id="autumn-start"),
    pytest.param(pd.date_range("2025-03-30 01:00", periods=19, freq="10min"), BERLIN, "end",
                 None, id="spring-10min-told"),
    pytest.param(pd.date_range("2025-04-06 00:00", periods=6, freq="h"), SYDNEY, "end", "1h",
                 id="sydney-autumn"),
    pytest.param(pd.date_range("2025-06-21 03:00", periods=6, freq="h"), BERLIN, "end", "1h",
                 id="summer-no-change"),
]


@pytest.mark.parametrize("stamps, site, label, interval", CHANGES)
@pytest.mark.parametrize("path", [by_frame, by_time_column, by_mapping, by_dataset,
                                  by_lazy_dataset])
def test_sub_steps_lie_in_real_time_across_a_clock_change(path, stamps, site, label, interval):
    length = interval or pd.Series(stamps).diff().median()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        want = in_real_time(stamps, site, label, length)
        got = path(stamps, site, label, interval)
    np.testing.assert_array_equal(got, want)
    # NaN just where a stamp is skipped or repeated, as --input leaves it
    unplaced = pd.DatetimeIndex(stamps).tz_localize(site.zone, ambiguous="NaT",
                                                    nonexistent="NaT").isna()
    np.testing.assert_array_equal(np.isnan(got[:, NAMES.index("mrt")]), unplaced)


@pytest.mark.parametrize("stamps, site, label, interval", CHANGES[:4])
def test_the_frame_gives_what_input_gives_on_the_same_data(tmp_path, capsys, stamps, site,
                                                           label, interval):
    columns = weather(stamps)
    path = tmp_path / "w.csv"
    pd.DataFrame({"time": stamps.strftime("%Y-%m-%d %H:%M"), **columns}).to_csv(path,
                                                                                 index=False)
    assert cli.main(["--input", str(path), "--lat", str(site.latitude), "--lon",
                     str(site.longitude), "--height", str(site.height), "--zone", site.zone,
                     "--time-label", label, "--interval", interval, "--precision",
                     "full"]) == 0
    written = pd.read_csv(io.StringIO(capsys.readouterr().out),
                          float_precision="round_trip")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        got = by_frame(stamps, site, label, interval)
    np.testing.assert_array_equal(got, written[list(NAMES)].to_numpy())


HOURLY = pd.date_range("2025-06-21 03:00", periods=5, freq="h")


@pytest.mark.parametrize("label, interval", [("instant", None), ("end", "1h"), ("start", 600)])
@pytest.mark.parametrize("when", [pd.Timestamp("2025-06-21 06:00"),
                                  np.datetime64("2025-06-21T06:00")])
def test_one_time_and_single_values_give_the_row_of_a_frame(when, label, interval):
    got = chain({"air_temp": 12.0, "cloud": 4.0}, times=when, site=BERLIN, time_label=label,
                interval=interval)
    row = chain(pd.DataFrame({"air_temp": [12.0], "cloud": [4.0]}, index=[when]), site=BERLIN,
                time_label=label, interval=interval).iloc[0]
    assert all(np.shape(got[name]) == () for name in NAMES)
    np.testing.assert_array_equal([got[name] for name in NAMES], row[list(NAMES)])


@pytest.mark.parametrize("interval", [
    3600, 3600.0, np.int64(3600), "3600", " 3600 ", "3600.0", "1h", "60min", "PT1H",
    pd.Timedelta(hours=1), dt.timedelta(hours=1), np.timedelta64(1, "h"),
])
def test_every_spelling_of_an_hour_is_an_hour(interval):
    want = by_frame(HOURLY, BERLIN, "end", "1h")
    assert not np.array_equal(want, by_frame(HOURLY, BERLIN, "instant", None))
    np.testing.assert_array_equal(by_frame(HOURLY, BERLIN, "end", interval), want)


@pytest.mark.parametrize("interval, message", [
    ("soon", "interval must be a length of time such as '1h', not 'soon'"),
    (True, "interval must be a length of time such as '1h', not True"),
    ("nan", "interval must be a length of time such as '1h', not 'nan'"),
    (float("inf"), "interval must be a length of time such as '1h', not inf"),
    ("0", "interval must be longer than 0, not '0'"),
    (-60, "interval must be longer than 0, not -60"),
    ("-1h", "interval must be longer than 0, not '-1h'"),
    (1e-9, "interval must be a microsecond or longer, not 1e-09"),
])
def test_what_is_no_interval_is_refused_in_one_line(interval, message):
    with pytest.raises(ValueError) as caught:
        by_frame(HOURLY, BERLIN, "end", interval)
    assert str(caught.value) == message


def series(tmp_path, capsys, *args):
    path = tmp_path / "w.csv"
    pd.DataFrame({"time": HOURLY.strftime("%Y-%m-%d %H:%M"), **weather(HOURLY)}).to_csv(
        path, index=False)
    status = cli.main(["--input", str(path), "--lat", "52.52", "--lon", "13.4", "--height", "34",
                       "--zone", "Europe/Berlin", *args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("seconds, spelt", [("3600", "1h"), ("60", "1min"), ("5400", "90min")])
def test_input_reads_a_bare_interval_as_seconds(tmp_path, capsys, seconds, spelt):
    bare = series(tmp_path, capsys, "--time-label", "end", "--interval", seconds)
    assert bare == series(tmp_path, capsys, "--time-label", "end", "--interval", spelt)
    assert bare[0] == 0 and bare != series(tmp_path, capsys)


def test_grid_reads_a_bare_interval_as_seconds(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("cf_xarray")
    pytest.importorskip("netCDF4")
    from klimora.grid import example

    source = str(tmp_path / "w.nc")
    example.weather(6, 3, 4, seed=3).to_netcdf(source)
    written = {}
    for name, args in (("bare", ["--interval", "3600"]), ("spelt", ["--interval", "1h"]),
                       ("instant", [])):
        target = str(tmp_path / f"{name}.nc")
        label = ["--time-label", "end"] if args else []
        assert cli.main(["grid", "--input", source, "--output", target, *label, *args]) == 0
        with xr.open_dataset(target) as out:
            written[name] = out.load()
    for column in ("global", "mrt"):
        np.testing.assert_array_equal(written["bare"][column], written["spelt"][column])
        assert not np.array_equal(written["bare"][column], written["instant"][column])
    assert written["bare"].attrs["klimora_time_label"] == "end of intervals of 60 min"


def instants_given_an_interval(kind):
    stamps = HOURLY
    if kind == "frame":
        return lambda: chain(pd.DataFrame(weather(stamps), index=stamps), site=Site(52.5, 13.4),
                             interval="1h")
    if kind == "mapping":
        return lambda: chain(weather(stamps), times=stamps, site=Site(52.5, 13.4), interval=3600)
    xr = pytest.importorskip("xarray")
    ds = xr.Dataset({"air_temp": ("time", np.full(len(stamps), 10.0))},
                    coords={"time": stamps, "latitude": 52.5, "longitude": 13.4})
    if kind == "dataset":
        return lambda: chain(ds, interval="1h")
    pytest.importorskip("cf_xarray")
    from klimora.grid import example, radiation

    return lambda: radiation(example.weather(4, 2, 2, seed=1), interval="1h")


@pytest.mark.parametrize("kind", ["frame", "mapping", "dataset", "grid"])
def test_an_interval_beside_instants_is_refused_before_anything_is_said(kind):
    make = instants_given_an_interval(kind)
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # no zone or height warned of first
        with pytest.raises(ValueError, match="^interval is the length of the intervals of "
                                             "time_label 'start' or 'end'; instants have none$"):
            make()


def peak(run):
    run()   # imports and caches before the count
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def chain_on(kind, stamps):
    """chain(time_label=..., interval=...) on ``stamps`` and their weather,
    given as ``kind``."""
    if kind == "mapping":
        return lambda **labels: chain(weather(stamps), times=stamps, site=BERLIN, **labels)
    if kind == "frame":
        frame = pd.DataFrame(weather(stamps), index=stamps)
        return lambda **labels: chain(frame, site=BERLIN, **labels)
    xr = pytest.importorskip("xarray")
    ds = xr.Dataset({name: ("time", values) for name, values in weather(stamps).items()},
                    coords={"time": stamps})
    return lambda **labels: chain(ds, site=BERLIN, **labels)


@pytest.mark.parametrize("kind", ["frame", "mapping", "dataset"])
def test_an_interval_run_holds_no_more_than_twice_an_instant_one(kind):
    run = chain_on(kind, pd.date_range("2025-06-01", periods=4000, freq="h"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        instant = peak(lambda: run())
        # 25 sub-steps an interval, each a result of the instant run's size
        means = peak(lambda: run(time_label="end", interval="2h"))
    assert means < 2 * instant, (means, instant)
