"""The main job: radiation and mean radiant temperature at a site over a day,
or along a weather time series.  ``python -m klimora --help`` tells how."""

from __future__ import annotations

import argparse
import csv
import dataclasses
import datetime as dt
import json
import math
import sys
import textwrap
import time
from typing import IO, Any, Iterator, NoReturn, Optional, Sequence

from klimora import __version__
from klimora.day import ASSUMPTIONS, COLUMNS, NAMES, Site, Weather, day, step

EXAMPLE_DATE = "2025-06-21"


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


# Weather options: name, unit, default, lowest, highest, help.
WEATHER = (
    ("air_temp", "degC", 20.0, -90.0, 60.0, "air temperature", ""),
    ("humidity", "%", 60.0, 0.0, 100.0, "relative humidity", ""),
    ("vapour_pressure", "hPa", None, 0.0, 200.0, "water-vapour pressure",
     "from air temperature and humidity"),
    ("cloud", "oktas", 2.0, 0.0, 8.0, "cloud cover, 0 clear to 8 overcast", ""),
    ("wind", "m/s", 2.0, 0.0, 100.0, "wind speed", ""),
    ("albedo", "1", 0.2, 0.0, 1.0, "short-wave albedo of the ground", ""),
    ("bowen", "1", 1.0, -0.9, 1000.0,
     "Bowen ratio of the ground (0: surface at air temperature)", ""),
    ("body_albedo", "1", 0.3, 0.0, 1.0, "short-wave albedo of the person", ""),
    ("longwave_down", "W/m2", None, 0.0, 2000.0, "long-wave flux from the upper hemisphere",
     "counter-radiation of the sky"),
    ("longwave_up", "W/m2", None, 0.0, 2000.0, "long-wave flux from the ground",
     "from the surface temperature"),
    ("diffuse", "W/m2", None, 0.0, 2000.0, "diffuse short-wave irradiance on the ground",
     "global minus direct"),
)
METAVARS = {"degC": "DEGC", "%": "PERCENT", "hPa": "HPA", "oktas": "OKTAS", "m/s": "M_S",
            "W/m2": "W_M2"}
WEATHER_FIELDS = {name: (unit, low, high) for name, unit, _, low, high, _, _ in WEATHER}


def check(name: str, value: float, low: float, high: float, unit: str = "") -> float:
    if not (math.isfinite(value) and low <= value <= high):
        unit = f" {unit}" if unit and unit != "1" else ""
        raise UsageError(f"{name} must be between {low:g} and {high:g}{unit}, not {value:g}")
    return value


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def parse_date(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date of the form YYYY-MM-DD: {text!r}") from None


def description() -> str:
    lines = [
        "Radiation and mean radiant temperature of a person outdoors at one site, over a day",
        "(or along a weather time series with --input), by the functions of klimora.Strahlkit.",
        f"Without options: the example site 48.14 N, 11.58 E, 520 m, UTC+1, on {EXAMPLE_DATE}.",
        "",
        "Assumptions beyond the module:",
    ]
    for a in ASSUMPTIONS:
        lines += textwrap.wrap(a, 78, initial_indent="  - ", subsequent_indent="    ")
    lines += ["", "Output columns:", "  time: clock time in the site's zone"]
    lines += [f"  {name} ({unit}): {meaning}" for name, unit, meaning in COLUMNS]
    return "\n".join(lines)


def build_parser() -> Parser:
    p = Parser(prog="klimora", description=description(),
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"klimora {__version__}")
    site = p.add_argument_group("site and day")
    site.add_argument("--lat", type=number, default=48.14, help="latitude, deg N (default 48.14)")
    site.add_argument("--lon", type=number, default=11.58,
                      help="longitude, deg E (default 11.58)")
    site.add_argument("--zone", type=number, default=1.0,
                      help="time zone of the clock times, h east of UTC (default 1)")
    site.add_argument("--height", type=number, default=520.0,
                      help="height above sea level, m (default 520)")
    site.add_argument("--date", type=parse_date, default=parse_date(EXAMPLE_DATE),
                      help=f"the day, YYYY-MM-DD (default {EXAMPLE_DATE})")
    site.add_argument("--step", type=number, default=60.0,
                      help="time step over the day, minutes (default 60)")
    weather = p.add_argument_group("weather (constant over the day; columns of --input)")
    for name, unit, default, _, _, text, worked_out in WEATHER:
        shown = f"default: {worked_out}" if default is None else f"default {default:g}"
        if unit != "1":
            shown = f"{unit.replace('%', '%%')}; {shown}"
        weather.add_argument("--" + name.replace("_", "-"), dest=name, type=number,
                             default=default, metavar=METAVARS.get(unit, "VALUE"),
                             help=f"{text} ({shown})")
    out = p.add_argument_group("output (default: an aligned table)")
    form = out.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="comma-separated values")
    form.add_argument("--json", action="store_true",
                      help="one JSON object: site, date, weather, units and rows")
    out.add_argument("--plot", metavar="FILE.png",
                     help="also draw the day's course into FILE.png (needs klimora[plot])")
    out.add_argument("--input", metavar="WEATHER.csv",
                     help="time series mode: read a CSV file ('-' for standard input) with a "
                          "column 'time' (YYYY-MM-DDTHH:MM[:SS], clock time in --zone unless "
                          "it carries an offset) and any of the weather columns "
                          f"({', '.join(WEATHER_FIELDS)}); writes CSV, one row per row; "
                          "missing columns or empty cells take the options' values")
    return p


def site_of(args: argparse.Namespace) -> Site:
    return Site(latitude=check("--lat", args.lat, -90, 90, "deg"),
                longitude=check("--lon", args.lon, -180, 180, "deg"),
                zone=check("--zone", args.zone, -12, 14, "h"),
                height=check("--height", args.height, -500, 9000, "m"))


def weather_of(args: argparse.Namespace) -> Weather:
    values = {}
    for name, unit, _, low, high, _, _ in WEATHER:
        value = getattr(args, name)
        if value is not None:
            check("--" + name.replace("_", "-"), value, low, high, unit)
        values[name] = value
    return Weather(**values)


def fmt(value: float) -> str:
    return repr(float(value))


def clock_text(clock: float) -> str:
    minutes = round(clock * 60)
    return f"{minutes // 60:02d}:{minutes % 60:02d}"


def write_table(rows: list[tuple[str, dict[str, float]]], out: IO[str]) -> None:
    header = ["time", *NAMES]
    units = ["", *(unit for _, unit, _ in COLUMNS)]
    cells = [[t, *(f"{float(r[n]):.2f}" for n in NAMES)] for t, r in rows]
    widths = [max(len(h), len(u), *(len(c[i]) for c in cells))
              for i, (h, u) in enumerate(zip(header, units))]
    for line in (header, units, *cells):
        out.write("  ".join(c.rjust(w) for c, w in zip(line, widths)).rstrip() + "\n")


def write_plot(path: str, rows: list[tuple[float, dict[str, float]]], site: Site, date: dt.date,
               weather: Weather) -> None:
    try:
        import matplotlib
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'klimora[plot]'") from None
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    hours = [clock for clock, _ in rows]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8.5, 5.5), dpi=80)
    for name, label in (("global_max", "global, clear sky"), ("global", "global"),
                        ("direct", "direct beam"), ("diffuse", "diffuse"),
                        ("counter", "long-wave from the sky"),
                        ("longwave_up", "long-wave from the ground")):
        top.plot(hours, [r[name] for _, r in rows], label=label)
    top.set_ylabel("W/m²")
    top.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    bottom.axhline(weather.air_temp, color="grey", linestyle="--", label="air")
    bottom.plot(hours, [r["surface_temp"] for _, r in rows], label="ground surface")
    bottom.plot(hours, [r["mrt"] for _, r in rows], label="mean radiant temperature")
    bottom.set_ylabel("°C")
    bottom.set_xlabel(f"clock time, UTC{site.zone:+g} h")
    bottom.set_xticks(range(0, 25, 3))
    bottom.set_xlim(0, 24)
    bottom.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    top.set_title(f"{site.latitude:g}°, {site.longitude:g}°, {site.height:g} m, {date}; "
                  f"cloud {weather.cloud:g}/8", fontsize="medium")
    for axis in (top, bottom):
        axis.grid(alpha=0.3)
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None
    finally:
        plt.close(fig)


def run_day(args: argparse.Namespace, out: IO[str]) -> None:
    site, weather = site_of(args), weather_of(args)
    step_minutes = check("--step", args.step, 1, 1440, "min")
    date: dt.date = args.date
    doy = date.timetuple().tm_yday
    rows = day(site, doy, weather, step_minutes)
    labelled = [(clock_text(clock), r) for clock, r in rows]
    if args.plot:
        write_plot(args.plot, rows, site, date, weather)
    if args.json:
        json.dump({"site": dataclasses.asdict(site), "date": date.isoformat(), "day_of_year": doy,
                   "weather": dataclasses.asdict(weather),
                   "units": {name: unit for name, unit, _ in COLUMNS},
                   "assumptions": list(ASSUMPTIONS),
                   "rows": [{"time": t, **{n: float(r[n]) for n in NAMES}} for t, r in labelled]},
                  out, indent=1)
        out.write("\n")
    elif args.csv:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", *NAMES])
        for t, r in labelled:
            writer.writerow([t, *(fmt(r[n]) for n in NAMES)])
    else:
        write_table(labelled, out)


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: Optional[int], stream: IO[str]) -> None:
        self.total, self.stream = total, stream
        self.on = stream.isatty()
        self.shown = 0.0
        self.start = time.monotonic()

    def update(self, done: int, final: bool = False) -> None:
        now = time.monotonic()
        if not self.on or (not final and now - self.shown < 0.1):
            return
        self.shown = now
        rate = done / max(now - self.start, 1e-9)
        if self.total:
            filled = round(30 * done / self.total)
            bar = f"[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}"
        else:
            bar = f"{done} rows"
        self.stream.write(f"\r{bar} {rate:,.0f} rows/s")
        if final:
            self.stream.write("\n")
        self.stream.flush()


def parse_time(text: str, zone: float) -> dt.datetime:
    t = dt.datetime.fromisoformat(text.strip())
    if t.tzinfo is not None:
        t = t.astimezone(dt.timezone(dt.timedelta(hours=zone))).replace(tzinfo=None)
    return t


def series_rows(reader: Iterator[list[str]], source: str, site: Site, base: Weather,
                progress: Progress) -> Iterator[list[str]]:
    try:
        header = [h.strip() for h in next(reader)]
    except StopIteration:
        raise UsageError(f"{source}: empty file, expected a header line") from None
    if "time" not in header:
        raise UsageError(f"{source}: no column 'time'")
    unknown = [h for h in header if h != "time" and h not in WEATHER_FIELDS]
    if unknown:
        raise UsageError(f"{source}: unknown column {unknown[0]!r}; known: time, "
                         + ", ".join(WEATHER_FIELDS))
    if len(set(header)) != len(header):
        raise UsageError(f"{source}: a column name appears twice")
    where = {name: header.index(name) for name in WEATHER_FIELDS if name in header}
    at = header.index("time")
    done = 0
    for cells in reader:
        line = reader.line_num  # type: ignore[attr-defined]
        if not any(c.strip() for c in cells):
            continue
        if len(cells) != len(header):
            raise UsageError(f"{source} line {line}: {len(cells)} cells, expected {len(header)}")
        try:
            t = parse_time(cells[at], site.zone)
        except ValueError:
            raise UsageError(f"{source} line {line}: not a time: {cells[at]!r}") from None
        changes: dict[str, Any] = {}
        for name, i in where.items():
            text = cells[i].strip()
            if not text:
                continue
            try:
                value = float(text)
            except ValueError:
                raise UsageError(f"{source} line {line}: {name} is not a number: {text!r}") \
                    from None
            unit, low, high = WEATHER_FIELDS[name]
            try:
                changes[name] = check(name, value, low, high, unit)
            except UsageError as e:
                raise UsageError(f"{source} line {line}: {e}") from None
        weather = dataclasses.replace(base, **changes) if changes else base
        clock = t.hour + t.minute / 60 + (t.second + t.microsecond / 1e6) / 3600
        r = step(site, t.timetuple().tm_yday, clock, weather)
        done += 1
        progress.update(done)
        yield [cells[at].strip(), *(fmt(r[n]) for n in NAMES)]
    progress.update(done, final=True)


def count_rows(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as f:
            return max(sum(1 for line in f if line.strip()) - 1, 0)
    except OSError:
        return None


def run_series(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    if args.json or args.plot:
        raise UsageError("--input writes CSV; --json and --plot are for a single day")
    site, base = site_of(args), weather_of(args)
    source = args.input
    if source == "-":
        stream: IO[str] = sys.stdin
        total = None
    else:
        try:
            stream = open(source, newline="", encoding="utf-8")
        except OSError as e:
            raise UsageError(f"cannot read {source}: {e.strerror or e}") from None
        total = count_rows(source)
    try:
        reader = csv.reader(stream)
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", *NAMES])
        writer.writerows(series_rows(reader, source, site, base, Progress(total, err)))
    except UnicodeDecodeError:
        raise UsageError(f"{source}: not UTF-8 text") from None
    except csv.Error as e:
        raise UsageError(f"{source}: {e}") from None
    finally:
        if stream is not sys.stdin:
            stream.close()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the main job with ``argv`` (default: the command line); returns the
    exit status: 0 done, 2 bad input."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.input:
            run_series(args, sys.stdout, sys.stderr)
        else:
            run_day(args, sys.stdout)
    except UsageError as e:
        sys.stdout.flush()
        sys.stderr.write(f"klimora: error: {e}\n")
        return 2
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    return 0
