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
import subprocess
import sys
from pathlib import Path

import pytest

from klimora import cli
from klimora.day import ASSUMPTIONS, NAMES, Site, Weather, equation_of_time, step

DEFAULT_SITE = Site()
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
    h, m = text.split(":")
    return int(h) + int(m) / 60


def test_demo_runs_as_a_process_and_shows_the_example_day():
    done = process()
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["time", *NAMES]
    assert len(lines) == 2 + 24
    noon = lines[2 + 12].split()
    assert noon[0] == "12:00"
    expected = step(DEFAULT_SITE, MIDSUMMER, 12.0, Weather())
    assert [float(v) for v in noon[1:]] == [round(expected[n], 2) for n in NAMES]


def test_table_is_aligned_right(capsys):
    status, out, _ = run(capsys, "--step", "30")
    lines = out.splitlines()
    assert status == 0 and len(lines) == 2 + 48
    header = lines[0]
    ends = [m.end() for m in re.finditer(r"\S+", header)]
    assert [header[m.start():m.end()] for m in re.finditer(r"\S+", header)] == ["time", *NAMES]
    for line in lines[2:]:
        assert len(line) == len(header)
        for end in ends:
            assert line[end - 1] != " " and (end == len(line) or line[end] == " ")


@pytest.mark.parametrize("args, site, date, weather", [
    ([], Site(), dt.date(2025, 6, 21), Weather()),
    (["--lat", "-33.9", "--lon", "18.4", "--zone", "2", "--height", "10", "--date", "2024-12-21"],
     Site(-33.9, 18.4, 2.0, 10.0), dt.date(2024, 12, 21), Weather()),
    (["--lat", "64.1", "--lon", "-21.9", "--zone", "0", "--date", "2025-03-20", "--air-temp", "-5",
      "--humidity", "90", "--cloud", "8", "--wind", "9", "--albedo", "0.8", "--bowen", "0.3"],
     Site(64.1, -21.9, 0.0, 520.0), dt.date(2025, 3, 20),
     Weather(air_temp=-5.0, humidity=90.0, cloud=8.0, wind=9.0, albedo=0.8, bowen=0.3)),
    (["--vapour-pressure", "20", "--body-albedo", "0.4", "--bowen", "0"],
     Site(), dt.date(2025, 6, 21), Weather(vapour_pressure=20.0, body_albedo=0.4, bowen=0.0)),
    (["--longwave-down", "300", "--longwave-up", "450", "--diffuse", "120"],
     Site(), dt.date(2025, 6, 21), Weather(longwave_down=300.0, longwave_up=450.0, diffuse=120.0)),
])
def test_csv_is_the_chain_at_full_precision(capsys, args, site, date, weather):
    status, out, err = run(capsys, *args, "--csv")
    assert (status, err) == (0, "")
    rows = read_csv(out)
    assert [r["time"] for r in rows] == [f"{h:02d}:00" for h in range(24)]
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
    status, out, _ = run(capsys, "--json", "--step", "120", "--cloud", "4", "--lat", "40")
    doc = json.loads(out)
    assert status == 0
    assert doc["site"] == dataclasses.asdict(Site(latitude=40.0))
    assert doc["date"] == "2025-06-21" and doc["day_of_year"] == MIDSUMMER
    assert doc["weather"] == dataclasses.asdict(Weather(cloud=4.0))
    assert list(doc["units"]) == list(NAMES) and doc["units"]["mrt"] == "degC"
    assert doc["assumptions"] == list(ASSUMPTIONS)
    assert [r["time"] for r in doc["rows"]] == [f"{h:02d}:00" for h in range(0, 24, 2)]
    for r in doc["rows"]:
        expected = step(Site(latitude=40.0), MIDSUMMER, hours(r["time"]), Weather(cloud=4.0))
        assert {n: r[n] for n in NAMES} == expected


@pytest.mark.parametrize("step_minutes, count, last", [
    ("60", 24, "23:00"), ("15", 96, "23:45"), ("7", 206, "23:55"), ("1440", 1, "00:00"),
])
def test_step_sets_the_clock_times(capsys, step_minutes, count, last):
    _, out, _ = run(capsys, "--csv", "--step", step_minutes)
    times = [r["time"] for r in read_csv(out)]
    assert (len(times), times[0], times[-1]) == (count, "00:00", last)


@pytest.mark.parametrize("lat, lon, zone, day", [
    (48.14, 11.58, 1, "2025-06-21"), (0.0, 0.0, 0, "2025-11-03"), (40.7, -74.0, -5, "2025-02-11"),
    (35.7, 139.7, 9, "2025-07-26"),
])
def test_the_sun_culminates_at_local_solar_noon(capsys, lat, lon, zone, day):
    _, out, _ = run(capsys, "--csv", "--step", "1", "--lat", str(lat), "--lon", str(lon),
                    "--zone", str(zone), "--date", day)
    rows = read_csv(out)
    highest = min(rows, key=lambda r: r["zenith"])
    doy = dt.date.fromisoformat(day).timetuple().tm_yday
    noon = 12 + zone - lon / 15 - equation_of_time(doy)
    assert abs(hours(highest["time"]) - noon) <= 1.5 / 60
    assert abs(highest["solar_time"] - 12) <= 1.5 / 60
    assert abs(highest["azimuth"] - 180) < 1 or lat < 23.5


def test_radiation_follows_the_sun_and_the_clouds(capsys):
    _, clear, _ = run(capsys, "--csv", "--cloud", "0")
    _, overcast, _ = run(capsys, "--csv", "--cloud", "8")
    clear, overcast = read_csv(clear), read_csv(overcast)
    night, noon = clear[0], clear[12]
    assert night["zenith"] > 90 and night["direct"] == night["global"] == 0
    assert noon["direct"] == noon["direct_max"] > 600 and noon["mrt"] > noon["surface_temp"] > 20
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
    (["--humidity", "120"], "--humidity must be between 0 and 100 %"),
    (["--cloud", "nan"], "--cloud must be between 0 and 8 oktas, not nan"),
    (["--wind", "-1"], "--wind must be between 0 and 100 m/s"),
    (["--albedo", "inf"], "--albedo must be between 0 and 1"),
    (["--air-temp", "99"], "--air-temp must be between -90 and 60 degC"),
    (["--step", "0"], "--step must be between 1 and 1440 min"),
    (["--diffuse", "-5"], "--diffuse must be between 0 and 2000 W/m2"),
    (["--csv", "--json"], "not allowed with argument"),
    (["--input", "/no/such/weather.csv"], "cannot read /no/such/weather.csv"),
    (["--plot", "/no/such/folder/day.png"], "cannot write /no/such/folder/day.png"),
    (["extra"], "unrecognized arguments: extra"),
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


def test_help_states_the_assumptions_and_columns():
    done = process("--help")
    assert done.returncode == 0
    text = " ".join(done.stdout.split())
    for assumption in ASSUMPTIONS:
        assert " ".join(assumption.split()) in text
    for name in NAMES:
        assert f"{name} (" in text
    for option in ("--longwave-down", "--longwave-up", "--diffuse", "--input", "--plot"):
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
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and target.stat().st_size > 10_000


def test_plot_without_matplotlib_says_what_to_install(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run(capsys, "--plot", str(tmp_path / "day.png"))
    assert status == 2 and out == "" and not (tmp_path / "day.png").exists()
    assert err == "klimora: error: --plot needs matplotlib: pip install 'klimora[plot]'\n"


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
    changes = {n: float(c) for n, c in zip(names, cells[1:]) if c}
    weather = dataclasses.replace(base, **changes)
    return step(site, t.timetuple().tm_yday, t.hour + t.minute / 60 + t.second / 3600, weather)


def test_series_gives_the_chain_per_row(capsys, tmp_path):
    status, out, err = run(capsys, "--input", write(tmp_path / "w.csv", SERIES))
    assert (status, err) == (0, "")
    rows = read_csv(out)
    assert [r["time"] for r in rows] == [line.split(",")[0] for line in SERIES[1:]]
    for line, r in zip(SERIES[1:], rows):
        assert {n: r[n] for n in NAMES} == expected_series_row(line.split(","))
    assert rows[3]["counter"] == 330.0 and rows[3]["solar_time"] == pytest.approx(
        14 - 1 + 11.58 / 15 + equation_of_time(MIDSUMMER))


def test_series_takes_missing_columns_from_the_options(capsys, tmp_path):
    path = write(tmp_path / "w.csv", ["time,cloud", "2025-06-21T10:00,4", "2025-06-21T11:00,"])
    status, out, _ = run(capsys, "--input", path, "--air-temp", "25", "--cloud", "1",
                         "--lat", "45")
    rows = read_csv(out)
    site = Site(latitude=45.0)
    assert status == 0
    assert {n: rows[0][n] for n in NAMES} == step(site, MIDSUMMER, 10.0,
                                                  Weather(air_temp=25.0, cloud=4.0))
    assert {n: rows[1][n] for n in NAMES} == step(site, MIDSUMMER, 11.0,
                                                  Weather(air_temp=25.0, cloud=1.0))


def test_series_reads_standard_input():
    done = process("--input", "-", stdin="\n".join(SERIES) + "\n")
    assert done.returncode == 0 and done.stderr == ""
    assert len(read_csv(done.stdout)) == len(SERIES) - 1


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
])
def test_series_errors_name_the_line(capsys, tmp_path, lines, message):
    path = tmp_path / "w.csv"
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    status, _, err = run(capsys, "--input", str(path))
    assert status == 2 and err.count("\n") == 1
    assert err.startswith(f"klimora: error: {path.parent}/{message}")


@pytest.mark.parametrize("args", [["--json"], ["--plot", "day.png"]])
def test_series_writes_csv_only(capsys, tmp_path, args):
    status, _, err = run(capsys, "--input", write(tmp_path / "w.csv", SERIES), *args)
    assert status == 2 and "--input writes CSV" in err


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
    done = subprocess.run([sys.executable, "-I", "-m", "klimora", "--input", path],
                          capture_output=True, text=True, timeout=120)
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
        done = subprocess.run([sys.executable, "-I", "-m", "klimora", "--input", path],
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
    expected = step(DEFAULT_SITE, MIDSUMMER, noon, Weather(vapour_pressure=14.0))
    assert namespace["mrt"] == pytest.approx(expected["mrt"], abs=1e-9)
    assert namespace["surface"] == pytest.approx(expected["surface_temp"], abs=1e-9)
    assert round(float(namespace["mrt"]), 1) == 55.9
