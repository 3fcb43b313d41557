"""The main job: table, CSV, JSON, plot, errors and the time series mode."""

import csv
import dataclasses
import datetime as dt
import io
import json
import math
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from klimora import chain as C
from klimora import cli
from klimora.cli import day_command
from klimora.day import ASSUMPTIONS, NAMES, Site, Weather, equation_of_time, step
from klimora.iotools import weather_csv
from klimora.quantities import WEATHER

from helpers import CLIMATOLOGY

#: The example site, without site options: Munich.
DEFAULT_SITE = Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0)
#: The example site given as options.
MUNICH = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "1")
MIDSUMMER = 172


def run(capsys, *args):
    """main() with args: (exit status, stdout, stderr)."""
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def process(*args, stdin=None):
    return subprocess.run([sys.executable, "-I", "-m", "klimora", *args], input=stdin,
                          capture_output=True, text=True, timeout=120)


def read_csv(text):
    rows = list(csv.DictReader(io.StringIO(text)))
    return [{k: (v if k == "time" else float(v)) for k, v in r.items()} for r in rows]


def hours(text):
    """The clock hours of a row's time, ISO 8601 with its offset."""
    t = dt.datetime.fromisoformat(text)
    return t.hour + t.minute / 60 + t.second / 3600


def iso(date, clock, offset):
    """A row's time: 2025-06-21T12:00+01:00."""
    sign = "-" if offset < 0 else "+"
    return f"{date}T{clock}{sign}{int(abs(offset)):02d}:{round(abs(offset) % 1 * 60):02d}"


def test_demo_runs_as_a_process_and_shows_the_example_day():
    done = process()
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert lines[1].split() == ["time", *NAMES]
    assert len(lines) == 3 + 24
    noon = lines[3 + 12].split()
    assert noon[0] == "2025-06-21T12:00+01:00"
    expected = step(DEFAULT_SITE, MIDSUMMER, 12.0, Weather())
    assert [float(v) for v in noon[1:]] == [round(expected[n], 2) for n in NAMES]


def test_table_is_aligned_right(capsys):
    status, out, _ = run(capsys, "--step", "30")
    lines = out.splitlines()
    assert status == 0 and len(lines) == 3 + 48
    header = lines[1]
    ends = [m.end() for m in re.finditer(r"\S+", header)]
    assert [header[m.start():m.end()] for m in re.finditer(r"\S+", header)] == ["time", *NAMES]
    for line in lines[3:]:
        assert len(line) == len(header)
        for end in ends:
            assert line[end - 1] != " " and (end == len(line) or line[end] == " ")


@pytest.mark.parametrize("args, site, date, weather", [
    ([], DEFAULT_SITE, dt.date(2025, 6, 21), Weather()),
    (["--lat", "-33.9", "--lon", "18.4", "--zone", "2", "--height", "10", "--date", "2024-12-21"],
     Site(latitude=-33.9, longitude=18.4, zone=2.0, height=10.0), dt.date(2024, 12, 21), Weather()),
    (["--lat", "64.1", "--lon", "-21.9", "--zone", "0", "--height", "520", "--date", "2025-03-20",
      "--air-temp", "-5", "--humidity", "90", "--cloud", "8", "--wind", "9", "--albedo", "0.8",
      "--bowen", "1"],
     Site(latitude=64.1, longitude=-21.9, zone=0.0, height=520.0), dt.date(2025, 3, 20),
     Weather(air_temp=-5.0, humidity=90.0, cloud=8.0, wind=9.0, albedo=0.8, bowen=1.0)),
    (["--vapour-pressure", "20", "--body-albedo", "0.4", "--bowen", "0", "--linke", "3.5"],
     DEFAULT_SITE, dt.date(2025, 6, 21),
     Weather(vapour_pressure=20.0, body_albedo=0.4, bowen=0.0, linke=3.5)),
    (["--longwave-down", "300", "--longwave-up", "450", "--diffuse", "120"],
     DEFAULT_SITE, dt.date(2025, 6, 21),
     Weather(longwave_down=300.0, longwave_up=450.0, diffuse=120.0)),
])
def test_csv_is_the_chain_at_full_precision(capsys, args, site, date, weather):
    status, out, err = run(capsys, *args, "--csv", "--precision", "full")
    assert (status, err) == (0, "")
    rows = read_csv(out)
    assert [r["time"] for r in rows] == [iso(date, f"{h:02d}:00", site.zone) for h in range(24)]
    doy = date.timetuple().tm_yday
    for r in rows:
        expected = step(site, doy, hours(r["time"]), weather)
        assert {n: r[n] for n in NAMES} == expected


@pytest.mark.parametrize("option, column, value", [
    ("--longwave-down", "counter", 300.0),
    ("--longwave-up", "longwave_up", 450.0),
    ("--diffuse", "diffuse", 120.0),
])
def test_given_fluxes_replace_the_worked_out_ones(capsys, option, column, value):
    _, worked_out, _ = run(capsys, "--csv")
    _, given, _ = run(capsys, "--csv", option, str(value))
    worked_out, given = read_csv(worked_out), read_csv(given)
    assert all(r[column] == value for r in given)
    assert [r["mrt"] for r in given] != [r["mrt"] for r in worked_out]


def test_json_carries_site_weather_units_assumptions_and_rows(capsys):
    status, out, _ = run(capsys, "--json", "--step", "120", "--cloud", "4", "--linke", "3",
                         "--lat", "40", "--lon", "-3.7", "--zone", "2", "--height", "650",
                         "--turbidity", "climatology", "--min-wind", "0", "--precision", "full")
    doc = json.loads(out)
    site, weather = Site(40.0, -3.7, 650.0, 2.0), Weather(cloud=4.0, linke=3.0)
    assert status == 0
    assert doc["site"] == dataclasses.asdict(site)
    assert doc["date"] == "2025-06-21" and doc["day_of_year"] == MIDSUMMER
    options = [name for name, q in WEATHER.items() if q.day_option]
    assert "linke" in options
    assert doc["weather"] == {**{name: weather.asdict()[name] for name in options},
                              "surface": None}
    assert [doc[k] for k in ("projection_factor", "turbidity", "diffuse_model", "min_wind")] \
        == ["system", "climatology", "separation", None]
    assert list(doc["units"]) == list(NAMES) and doc["units"]["mrt"] == "degC"
    assert doc["assumptions"] == list(ASSUMPTIONS)
    assert [r["time"] for r in doc["rows"]] == [f"2025-06-21T{h:02d}:00+02:00"
                                                for h in range(0, 24, 2)]
    for r in doc["rows"]:
        expected = step(site, MIDSUMMER, hours(r["time"]), weather, turbidity="climatology",
                        min_wind=None)
        assert {n: r[n] for n in NAMES} == expected


@pytest.mark.parametrize("step_minutes, count, last", [
    ("60", 24, "23:00"), ("15", 96, "23:45"), ("7", 206, "23:55"), ("1440", 1, "00:00"),
    ("1.5", 960, "23:58:30"),
])
def test_step_sets_the_clock_times(capsys, step_minutes, count, last):
    _, out, _ = run(capsys, "--csv", "--step", step_minutes)
    times = [r["time"] for r in read_csv(out)]
    assert (len(times), times[0], times[-1]) == (count, "2025-06-21T00:00+01:00",
                                                 f"2025-06-21T{last}+01:00")


@pytest.mark.parametrize("lat, lon, zone, day", [
    (48.14, 11.58, 1, "2025-06-21"), (0.0, 0.0, 0, "2025-11-03"), (40.7, -74.0, -5, "2025-02-11"),
    (35.7, 139.7, 9, "2025-07-26"),
])
def test_the_sun_culminates_at_local_solar_noon(capsys, lat, lon, zone, day):
    _, out, _ = run(capsys, "--csv", "--step", "1", "--lat", str(lat), "--lon", str(lon),
                    "--zone", str(zone), "--date", day, "--precision", "full")
    rows = read_csv(out)
    highest = min(rows, key=lambda r: r["zenith"])
    doy = dt.date.fromisoformat(day).timetuple().tm_yday
    noon = 12 + zone - lon / 15 - equation_of_time(doy)
    assert abs(hours(highest["time"]) - noon) <= 1.5 / 60
    assert abs(highest["solar_time"] - 12) <= 1.5 / 60
    assert abs(highest["azimuth"] - 180) < 1 or lat < 23.5


def test_radiation_follows_the_sun_and_the_clouds(capsys):
    _, clear, _ = run(capsys, "--csv", "--cloud", "0", "--precision", "full")
    _, overcast, _ = run(capsys, "--csv", "--cloud", "8", "--precision", "full")
    _, residual, _ = run(capsys, "--csv", "--cloud", "0", "--diffuse-model", "residual",
                         "--precision", "full")
    clear, overcast, residual = read_csv(clear), read_csv(overcast), read_csv(residual)
    night, noon = clear[0], clear[12]
    assert night["zenith"] > 90 and night["direct"] == night["global"] == 0
    assert residual[12]["direct"] == noon["direct_max"] > 600
    # a clear noon's residual diffuse is above the floor: the separation keeps it
    assert noon["direct"] == noon["direct_max"] and noon["diffuse"] == residual[12]["diffuse"]
    assert noon["mrt"] > noon["surface_temp"] > 20
    assert night["mrt"] < 20 and noon["net_rad"] > 0 > night["net_rad"]
    assert all(r["direct"] == 0 for r in overcast)
    assert overcast[12]["global"] == pytest.approx(0.25 * clear[12]["global"])
    assert overcast[12]["mrt"] < clear[12]["mrt"]
    assert overcast[0]["counter"] > night["counter"]


ERRORS = [
    (["--lat", "200"], "--lat must be between -90 and 90 deg, not 200"),
    (["--lon", "-181"], "--lon must be between -180 and 180 deg"),
    (["--zone", "15"], "--zone must be between -12 and 14 h"),
    (["--height", "10000"], "--height must be between"),
    (["--date", "2025-02-30"], "argument --date: not a date of the form YYYY-MM-DD: '2025-02-30'"),
    (["--date", "21.6.2025"], "argument --date: not a date"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--lat"], "argument --lat: expected one argument"),
    (["--lat", "north"], "argument --lat: not a number: 'north'"),
    (["--humidity", "120"], "--humidity must be between 0 and 105 %"),
    (["--cloud", "nan"], "--cloud must be between 0 and 8 oktas, not nan"),
    (["--wind", "-1"], "--wind must be between 0 and 100 m/s"),
    (["--albedo", "inf"], "--albedo must be between 0 and 1"),
    (["--air-temp", "99"], "--air-temp must be between -90 and 60 degC"),
    (["--step", "0"], "--step must be between 1 and 1440 min"),
    (["--diffuse", "-5"], "--diffuse must be between 0 and 2000 W/m2"),
    (["--csv", "--json"], "not allowed with argument"),
    (["--input", "/no/such/weather.csv", *MUNICH], "cannot read /no/such/weather.csv"),
    (["--plot", "/no/such/folder/day.png"], "cannot write /no/such/folder/day.png: no directory"),
    (["--plot", "day.xyz"], "--plot day.xyz: unknown format '.xyz'; use .png, .pdf, .svg or"),
    (["--plot", "day"], "--plot day: no extension; use .png, .pdf, .svg or"),
    (["--plot", "."], "--plot .: is a directory; give a file name, such as day.png"),
    (["--plot", ""], "--plot needs a file name, such as day.png"),
    (["--input", "-", "--step", "10"], "--input writes CSV at the file's own times; --step is"),
    (["--input", "-", "--date", "2025-01-01"], "--date is for a single day"),
    (["--input", "-", "--json"], "--json is for a single day"),
    (["--input", "-", "--plot", "day.png"], "--plot is for a single day"),
    (["--input", ".", *MUNICH], "cannot read .: Is a directory"),
    (["--bowen", "-0.7"], "--bowen must be between -0.5 and 1000, not -0.7"),
    (["--vapour-pressure", "40", "--air-temp", "10"],
     "--vapour-pressure above saturation at the air temperature"),
    (["--zone", "Mars/Olympus"], "argument --zone: neither hours east of UTC nor a time zone "
     "name such as Europe/Berlin: 'Mars/Olympus'"),
    (["--zone", "nan"], "--zone must be between -12 and 14 h, not nan"),
    (["--projection-factor", "flat"], "argument --projection-factor: invalid choice: 'flat'"),
    (["extra"], "unrecognized arguments: extra"),
    (["--lat", "1_0"], "argument --lat: not a number: '1_0'"),
    (["--zone", "\uff12"], "argument --zone: neither hours east of UTC"),
    # a site of one's own borrows nothing of the example site
    (["--lat", "40"], "--lat and --lon go together: give --lon too"),
    (["--lon", "-3", "--height", "600"], "--lat and --lon go together: give --lat too"),
    (["--zone", "Europe/Madrid"], "--zone needs --lat and --lon: the example site is taken "
     "only without any site option"),
    (["--height", "600", "--input", "-"], "--height needs --lat and --lon"),
    (["--surface", "grass", "--bowen", "0.3"], "give --surface or --bowen, not both"),
    (["--surface", "lawn"], "argument --surface: invalid choice: 'lawn'"),
    (["--turbidity", "high"], "argument --turbidity: invalid choice: 'high'"),
    (["--diffuse-model", "erbs"], "argument --diffuse-model: invalid choice: 'erbs'"),
    (["--min-wind", "6"], "--min-wind must be between 0 and 5 m/s, not 6"),
    (["--min-wind", "nan"], "--min-wind must be between 0 and 5 m/s, not nan"),
    (["--min-wind", "-1"], "--min-wind must be between 0 and 5 m/s, not -1"),
    (["--linke", "0.5"], "--linke must be between 1 and 40, not 0.5"),
    (["--time-label", "end"], "--time-label is for --input: the day's rows are instants"),
    (["--interval", "1h"], "--interval is for --input: the day's rows are instants"),
    (["--input", "-", *MUNICH, "--interval", "1h"], "--interval is the length of the intervals of "
     "--time-label start or end"),
    (["--input", "-", "--time-label", "start", "--interval", "soon"],
     "argument --interval: must be a length of time such as '1h', not 'soon'"),
    (["--input", "-", "--time-label", "start", "--interval", "0min"],
     "argument --interval: must be longer than 0"),
    (["--time-label", "middle"], "argument --time-label: invalid choice: 'middle'"),
    (["--precision", "16"], "argument --precision: not a number of decimals from 0 to 15 or "
     "full: '16'"),
    (["--precision", "-1"], "argument --precision: not a number of decimals"),
    (["--precision", "2.5"], "argument --precision: not a number of decimals"),
    (["--ambiguous", "first"], "argument --ambiguous: invalid choice: 'first'"),
    (["--sep", "|", "--input", "-"], "argument --sep: not ',', ';' or tab: '|'"),
    (["--decimal", ";", "--input", "-"], "argument --decimal: invalid choice: ';'"),
    (["--sep", ";"], "--sep is for --input"),
    (["--decimal", ","], "--decimal is for --input"),
]


@pytest.mark.parametrize("args, message", ERRORS)
def test_bad_input_is_one_line_and_status_2(capsys, args, message):
    status, out, err = run(capsys, *args)
    assert status == 2 and out == ""
    assert err.startswith("klimora: error: ") and err.endswith("\n") and err.count("\n") == 1
    assert message in err


@pytest.mark.parametrize("args", [["--lat", "200"], ["--date", "soon"], ["--unknown", "1"]])
def test_bad_input_in_a_process_gives_no_traceback(args):
    done = process(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("klimora: error: ")


@pytest.mark.parametrize("args", [[], ["--csv"], ["--json"], ["--input", "-", *MUNICH]])
def test_a_full_disk_is_one_line_and_status_1(args):
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-I", "-m", "klimora", *args], stdout=full,
                              input="\n".join(SERIES) + "\n", stderr=subprocess.PIPE, text=True,
                              timeout=120)
    assert (done.returncode, done.stderr) == (
        1, "klimora: error: cannot write standard output: No space left on device\n")


@pytest.mark.parametrize("finish", [
    lambda out: out.flush(),
    lambda out: out.close(),
    lambda out: out.__del__(),   # what collecting it does after a failed command
], ids=["flush", "close", "collected"])
def test_output_outliving_its_stream_finishes_quietly(finish, monkeypatch):
    from klimora.cli.common import Output
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    stream = io.TextIOWrapper(io.BytesIO())   # flushing it once closed raises, as stdout's
    out = Output(stream, "standard output")
    out.write("x")
    stream.close()
    finish(out)
    assert unraisable == []


def test_help_states_the_assumptions_and_columns():
    done = process("--help")
    assert done.returncode == 0
    text = " ".join(done.stdout.split())
    for assumption in ASSUMPTIONS:
        assert " ".join(assumption.split()) in text
    for name in NAMES:
        assert f"{name} (" in text
    for option in ("--longwave-down", "--longwave-up", "--diffuse", "--input", "--plot",
                   "--projection-factor {system,vdi3789}", "--utci",
                   "Europe/Berlin", "utci (degC)", "--linke VALUE",
                   "--turbidity {bounded,model,climatology}",
                   "--diffuse-model {separation,residual}", "--min-wind M_S", "--surface NAME",
                   "grass 0.3", "--time-label {instant,start,end}", "--interval LENGTH",
                   "example site 48.14 N, 11.58 E, 520 m, UTC+1", "--precision N",
                   "default 3 for CSV, JSON and --input", "--ambiguous {nan,earliest,latest,infer}",
                   "--sep {',',';',tab}", "--decimal {.,,}", "2025-06-21T12:00+02:00"):
        assert option in text


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0 and capsys.readouterr().out.strip().startswith("klimora 0.")


def test_console_script_is_installed():
    script = shutil.which("klimora", path=str(Path(sys.executable).parent))
    assert script is not None
    done = subprocess.run([script, "--csv", "--step", "360"], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stdout == process("--csv", "--step", "360").stdout


def test_plot_writes_a_png(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "day.png"
    status, out, _ = run(capsys, "--plot", str(target), "--csv")
    assert status == 0 and len(read_csv(out)) == 24
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and target.stat().st_size > 10_000
    width, height = struct.unpack(">II", data[16:24])   # print-sized: the IHDR chunk
    assert width >= 1600 and height >= 1000


def test_plot_says_where_when_and_what_its_axes_show(capsys, tmp_path, monkeypatch):
    figure = pytest.importorskip("matplotlib.figure")
    drawn = []
    save = figure.Figure.savefig

    def recorded(self, *args, **kwargs):
        drawn.append(self)
        return save(self, *args, **kwargs)

    monkeypatch.setattr(figure.Figure, "savefig", recorded)
    status, _, _ = run(capsys, "--plot", str(tmp_path / "day.svg"), *MUNICH[:-1],
                       "Europe/Berlin", "--date", "2025-10-26", "--cloud", "5")
    (fig,) = drawn
    top, bottom = fig.axes
    title = fig.get_suptitle()
    assert status == 0 and (tmp_path / "day.svg").stat().st_size > 10_000
    for said in ("48.14 N, 11.58 E, 520 m, Europe/Berlin", "2025-10-26", "air 20 degC",
                 "cloud 5 oktas", "wind 2 m/s"):
        assert said in title
    assert "W/m²" in top.get_ylabel() and "horizontal" in top.get_ylabel()
    assert "direct beam: normal to it" in top.get_ylabel()
    assert "direct beam (normal to the beam)" in top.get_legend_handles_labels()[1]
    assert "°C" in bottom.get_ylabel() and bottom.get_xlabel() == "clock time, Europe/Berlin"
    assert bottom.get_xlim() == (0.0, 25.0)   # the day's 25 hours


def test_plot_without_matplotlib_says_what_to_install(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run(capsys, "--plot", str(tmp_path / "day.png"))
    assert status == 2 and out == "" and not (tmp_path / "day.png").exists()
    assert err == "klimora: error: --plot needs matplotlib: pip install '.[plot]'\n"


def test_utci_needs_no_pythermalcomfort(capsys, tmp_path, monkeypatch):
    for name in ("pythermalcomfort", "pythermalcomfort.models"):
        monkeypatch.setitem(sys.modules, name, None)
    for args in (["--utci"], ["--utci", "--input", write(tmp_path / "w.csv", SERIES), *MUNICH]):
        status, out, err = run(capsys, "--csv", *args)
        assert status == 0 and out.splitlines()[0].endswith(",utci"), err


def day_frame(date, zone=1.0, **weather):
    """klimora.chain.chain at the day's clock times, hourly."""
    times = pd.Timestamp(date) + pd.to_timedelta(np.arange(24.0), unit="h")
    frame = pd.DataFrame({name: np.full(24, value) for name, value in weather.items()}, index=times)
    return frame, C.Site(48.14, 11.58, 520.0, zone=zone)


def test_projection_factor_and_utci_are_the_chains(capsys):
    status, out, err = run(capsys, "--csv", "--projection-factor", "vdi3789", "--utci",
                           "--cloud", "0", "--wind", "1", "--precision", "full")
    assert (status, err) == (0, "")
    got = pd.read_csv(io.StringIO(out), index_col="time", **weather_csv.exact_floats())
    frame, site = day_frame("2025-06-21", cloud=0.0, wind=1.0)
    want = C.chain(frame, site=site, projection_factor="vdi3789", utci=True)
    assert list(got.columns) == [*NAMES, "utci"]
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)
    assert got.mrt.iloc[12] > C.chain(frame, site=site).mrt.iloc[12] + 1.0


@pytest.mark.parametrize("args, option", [
    pytest.param(["--turbidity", "climatology"], {"turbidity": "climatology"},
                 marks=CLIMATOLOGY),
    (["--diffuse-model", "residual"], {"diffuse_model": "residual"}),
    (["--min-wind", "0"], {"min_wind": None}),
    (["--min-wind", "1.5"], {"min_wind": 1.5}),
    (["--surface", "asphalt"], {"surface": "asphalt"}),
])
def test_model_options_are_the_chains(capsys, args, option):
    status, out, err = run(capsys, "--csv", "--cloud", "0", "--wind", "0.2", *args,
                           "--precision", "full")
    assert (status, err) == (0, "")
    got = pd.read_csv(io.StringIO(out), index_col="time", **weather_csv.exact_floats())
    frame, site = day_frame("2025-06-21", cloud=0.0, wind=0.2)
    want = C.chain(frame, site=site, **option).to_numpy()
    assert np.array_equal(got.to_numpy(), want, equal_nan=True)
    assert not np.array_equal(want, C.chain(frame, site=site).to_numpy(), equal_nan=True)


def test_the_table_names_the_site_day_and_weather(capsys):
    _, out, _ = run(capsys, "--step", "360")
    assert out.splitlines()[0] == (
        "# 48.14 N, 11.58 E, 520 m, UTC+1 h; 2025-06-21; air 20 degC, humidity 60 %, cloud 2 "
        "oktas, wind 2 m/s, albedo 0.2, bowen 0.3, body albedo 0.3")
    _, out, _ = run(capsys, "--step", "360", "--lat", "-33.45", "--lon", "-70.66", "--zone",
                    "America/Santiago", "--height", "570", "--date", "2025-01-10", "--surface",
                    "asphalt", "--vapour-pressure", "12.5", "--linke", "3.2", "--diffuse", "90")
    assert out.splitlines()[0] == (
        "# 33.45 S, 70.66 W, 570 m, America/Santiago; 2025-01-10; air 20 degC, humidity 60 %, "
        "vapour pressure 12.5 hPa, cloud 2 oktas, wind 2 m/s, albedo 0.2, bowen 10 (asphalt), "
        "body albedo 0.3, linke 3.2, diffuse 90 W/m2")
    _, out, _ = run(capsys, "--step", "360", "--lat", "0", "--lon", "0")
    assert out.splitlines()[0].startswith("# 0 N, 0 E, 0 m, UTC; 2025-06-21; air 20 degC")


def test_a_site_of_ones_own_is_utc_at_sea_level_and_says_so(capsys):
    status, out, err = run(capsys, "--csv", "--lat", "40", "--lon", "-3.7", "--precision", "full")
    assert (status, err) == (0, "klimora: no --zone: times without an offset are taken as UTC\n"
                                "klimora: no --height: the site is taken at sea level (0 m)\n")
    for r in read_csv(out):
        assert {n: r[n] for n in NAMES} == step(Site(40.0, -3.7, 0.0, 0.0), MIDSUMMER,
                                                hours(r["time"]), Weather())
    assert run(capsys, "--csv", "--lat", "40", "--lon", "-3.7", "--zone", "0",
               "--height", "0", "--precision", "full") == (0, out, "")
    assert run(capsys, "--csv", "--lat", "40", "--lon", "-3.7", "--zone", "0")[2] == \
        "klimora: no --height: the site is taken at sea level (0 m)\n"
    # the example site is taken whole, and said as options it is the same
    assert run(capsys, "--csv", *MUNICH) == run(capsys, "--csv")
    assert day_command.EXAMPLE_SITE == DEFAULT_SITE


TURBID = ("steps with a Linke turbidity above 7 from the humidity (85 % and more), beyond any "
          "climatology: give the turbidity (--linke) or take --turbidity bounded (the default) "
          "or climatology")


def test_what_the_chain_says_is_one_line_each(capsys):
    status, _, err = run(capsys, "--csv", "--humidity", "103", "--step", "120",
                         "--turbidity", "model")
    assert (status, err) == (0, "klimora: 12 humidity values above 100 % taken as 100 %\n"
                                f"klimora: 12 {TURBID}\n")
    assert run(capsys, "--csv", "--humidity", "103", "--step", "120")[2] == \
        "klimora: 12 humidity values above 100 % taken as 100 %\n"
    assert run(capsys, "--csv", "--humidity", "103", "--linke", "4")[2] == \
        "klimora: 24 humidity values above 100 % taken as 100 %\n"


@pytest.mark.parametrize("date, hours", [("2025-07-15", "2"), ("2025-01-15", "1")])
def test_a_zone_name_keeps_daylight_saving(capsys, date, hours):
    _, named, _ = run(capsys, "--csv", *MUNICH[:-1], "Europe/Berlin", "--date", date)
    _, fixed, _ = run(capsys, "--csv", *MUNICH[:-1], hours, "--date", date)
    assert named == fixed


def test_clock_times_that_daylight_saving_skips_are_null_with_ambiguous(capsys):
    status, out, err = run(capsys, "--json", "--step", "30", *MUNICH[:-1], "Europe/Berlin",
                           "--date", "2025-03-30", "--ambiguous", "nan")
    rows = json.loads(out)["rows"]
    assert status == 0 and err == ("klimora: 2 clock times of 2025-03-30 do not exist or are "
                                   "ambiguous in Europe/Berlin (daylight saving); their rows "
                                   "are NaN\n")
    assert [r["time"] for r in rows if r["zenith"] is None] == ["2025-03-30T02:00",
                                                                "2025-03-30T02:30"]
    assert rows[6]["solar_time"] - rows[3]["solar_time"] == pytest.approx(0.5)  # 03:00, 01:30


def berlin_day(capsys, date, *args):
    """The day at Munich in Europe/Berlin, at full precision: (rows, their
    instants in UTC, stderr)."""
    status, out, err = run(capsys, "--csv", "--precision", "full", *MUNICH[:-1], "Europe/Berlin",
                           "--date", date, *args)
    assert status == 0
    rows = read_csv(out)
    instants = [pd.Timestamp(r["time"]).tz_convert("UTC") if r["time"][-6] in "+-" else pd.NaT
                for r in rows]
    return rows, pd.DatetimeIndex(instants), err


def chain_at(instants):
    """klimora.chain.chain at Munich, in Europe/Berlin, at these instants."""
    frame = pd.DataFrame(index=instants)
    return C.chain(frame, site=C.Site(48.14, 11.58, 520.0, "Europe/Berlin"))[list(NAMES)]


@pytest.mark.parametrize("date, count, err", [
    ("2025-10-26", 25, "klimora: 2025-10-26 has 25 hours in Europe/Berlin: 1 clock time comes "
                       "twice\n"),
    ("2025-03-30", 23, "klimora: 2025-03-30 has 23 hours in Europe/Berlin: 1 clock time is "
                       "skipped\n"),
    ("2025-06-21", 24, ""),
])
def test_the_days_of_the_changes_have_their_real_hours(capsys, date, count, err):
    rows, instants, said = berlin_day(capsys, date)
    assert (len(rows), said) == (count, err)
    assert (np.diff(instants) == pd.Timedelta(hours=1)).all()
    assert instants[0] == pd.Timestamp(date).tz_localize("Europe/Berlin")
    got = np.array([[r[n] for n in NAMES] for r in rows])
    assert np.array_equal(got, chain_at(instants).to_numpy(), equal_nan=True)
    if count == 25:
        assert [r["time"] for r in rows[2:4]] == ["2025-10-26T02:00+02:00",
                                                  "2025-10-26T02:00+01:00"]


@pytest.mark.parametrize("ambiguous, count, at_two", [
    ("earliest", 24, "2025-10-26T02:00+02:00"), ("latest", 24, "2025-10-26T02:00+01:00"),
    ("nan", 24, "2025-10-26T02:00"), ("infer", 25, "2025-10-26T02:00+02:00"),
])
def test_ambiguous_takes_a_repeated_clock_time_of_the_day(capsys, ambiguous, count, at_two):
    rows, instants, _ = berlin_day(capsys, "2025-10-26", "--ambiguous", ambiguous)
    assert len(rows) == count and rows[2]["time"] == at_two
    placed = instants.notna()
    got = np.array([[r[n] for n in NAMES] for r in rows])
    assert np.array_equal(got[placed], chain_at(instants[placed]).to_numpy(), equal_nan=True)
    assert np.isnan(got[~placed, 0]).all() and (~placed).sum() == (ambiguous == "nan")


SHIFT = ["time,cloud", "2025-10-26T01:30,4", "2025-10-26T02:30,4", "2025-10-26T02:30,4",
         "2025-10-26T03:30,4"]


@pytest.mark.parametrize("ambiguous, offsets", [
    ([], [2, None, None, 1]), (["--ambiguous", "nan"], [2, None, None, 1]),
    (["--ambiguous", "earliest"], [2, 2, 2, 1]), (["--ambiguous", "latest"], [2, 1, 1, 1]),
    (["--ambiguous", "infer"], [2, 2, 1, 1]),
])
def test_ambiguous_takes_repeated_time_stamps_of_a_series(capsys, tmp_path, ambiguous, offsets):
    path = write(tmp_path / "w.csv", SHIFT)
    status, out, err = run(capsys, "--input", path, *MUNICH[:-1], "Europe/Berlin", *ambiguous,
                           "--precision", "full")
    assert status == 0 and ("2 time stamps" in err) == (None in offsets)
    got = pd.read_csv(io.StringIO(out), **weather_csv.exact_floats())[list(NAMES)].to_numpy()
    placed = np.array([offset is not None for offset in offsets])
    instants = pd.DatetimeIndex([pd.Timestamp(line.split(",")[0]) - pd.Timedelta(hours=offset)
                                 for line, offset in zip(SHIFT[1:], offsets) if offset]
                                ).tz_localize("UTC")
    frame = pd.DataFrame({"cloud": 4.0}, index=instants)
    want = C.chain(frame, site=C.Site(48.14, 11.58, 520.0, "Europe/Berlin"))[list(NAMES)]
    assert np.array_equal(got[placed], want.to_numpy(), equal_nan=True)
    assert np.isnan(got[~placed, 0]).all()


def test_ambiguous_infer_that_cannot_tell_is_one_line(capsys, tmp_path):
    path = write(tmp_path / "w.csv", SHIFT[:3])
    status, out, err = run(capsys, "--input", path, *MUNICH[:-1], "Europe/Berlin",
                           "--ambiguous", "infer")
    assert (status, out, err.count("\n")) == (2, "", 1)
    assert err.startswith(f"klimora: error: {path} lines 2-3: --ambiguous infer: ")


def test_solar_time_stays_within_the_day(capsys):
    _, out, _ = run(capsys, "--csv", "--step", "10", "--lat", "1.87", "--lon", "-157.4",
                    "--zone", "14")
    solar = [r["solar_time"] for r in read_csv(out)]
    assert all(0 <= t < 24 for t in solar) and min(solar) < 0.2 and max(solar) > 23.8


def test_ctrl_c_exits_130_without_a_traceback(capsys, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(day_command, "run_at", interrupted)
    assert run(capsys) == (130, "", "klimora: interrupted\n")


# The time series mode.

def write(path, lines):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


SERIES = [
    "time,air_temp,humidity,cloud,wind,vapour_pressure,longwave_down",
    "2025-06-21T00:00,15,80,1,1,,",
    "2025-06-21T06:30,17.5,70,3,2,12.5,",
    "2025-06-21 12:00,27,40,0,3,,",
    "2025-06-21T13:00:00+00:00,28,38,5,3,,330",
    "2025-12-21T12:00,-2,85,8,5,,",
]


def expected_series_row(cells, site=DEFAULT_SITE, base=Weather()):
    t = dt.datetime.fromisoformat(cells[0])
    if t.tzinfo is not None:
        t = t.astimezone(dt.timezone(dt.timedelta(hours=site.zone))).replace(tzinfo=None)
    names = SERIES[0].split(",")[1:]
    changes = {n: float(c) if c else math.nan for n, c in zip(names, cells[1:])}
    weather = Weather(**{**base.given(), **changes})
    return step(site, t.timetuple().tm_yday, t.hour + t.minute / 60 + t.second / 3600, weather)


SERIES_NOTE = "klimora: 8 empty or NaN cells; their rows have NaN where they count\n"


def same(got, want):
    return np.array_equal(np.array(got, dtype=float), np.array(want, dtype=float), equal_nan=True)


def test_series_gives_the_chain_per_row(capsys, tmp_path):
    status, out, err = run(capsys, *MUNICH, "--input", write(tmp_path / "w.csv", SERIES), "--precision",
                           "full")
    assert (status, err) == (0, SERIES_NOTE)
    rows = read_csv(out)
    assert [r["time"] for r in rows] == [line.split(",")[0] for line in SERIES[1:]]
    for line, r in zip(SERIES[1:], rows):
        want = expected_series_row(line.split(","))
        assert same([r[n] for n in NAMES], [want[n] for n in NAMES])
    assert rows[3]["solar_time"] == pytest.approx(14 - 1 + 11.58 / 15 + equation_of_time(MIDSUMMER))
    # an empty vapour pressure cell leaves the sky's long-wave flux unknown, unless measured
    assert math.isnan(rows[0]["counter"]) and math.isnan(rows[0]["mrt"])
    assert rows[3]["counter"] == 330.0 and rows[3]["mrt"] > rows[3]["surface_temp"] > 28


def test_series_takes_absent_columns_from_the_options(capsys, tmp_path):
    path = write(tmp_path / "w.csv", ["time,cloud", "2025-06-21T10:00,4", "2025-06-21T11:00,"])
    status, out, err = run(capsys, *MUNICH, "--input", path, "--air-temp", "25", "--cloud", "1",
                           "--lat", "45", "--lon", "11.58", "--zone", "1", "--height", "520",
                           "--precision", "full")
    rows = read_csv(out)
    site = Site(45.0, 11.58, 520.0, 1.0)
    assert status == 0
    assert err == "klimora: 1 empty or NaN cell; their rows have NaN where they count\n"
    assert {n: rows[0][n] for n in NAMES} == step(site, MIDSUMMER, 10.0,
                                                  Weather(air_temp=25.0, cloud=4.0))
    # the empty cell is NaN, not the option's value
    assert same([rows[1][n] for n in NAMES],
                list(step(site, MIDSUMMER, 11.0, Weather(air_temp=25.0, cloud=math.nan)).values()))
    assert math.isnan(rows[1]["global"]) and rows[1]["global_max"] > 0


def test_series_reads_standard_input():
    done = process(*MUNICH, "--input", "-", stdin="\n".join(SERIES) + "\n")
    assert done.returncode == 0 and done.stderr == SERIES_NOTE
    assert len(read_csv(done.stdout)) == len(SERIES) - 1


# BOM, CRLF, Z, an offset, naive times in a zone with daylight saving (winter
# and summer), NaN, empty cells, blanks around a number, a blank line, quotes.
MIXED = [
    "time,air_temp,humidity,cloud,wind,vapour_pressure",
    "2025-06-21T12:00Z,27.5,40,1,2.5,",
    "2025-06-21T14:00:30+02:00,nan,38,3,3.0,14",
    "2025-01-10T08:30,-3,85, 8 ,5,",
    "",
    "2025-07-10T08:30,18,70,,1,12",
    '"2025-07-10 09:30",19,65,2,1,13',
]


def test_series_is_klimora_chain_on_the_same_frame(capsys, tmp_path):
    path = tmp_path / "w.csv"
    path.write_bytes(b"\xef\xbb\xbf" + "\r\n".join(MIXED).encode() + b"\r\n")
    status, out, err = run(capsys, "--input", str(path), *MUNICH[:-1], "Europe/Berlin",
                           "--precision", "full")
    assert status == 0
    assert err == "klimora: 4 empty or NaN cells; their rows have NaN where they count\n"
    got = pd.read_csv(io.StringIO(out), **weather_csv.exact_floats())
    rows = [next(csv.reader([line])) for line in MIXED[1:] if line]
    stamps = [pd.Timestamp(r[0]) for r in rows]
    times = pd.DatetimeIndex([(t if t.tz else t.tz_localize("Europe/Berlin")).tz_convert("UTC")
                              for t in stamps])
    names = MIXED[0].split(",")[1:]
    frame = pd.DataFrame([[float(c) if c.strip() else math.nan for c in r[1:]] for r in rows],
                         columns=names, index=times)
    want = C.chain(frame, site=C.Site(48.14, 11.58, 520.0, "Europe/Berlin"))
    assert list(got.columns) == ["time", *NAMES]
    assert list(got.time) == [r[0] for r in rows]
    assert np.array_equal(got[list(NAMES)].to_numpy(), want.to_numpy(), equal_nan=True)
    assert got.solar_time.notna().all() and got.mrt.isna().tolist() == [True] * 4 + [False]
    # 08:30 in summer is 06:30 UTC; in winter, 07:30 UTC
    assert got.solar_time[3] == pytest.approx(6.5 + 11.58 / 15 + equation_of_time(191))


def test_latin_1_gives_one_message_from_a_file_and_from_stdin(capsys, tmp_path, monkeypatch):
    data = "time,cloud\n2025-06-21T10:00,4\n2025-06-21T11:00,4 \u00e4\n".encode("latin-1")
    path = tmp_path / "w.csv"
    path.write_bytes(data)
    from_file = run(capsys, *MUNICH, "--input", str(path))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    from_stdin = run(capsys, *MUNICH, "--input", "-")
    assert from_file == (2, "", f"klimora: error: {path} line 3: not UTF-8 text (byte 0xe4)\n")
    assert from_stdin == (2, "", "klimora: error: <stdin> line 3: not UTF-8 text (byte 0xe4)\n")


@pytest.mark.parametrize("lines, message", [
    ([], "w.csv: empty file, expected a header line"),
    (["when,cloud", "2025-06-21T10:00,4"], "w.csv: no column 'time'"),
    (["time,clouds", "2025-06-21T10:00,4"], "w.csv: unknown column 'clouds'; known: time, air_temp"),
    (["time,cloud,cloud", "2025-06-21T10:00,4,4"], "w.csv: a column name appears twice"),
    (["time,cloud", "2025-06-21T10:00,4", "21.06.2025 11:00,4"],
     "w.csv line 3: not a time: '21.06.2025 11:00'"),
    (["time,cloud", "2025-06-21T10:00,many"], "w.csv line 2: cloud is not a number: 'many'"),
    (["time,cloud", "2025-06-21T10:00,9"], "w.csv line 2: cloud must be between 0 and 8 oktas"),
    (["time,cloud", "2025-06-21T10:00,4,5"], "w.csv line 2: 3 cells, expected 2"),
    (["time,cloud,wind", "2025-06-21T10:00,4"], "w.csv line 2: 2 cells, expected 3"),
    (["time,cloud", ",4"], "w.csv line 2: not a time: ''"),
    (["time,cloud", "2025-06-21T10:00,4", "2025-06-21T10:00+2h,4"],
     "w.csv line 3: not a time: '2025-06-21T10:00+2h'"),
    (["time,cloud", "2025-06-21T10:00,1e999"],
     "w.csv line 2: cloud must be between 0 and 8 oktas, not inf"),
    (["time,bowen", "2025-06-21T10:00,0.5", "2025-06-21T11:00,-0.7"],
     "w.csv line 3: bowen must be between -0.5 and 1000, not -0.7"),
    (["time,air_temp,vapour_pressure", "2025-06-21T10:00,5,4", "", "2025-06-21T11:00,5,30"],
     "w.csv line 4: vapour_pressure above saturation at the air temperature"),
    # a NUL byte ends a cell for pandas's reader: the cell is refused whole
    (["time,air_temp", "2025-06-21T10:00,2\x007"], "w.csv line 2: air_temp is not a number: "
     "'2\\x007'"),
    (["time,cloud", "2025-06-21T10:00,4", "2025-06-21T11:00,\x008"],
     "w.csv line 3: cloud is not a number: '\\x008'"),
    (["time,cloud", "2025-06-21T10:00\x00junk,4"], "w.csv line 2: not a time: "
     "'2025-06-21T10:00\\x00junk'"),
    (["ti\x00me,cloud", "2025-06-21T10:00,4"], "w.csv line 1: a NUL byte in the header line"),
    # numbers in plain decimal notation only, as Python's float takes more
    (["time,cloud", "2025-06-21T10:00,1_0"], "w.csv line 2: cloud is not a number: '1_0'"),
    (["time,cloud", "2025-06-21T10:00,\uff12"], "w.csv line 2: cloud is not a number: '\uff12'"),
    # a decimal comma throughout, or not at all
    (["time;air_temp", "2025-06-21T10:00;20,5", "2025-06-21T11:00;20.5"],
     "w.csv line 3: air_temp is not a number: '20.5'"),
    (["time;air_temp", "2025-06-21T10:00;1.013,5"],
     "w.csv line 2: air_temp is not a number: '1.013,5'"),
    (["Time,AIR_TEMP,air_temp", "2025-06-21T10:00,20,20"], "w.csv: a column name appears twice"),
    (["TIME;Clouds", "2025-06-21T10:00;4"], "w.csv: unknown column 'Clouds'; known: time,"),
    (["Zeit;cloud", "2025-06-21T10:00;4"], "w.csv: no column 'time'"),
    (["time|cloud", "2025-06-21T10:00|4"], "w.csv: no column 'time' (cells separated by ','; "
     "give --sep if they are not)"),
])
def test_series_errors_name_the_line(capsys, tmp_path, lines, message):
    path = tmp_path / "w.csv"
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    status, _, err = run(capsys, *MUNICH, "--input", str(path))
    assert status == 2 and err.count("\n") == 1
    assert err.startswith(f"klimora: error: {path.parent}/{message}")


PLAIN = ["time,air_temp,humidity,cloud", "2025-06-21T10:00,20.5,60,3",
         "2025-06-21T11:00,-1.25,70.5,"]


@pytest.mark.parametrize("lines, args", [
    (["time;air_temp;humidity;cloud", "2025-06-21T10:00;20,5;60;3",
      "2025-06-21T11:00;-1,25;70,5;"], []),
    (["time;air_temp;humidity;cloud", "2025-06-21T10:00;20.5;60;3",
      "2025-06-21T11:00;-1.25;70.5;"], []),
    (["time\tair_temp\thumidity\tcloud", "2025-06-21T10:00\t20,5\t60\t3",
      "2025-06-21T11:00\t-1,25\t70,5\t"], []),
    (["Time,AIR_TEMP,Humidity,Cloud", "2025-06-21T10:00,20.5,60,3",
      "2025-06-21T11:00,-1.25,70.5,"], []),
    (["time;air_temp;humidity;cloud", "2025-06-21T10:00;20,5;60;3",
      "2025-06-21T11:00;-1,25;70,5;"], ["--sep", ";", "--decimal", ","]),
    (["time\tair_temp\thumidity\tcloud", "2025-06-21T10:00\t20.5\t60\t3",
      "2025-06-21T11:00\t-1.25\t70.5\t"], ["--sep", "tab"]),
])
def test_series_takes_other_separators_a_decimal_comma_and_names_in_any_case(capsys, tmp_path,
                                                                             lines, args):
    want = run(capsys, *MUNICH, "--input", write(tmp_path / "plain.csv", PLAIN))
    assert run(capsys, *MUNICH, "--input", write(tmp_path / "w.csv", lines), *args) == want
    assert want[0] == 0 and want[1].splitlines()[1].startswith("2025-06-21T10:00,")


def test_a_decimal_comma_is_told_from_the_first_chunk_or_given(capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 1)
    path = write(tmp_path / "w.csv", ["time;air_temp", "2025-06-21T10:00;20",
                                      "2025-06-21T11:00;20,5"])
    assert run(capsys, *MUNICH, "--input", path)[2] == (
        f"klimora: error: {path} line 3: air_temp is not a number: '20,5' (a decimal comma? "
        "give --decimal ,)\n")
    status, out, _ = run(capsys, *MUNICH, "--input", path, "--decimal", ",")
    assert status == 0 and out == run(capsys, *MUNICH, "--input", write(tmp_path / "p.csv", [
        "time,air_temp", "2025-06-21T10:00,20", "2025-06-21T11:00,20.5"]))[1]
    commas = write(tmp_path / "c.csv", PLAIN)
    assert run(capsys, *MUNICH, "--input", commas, "--decimal", ",") == (
        2, "", f"klimora: error: {commas}: a decimal comma needs cells separated by ';' or a tab "
               "(--sep), not by commas\n")


def table_cells(text):
    return [line.split()[1:] for line in text.splitlines()[3:]]


def number_cells(form, text):
    """The numbers of an output as text (JSON's as Python writes them)."""
    if form == "--json":
        return [[repr(v) if v is not None else "nan" for k, v in r.items() if k != "time"]
                for r in json.loads(text)["rows"]]
    if form == "table":
        return table_cells(text)
    return [row[1:] for row in csv.reader(io.StringIO(text))][1:]


@pytest.mark.parametrize("form", ["--csv", "--json", "--input", "table"])
@pytest.mark.parametrize("precision", [None, "0", "1", "6"])
def test_precision_rounds_the_numbers(capsys, tmp_path, form, precision):
    args = ["--input", write(tmp_path / "w.csv", SERIES), *MUNICH] if form == "--input" else \
        [] if form == "table" else [form]
    given = ["--precision", precision] if precision else []
    decimals = int(precision) if precision else 2 if form == "table" else 3
    status, out, _ = run(capsys, *args, *given)
    _, full, _ = run(capsys, *args, "--precision", "full")
    assert status == 0
    got, exact = number_cells(form, out), number_cells(form, full)
    assert len(got) == len(exact) > 4
    for row, row_exact in zip(got, exact):
        want = [cell if cell == "nan" else f"{round(float(cell), decimals) + 0.0:.{decimals}f}"
                for cell in row_exact]
        if form == "--json":   # numbers: 12.5, not 12.500
            want = [w if w == "nan" else repr(float(w)) for w in want]
        assert row == want


def test_a_time_past_2262_is_refused_or_read_in_full(capsys, tmp_path):
    """pandas before 3 holds times in nanoseconds only, up to 2262-04-11;
    pandas 3 holds later ones too, and the year's day is then as in 2025."""
    rows = {year: write(tmp_path / f"{year}.csv", ["time,cloud", f"{year}-06-21T10:00,4"])
            for year in (2025, 2300)}
    status, out, err = run(capsys, *MUNICH, "--input", rows[2300])
    if status == 2:
        assert err == (f"klimora: error: {rows[2300]} line 2: '2300-06-21T10:00' is outside the "
                       "times klimora reads, 1677-09-21 to 2262-04-11\n")
    else:
        assert status == 0 and err == ""
        assert out.replace("2300-", "2025-") == run(capsys, *MUNICH, "--input", rows[2025])[1]


@pytest.mark.parametrize("args", [["--json"], ["--plot", "day.png"], ["--step", "10"],
                                  ["--date", "2025-06-21"]])
def test_series_writes_csv_only(capsys, tmp_path, args):
    status, _, err = run(capsys, *MUNICH, "--input", write(tmp_path / "w.csv", SERIES), *args)
    assert status == 2 and "--input writes CSV" in err


@pytest.mark.parametrize("linke", [True, pytest.param(False, marks=CLIMATOLOGY)])
def test_series_options_and_a_linke_column_are_the_chains(capsys, tmp_path, linke):
    lines = ["time,air_temp,humidity,cloud,wind" + ",linke" * linke]
    lines += [f"2025-06-21T{h:02d}:00,{15 + h / 2},{90 - 3 * h},{h % 9 * (h % 2)},{h % 4 / 2}"
              + (f",{2.5 + h / 10 if h % 5 else ''}" if linke else "") for h in range(24)]
    groups = [["--turbidity", "climatology"], ["--diffuse-model", "residual"],
              ["--min-wind", "0"], ["--surface", "forest"],
              ["--time-label", "end", "--interval", "30min"]]
    path = write(tmp_path / "w.csv", lines)
    # high and dry: where the residual diffuse falls below the floor
    high = ["--lat", "48.14", "--lon", "11.58", "--height", "4000", "--zone", "1"]
    groups.append(high)
    status, out, err = run(capsys, *MUNICH, "--input", path, *sum(groups, []), "--precision", "full")
    assert (status, err) == (0, "klimora: 5 empty or NaN cells; their rows have NaN where they "
                                "count\n" if linke else "")
    got = pd.read_csv(io.StringIO(out), index_col="time", **weather_csv.exact_floats())
    frame = pd.read_csv(path, index_col="time", parse_dates=True, **weather_csv.exact_floats())
    frame.index = (frame.index - pd.Timedelta(hours=1)).tz_localize("UTC")
    want = C.chain(frame, site=C.Site(48.14, 11.58, 4000.0, zone=1.0),
                   turbidity="climatology", diffuse_model="residual",
                   min_wind=None, surface="forest", time_label="end", interval="30min")
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)
    if linke:   # the column takes the place of either turbidity
        assert same(got.linke, frame.linke)
        return
    for k, group in enumerate(groups[:-1]):   # each option counts
        status, other, _ = run(capsys, *MUNICH, "--input", path, *sum(groups[:k] + groups[k + 1:], []))
        assert status == 0 and other != out, group


def test_surface_and_a_bowen_column_are_refused(capsys, tmp_path):
    path = write(tmp_path / "w.csv", ["time,bowen", "2025-06-21T10:00,0.5"])
    assert run(capsys, *MUNICH, "--input", path, "--surface", "water") == (
        2, "", f"klimora: error: {path}: give --surface or a column bowen, not both\n")


def hourly(count, broken=None):
    lines = ["time,air_temp,cloud"]
    for i in range(count):
        cloud = broken if i == count - 2 and broken else str(i % 9)
        lines.append(f"2025-06-21T{i:02d}:00,{10 + i / 4},{cloud}")
    return lines


def test_chunks_give_the_whole_file_at_once(capsys, tmp_path, monkeypatch):
    lines = hourly(11)
    lines.insert(3, "")
    path = write(tmp_path / "w.csv", lines)
    whole = run(capsys, *MUNICH, "--input", path)
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 4)
    assert run(capsys, *MUNICH, "--input", path) == whole and whole[0] == 0
    assert len(whole[1].splitlines()) == 12


@pytest.mark.parametrize("broken, message", [
    ("9", "w.csv line 12: cloud must be between 0 and 8 oktas, not 9"),
    ("many", "w.csv line 12: cloud is not a number: 'many'"),
])
def test_a_chunk_is_checked_before_it_is_written(capsys, tmp_path, monkeypatch, broken, message):
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 4)
    lines = hourly(11, broken)
    lines.insert(3, "")
    status, out, err = run(capsys, *MUNICH, "--input", write(tmp_path / "w.csv", lines))
    assert status == 2 and err == f"klimora: error: {tmp_path}/{message}\n"
    # the lines before the broken chunk's (2-5 with a blank one, 6-9), whole
    written = out.splitlines()
    assert len(written) == 1 + 3 + 4 and all(line.count(",") == len(NAMES) for line in written)


def ended(lines, ends):
    """A file's bytes, its lines ended so ("\r" as old Mac files end them;
    "\r" and "\r\n" by turns)."""
    if ends == "\r and \r\n":
        return "".join(line + "\r\n"[:1 + i % 2] for i, line in enumerate(lines)).encode()
    return "".join(line + ends for line in lines).encode()


@pytest.mark.parametrize("ends", ["\r", "\r and \r\n"])
@pytest.mark.parametrize("broken", [None, "many"])
@pytest.mark.parametrize("source", ["file", "stdin"])
def test_lines_ended_by_carriage_returns_read_as_by_line_feeds(capsys, tmp_path, monkeypatch,
                                                               ends, broken, source):
    """The same rows, and the same line named in an error, read a few bytes
    at a time (a "\r\n" cut between reads) in chunks of a few rows."""
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 4)
    monkeypatch.setattr(weather_csv.AnyLineEnds, "BLOCK", 7)
    lines = hourly(11, broken)
    lines.insert(3, "")
    path = tmp_path / "w.csv"

    def read(data):
        path.write_bytes(data)
        if source == "stdin":
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
            return run(capsys, *MUNICH, "--input", "-")
        return run(capsys, *MUNICH, "--input", str(path)), weather_csv.count_rows(str(path))

    want = read(ended(lines, "\n"))
    assert read(ended(lines, ends)) == want
    status = want[0] if source == "stdin" else want[0][0]
    assert status == (2 if broken else 0)


def test_what_the_chain_says_is_summed_over_the_chunks(capsys, tmp_path, monkeypatch):
    lines = ["time,humidity"] + [f"2025-06-21T{h:02d}:00,{103 if h % 3 == 0 else 70}"
                                 for h in range(11)]
    path = write(tmp_path / "w.csv", lines)
    whole = run(capsys, *MUNICH, "--input", path, "--turbidity", "model")
    assert whole[2] == ("klimora: 4 humidity values above 100 % taken as 100 %\n"
                        f"klimora: 4 {TURBID}\n")
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 2)
    assert run(capsys, *MUNICH, "--input", path, "--turbidity", "model") == whole


def test_intervals_are_one_length_over_all_chunks(capsys, tmp_path, monkeypatch):
    path = write(tmp_path / "w.csv", hourly(9))
    whole = run(capsys, *MUNICH, "--input", path, "--time-label", "start")
    assert whole[0] == 0 and whole != run(capsys, *MUNICH, "--input", path)
    assert run(capsys, *MUNICH, "--input", path, "--time-label", "start", "--interval", "60min") == whole
    monkeypatch.setattr(weather_csv, "CHUNK_ROWS", 4)   # the last chunk holds one row
    assert run(capsys, *MUNICH, "--input", path, "--time-label", "start") == whole
    one = write(tmp_path / "one.csv", hourly(1))
    assert run(capsys, *MUNICH, "--input", one, "--time-label", "end") == (
        2, "", f"klimora: error: {one}: the intervals' length cannot be told from the times: "
               "give --interval, such as 1h\n")


def year_file(path):
    start = dt.datetime(2025, 1, 1)
    lines = ["time,air_temp,humidity,cloud,wind"]
    for i in range(8760):
        t = start + dt.timedelta(hours=i)
        air = 9 - 10 * math.cos(2 * math.pi * (t.timetuple().tm_yday - 15) / 365)
        lines.append(f"{t:%Y-%m-%dT%H:%M},{air:.1f},{60 + i % 30},{i % 9},{1 + i % 5}")
    return write(path, lines), lines


def test_a_year_of_hourly_data_streams_through(tmp_path):
    path, lines = year_file(tmp_path / "year.csv")
    done = subprocess.run([sys.executable, "-I", "-m", "klimora", *MUNICH, "--input", path,
                           "--precision", "full"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stderr == ""
    out = done.stdout.splitlines()
    assert len(out) == 8761 and out[0] == ",".join(["time", *NAMES])
    for i in (1, 4000, 8760):
        cells = lines[i].split(",")
        t = dt.datetime.fromisoformat(cells[0])
        weather = Weather(air_temp=float(cells[1]), humidity=float(cells[2]),
                          cloud=float(cells[3]), wind=float(cells[4]))
        expected = step(DEFAULT_SITE, t.timetuple().tm_yday, t.hour, weather)
        assert out[i] == ",".join([cells[0], *(repr(expected[n]) for n in NAMES)])


def test_progress_bar_only_on_a_terminal(tmp_path):
    path, _ = year_file(tmp_path / "year.csv")
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-I", "-m", "klimora", *MUNICH, "--input", path],
                              stdout=subprocess.PIPE, stderr=follower, timeout=120)
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
    assert done.returncode == 0 and len(done.stdout.splitlines()) == 8761
    text = shown.decode()
    assert text.startswith("\r[") and "8760/8760" in text and text.endswith("rows/s\r\n")


def test_readme_chain_is_the_main_job_at_solar_noon():
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("### The chain in Python"):]
    start = section.index("```python\n") + len("```python\n")
    code = section[start:section.index("\n```", start)]
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    noon = 12 + 1 - 11.58 / 15 - equation_of_time(MIDSUMMER)
    weather = Weather(vapour_pressure=14.0, bowen=float(namespace["bowen"]))
    expected = step(DEFAULT_SITE, MIDSUMMER, noon, weather)
    assert namespace["mrt"] == pytest.approx(expected["mrt"], abs=1e-9)
    assert namespace["surface"] == pytest.approx(expected["surface_temp"], abs=1e-9)
    said = re.search(r"mrt = .*?# ([\d.]+) degC", code, re.DOTALL)
    assert f"{float(namespace['mrt']):.1f}" == said[1]


@pytest.mark.parametrize("args", [["--csv"], ["--json"]])
def test_utci_outside_its_range_is_one_line_on_the_command_line(capsys, tmp_path, args):
    rows = [("20", "1"), ("55", "1"), ("-60", "1"), ("20", "30"), ("15", "2")]
    times = pd.date_range("2025-06-20 22:00", periods=15, freq="10min")   # at night
    path = write(tmp_path / "w.csv", ["time,air_temp,wind,humidity"] +
                 [f"{t:%Y-%m-%dT%H:%M},{a},{v},50" for t, (a, v) in zip(times, rows * 3)])
    status, _, err = run(capsys, "--input", path, "--utci", *MUNICH)
    assert (status, err) == (0, "klimora: 9 UTCI values outside the model's range (air -50 to "
                                "50 °C, MRT - air -30 to 70 K, wind 0.5 to 17 m/s) left NaN\n")
    # the day: every hour's air above 50 degC
    status, _, err = run(capsys, "--air-temp", "52", "--utci", *MUNICH, *args)
    assert (status, err.count("\n")) == (0, 1) and err.startswith("klimora: 24 UTCI values ")
