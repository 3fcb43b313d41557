"""klimora --input's CSV writer (klimora.iotools.series_csv): its own
formatting of the rows gives the bytes pandas' to_csv gives of the same
frame, on awkward numbers, time stamps and files."""

import io
import math

import numpy as np
import pandas as pd
import pytest

from klimora import cli
from klimora.chain import Site, chain
from klimora.iotools import series_csv
from klimora.iotools.series_csv import pandas_lines, series_lines
from klimora.iotools.weather_csv import SeriesReader

#: Doubles whose text is awkward: signed zeros and NaNs, infinities, the
#: extremes, values at the switch to exponents, halves that round either
#: way, and numbers past what a number of decimals can tell apart.
AWKWARD = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -2.2250738585072014e-308,
           1.7976931348623157e308, 1e16, 9999999999999998.0, 1e-4, 9.999999999999999e-05, 1e-5,
           0.0005, -0.0005, 0.0015, 2.5, -2.5, 0.125, 1 / 3, -2 / 3, 123456.78949999999,
           -1e-13, 2.2e-13, 4503599627370497.5, 1e22, -123456789012345678.0, 0.1 + 0.2]
DECIMALS = [None, 0, 1, 3, 7, 15]

# Rounding the largest numbers to decimals overflows, in either path.
pytestmark = pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")


def frame(rows, columns=3, seed=0):
    """Rows of awkward and random numbers over a wide range, in float columns."""
    rng = np.random.default_rng(seed)
    values = rng.normal(0, 1, (rows, columns)) * 10.0 ** rng.integers(-8, 18, (rows, columns))
    flat = values.reshape(-1)
    flat[:len(AWKWARD)] = AWKWARD[:flat.size]
    return pd.DataFrame(values, columns=[f"c{k}" for k in range(columns)])


def joined(stamps, result, names, decimals, header=True):
    return "".join(series_lines(stamps, result, names, decimals, header))


@pytest.mark.parametrize("decimals", DECIMALS)
@pytest.mark.parametrize("stamps", [
    ["2021-03-28T01:30+01:00", "2021-03-28T03:30+02:00", "2021-03-28 04:30Z"],  # mixed offsets
    ["2021-01-01", "", "2021-01-01T00:10:00.5"],
], ids=["offsets", "plain"])
def test_own_lines_are_pandas_bytes(stamps, decimals, monkeypatch):
    result = frame(3 * 40)
    times = np.array(stamps * 40, dtype=object)
    names = ["time", "c2", "c0", "c1"]
    expected = pandas_lines(times, result, names, decimals, header=True)

    def refused(*args):
        raise AssertionError("pandas' path taken")

    monkeypatch.setattr(series_csv, "pandas_lines", refused)
    monkeypatch.setattr(series_csv, "BLOCK_ROWS", 7)   # blocks that end inside the rows
    assert joined(times, result, names, decimals) == expected
    assert joined(times, result, names, decimals, header=False) == \
        expected.split("\n", 1)[1]


@pytest.mark.parametrize("decimals", [None, 3])
@pytest.mark.parametrize("stamps, quoted", [
    (["2021-01-01T00:00,5", "2021-01-01T01:00"], '"2021-01-01T00:00,5"'),
    (['2021-01-01 "noon"', "2021-01-01T01:00"], '"2021-01-01 ""noon"""'),
    (["2021-01-01\r\n00:00", "2021-01-01T01:00"], '"2021-01-01\r\n00:00"'),
    ([pd.Timestamp("2021-01-01"), "2021-01-01T01:00"], "2021-01-01 00:00:00"),
])
def test_cells_that_need_quoting_take_pandas_path(stamps, quoted, decimals):
    result = frame(2)
    times = np.array(stamps, dtype=object)
    text = joined(times, result, ["time", "c0", "c1", "c2"], decimals)
    assert text == pandas_lines(times, result, ["time", "c0", "c1", "c2"], decimals, True)
    assert text.split("\n", 1)[1].startswith(quoted + ",")


def test_a_column_of_other_numbers_takes_pandas_path():
    result = frame(5).assign(c1=np.arange(5, dtype=np.float32) / 3)
    times = np.array(["2021-01-01"] * 5, dtype=object)
    text = joined(times, result, ["time", "c0", "c1"], None)
    assert text == pandas_lines(times, result, ["time", "c0", "c1"], None, True)
    assert ",0.33333334\n" in text


WEATHER = ("time,air_temp,humidity,cloud,wind,global\n"
           "2021-03-28T00:30+01:00,4.5,\"81\",7,2.5,0\n"
           "2021-03-28T03:30+02:00,,79,nan,3,0\n"
           "\n"
           "2021-03-28T12:00Z,12.25,\"50\",2,1.5,612.5\n"
           "2021-03-28T13:00+02:00,14.75,40,NaN,0,555\n"
           "2021-03-28T14:00+02:00,15,,3,1,1e2\n")


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr"])
@pytest.mark.parametrize("options, decimals", [
    (["--precision", "full", "--utci"], None),
    ([], 3),
    (["--precision", "0", "--time-label", "end", "--interval", "1h"], 0),
])
def test_command_writes_pandas_bytes(tmp_path, capsys, newline, options, decimals):
    """The rows the command writes are pandas' of the chain's result, on a
    file with empty and NaN cells, quoted cells and several offsets."""
    path = tmp_path / "weather.csv"
    path.write_bytes(WEATHER.replace("\n", newline).encode())
    site = ["--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "Europe/Berlin"]
    assert cli.main(["--input", str(path), *site, *options]) == 0
    out = capsys.readouterr().out

    with open(path, "rb") as f:
        chunk, = SeriesReader(f, str(path), "Europe/Berlin")
    labels = {"time_label": options[options.index("--time-label") + 1],
              "interval": "1h"} if "--time-label" in options else {}
    result = chain(chunk.frame, site=Site(48.14, 11.58, 520, "Europe/Berlin"),
                   utci="--utci" in options, **labels)
    names = ["time", *result.columns]
    assert out == pandas_lines(chunk.stamps, result, names, decimals, header=True)
    assert out.count("\n") == 6 and ",nan," in out   # the blank line left out
