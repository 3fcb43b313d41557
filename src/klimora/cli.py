"""The main job: radiation and mean radiant temperature at a site over a day,
or along a weather time series.  ``python -m klimora --help`` tells how.

Both go through :func:`klimora.chain.chain`: a day as one frame of its clock
times, a time series chunk by chunk (:data:`CHUNK_ROWS` rows), each chunk
read, checked and computed before any of it is written.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import dataclasses
import datetime as dt
import io
import itertools
import json
import math
import os
import re
import sys
import textwrap
import time
import warnings
from typing import IO, Any, BinaryIO, Iterator, NoReturn, Optional, Sequence, Union, cast

import numpy as np

from klimora import __version__
from klimora import chain as C
from klimora.day import ASSUMPTIONS, COLUMNS, NAMES, Site, Weather, clock_times, run

EXAMPLE_DATE = dt.date(2025, 6, 21)
DEFAULT_STEP = 60.0
#: Rows of a time series read, checked, computed and written at a time.
CHUNK_ROWS = 100_000
#: What an empty or missing cell of a time series may hold.
MISSING = ("", "nan", "NaN", "NAN", "NA", "N/A", "n/a", "null", "NULL")
#: The time zones a number of hours may name (as klimora.chain.Site takes them).
ZONE_RANGE = (-12.0, 14.0)
#: Where the options' defaults are worked out by the chain instead.
WORKED_OUT = {"vapour_pressure": "from air temperature and humidity",
              "longwave_down": "counter-radiation of the sky",
              "longwave_up": "from the surface temperature", "diffuse": "global minus direct"}
METAVARS = {"degC": "DEGC", "%": "PERCENT", "hPa": "HPA", "oktas": "OKTAS", "m/s": "M_S",
            "W/m2": "W_M2"}
#: The weather options: the fields of Weather, constant over a day.
OPTIONS = tuple(field.name for field in dataclasses.fields(Weather))
#: Every column a time series may hold besides "time".
SERIES_COLUMNS = tuple(C.WEATHER)
#: The site's options: chain's name -> option.
SITE_OPTIONS = {"latitude": "lat", "longitude": "lon", "height": "height"}
STDIN = "<stdin>"


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


class CannotWrite(Exception):
    """The output could not be written (a full disk, say): one line, exit
    status 1."""


class Output(io.TextIOBase):
    """A text stream whose write errors end the run in one line that names
    it, rather than in a traceback; a closed pipe stays BrokenPipeError."""

    def __init__(self, stream: IO[str], name: str) -> None:
        super().__init__()
        self.stream, self.name = stream, name

    def write(self, text: str) -> int:
        with self.reported():
            return self.stream.write(text)

    def flush(self) -> None:
        with self.reported():
            self.stream.flush()

    @contextlib.contextmanager
    def reported(self) -> Iterator[None]:
        try:
            yield
        except BrokenPipeError:
            raise
        except OSError as e:
            raise CannotWrite(f"cannot write {self.name}: {e.strerror or e}") from None

    def isatty(self) -> bool:
        return self.stream.isatty()

    def writable(self) -> bool:
        return True


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def option(name: str) -> str:
    return "--" + name.replace("_", "-")


def check(name: str, value: float, low: float, high: float, unit: str = "") -> float:
    """``value`` if it is a number in [low, high]; UsageError otherwise (NaN too)."""
    if not (math.isfinite(value) and low <= value <= high):
        unit = f" {unit}" if unit and unit != "1" else ""
        raise UsageError(f"{name} must be between {low:g} and {high:g}{unit}, not {value:g}")
    return value


def one_line(error: BaseException) -> str:
    """An exception's message on one line, without chain's count of values."""
    text = " ".join(str(error).split())
    return re.sub(r" \(\d+ values?\)$", "", text)


#: A number as a CSV cell or an option may write it: ASCII decimal digits
#: with an optional sign, point and exponent, or an infinity or NaN spelt
#: out.  Python's float also takes "1_0" and other scripts' digits ("２０").
DECIMAL = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)",
                     re.ASCII | re.IGNORECASE)


def decimal(text: str) -> float:
    """The number ``text`` writes (blanks around it aside); ValueError if it
    is not wholly one."""
    text = text.strip()
    if not DECIMAL.fullmatch(text):
        raise ValueError(f"not a number: {text!r}")
    return float(text)


def number(text: str) -> float:
    try:
        return decimal(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def zone_value(text: str) -> Union[float, str]:
    """Hours east of UTC, or the name of a time zone pandas knows."""
    try:
        return decimal(text)
    except ValueError:
        pass
    import pandas as pd

    try:
        pd.Timestamp("2000-01-01").tz_localize(text)
    except (KeyError, ValueError, TypeError, OSError):  # pytz and zoneinfo: unknown zone
        raise argparse.ArgumentTypeError(
            f"neither hours east of UTC nor a time zone name such as Europe/Berlin: {text!r}") \
            from None
    return text


def parse_date(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date of the form YYYY-MM-DD: {text!r}") from None


def description() -> str:
    lines = [
        "Radiation and mean radiant temperature of a person outdoors at one site, over a day",
        "(or along a weather time series with --input), by the functions of klimora.Strahlkit",
        "through klimora.chain.",
        f"Without options: the example site 48.14 N, 11.58 E, 520 m, UTC+1, on {EXAMPLE_DATE}.",
        "For every cell of a weather grid (NetCDF or Zarr, on dask): klimora grid --help.",
        "",
        "Assumptions beyond the module:",
    ]
    for a in ASSUMPTIONS:
        lines += textwrap.wrap(a, 78, initial_indent="  - ", subsequent_indent="    ")
    lines += ["", "Output columns:",
              "  time: clock time in the site's zone (with --input: the file's time stamp)"]
    lines += [f"  {name} ({unit}): {meaning}" for name, unit, meaning in COLUMNS]
    name, unit, meaning = C.UTCI_COLUMN
    lines += [f"  {name} ({unit}), with --utci: {meaning}"]
    return "\n".join(lines)


def build_parser() -> Parser:
    p = Parser(prog="klimora", description=description(),
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"klimora {__version__}")
    site = p.add_argument_group("site and day")
    site.add_argument("--lat", type=number, default=48.14, help="latitude, deg N (default 48.14)")
    site.add_argument("--lon", type=number, default=11.58,
                      help="longitude, deg E (default 11.58)")
    site.add_argument("--zone", type=zone_value, default=1.0, metavar="HOURS_OR_NAME",
                      help="time zone of the clock times and of time stamps without an offset: "
                           "hours east of UTC, or a zone name such as Europe/Berlin, with its "
                           "daylight saving time (default 1)")
    site.add_argument("--height", type=number, default=520.0,
                      help="height above sea level, m (default 520)")
    site.add_argument("--date", type=parse_date,
                      help=f"the day, YYYY-MM-DD (default {EXAMPLE_DATE})")
    site.add_argument("--step", type=number,
                      help=f"time step over the day, minutes (default {DEFAULT_STEP:g})")
    weather = p.add_argument_group("weather (constant over the day; with --input, for the "
                                   "columns the file lacks)")
    defaults = Weather()
    for name in OPTIONS:
        unit, _, low, high, meaning = C.WEATHER[name]
        default = getattr(defaults, name)
        shown = f"default: {WORKED_OUT[name]}" if default is None else f"default {default:g}"
        span = f"{low:g} to {high:g}" + ("" if unit == "1" else f" {unit.replace('%', '%%')}")
        shown = f"{span}; {shown}"
        weather.add_argument(option(name), dest=name, type=number, default=default,
                             metavar=METAVARS.get(unit, "VALUE"),
                             help=f"{meaning.removeprefix('measured ')} ({shown})")
    model = p.add_argument_group("model")
    model.add_argument("--projection-factor", choices=C.PROJECTION_FACTORS, default="system",
                       help="projection factor of a standing person for the direct beam: the "
                            "system's (MittlStrTemp's own) or the published one of VDI 3789 "
                            "(default system)")
    model.add_argument("--utci", action="store_true",
                       help="add the column utci, the Universal Thermal Climate Index "
                            "(needs pythermalcomfort: pip install 'klimora[utci]')")
    out = p.add_argument_group("output (default: an aligned table)")
    form = out.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="comma-separated values")
    form.add_argument("--json", action="store_true",
                      help="one JSON object: site, date, weather, units and rows")
    out.add_argument("--plot", metavar="FILE.png",
                     help="also draw the day's course into FILE.png (or .pdf, .svg, any format "
                          "matplotlib writes; needs klimora[plot])")
    out.add_argument("--input", metavar="WEATHER.csv",
                     help="time series mode: read a CSV file ('-' for standard input) with a "
                          "column 'time' (ISO 8601: YYYY-MM-DDTHH:MM[:SS], clock time in --zone, "
                          "or with Z or an offset such as +02:00) and any of the columns "
                          f"{', '.join(SERIES_COLUMNS)}; writes CSV, one row per row; columns "
                          "the file lacks take the options' values, empty or NaN cells give "
                          "NaN where they count")
    return p


def site_of(args: argparse.Namespace) -> Site:
    values: dict[str, float] = {}
    for name, dest in SITE_OPTIONS.items():
        unit, low, high = C.SITE[name]
        values[name] = check("--" + dest, getattr(args, dest), low, high, unit)
    zone = args.zone
    if not isinstance(zone, str):
        zone = check("--zone", zone, *ZONE_RANGE, "h")
    try:
        return Site(zone=zone, **values)
    except ValueError as e:
        raise option_error(e) from None


def weather_of(args: argparse.Namespace) -> Weather:
    values = {}
    for name in OPTIONS:
        value = getattr(args, name)
        if value is not None:
            unit, _, low, high, _ = C.WEATHER[name]
            check(option(name), value, low, high, unit)
        values[name] = value
    try:
        return Weather(**values)
    except ValueError as e:
        raise option_error(e) from None


def option_error(error: ValueError) -> UsageError:
    """chain's refusal of the options' values, in the options' names."""
    text = one_line(error)
    for name in OPTIONS:
        text = re.sub(rf"\b{name}\b", option(name), text)
    return UsageError(text)


def need_utci() -> None:
    try:
        import pythermalcomfort.models  # noqa: F401
    except ImportError:
        raise UsageError("--utci needs pythermalcomfort: pip install 'klimora[utci]'") from None


def columns_of(args: argparse.Namespace) -> tuple[tuple[str, str, str], ...]:
    return C.result_columns(args.utci)


def counted(count: int, thing: str) -> str:
    return f"{count} {thing}" + ("" if count == 1 else "s")


def fmt(value: float) -> str:
    return repr(float(value))


def clock_text(clock: float) -> str:
    minutes = round(clock * 60)
    return f"{minutes // 60:02d}:{minutes % 60:02d}"


def zone_text(zone: Union[float, str]) -> str:
    return zone if isinstance(zone, str) else f"UTC{zone:+g} h"


def write_table(rows: list[tuple[str, list[float]]], columns: Sequence[tuple[str, str, str]],
                out: IO[str]) -> None:
    header = ["time", *(name for name, _, _ in columns)]
    units = ["", *(unit for _, unit, _ in columns)]
    cells = [[t, *(f"{v:.2f}" for v in values)] for t, values in rows]
    widths = [max(len(h), len(u), *(len(c[i]) for c in cells))
              for i, (h, u) in enumerate(zip(header, units))]
    for line in (header, units, *cells):
        out.write("  ".join(c.rjust(w) for c, w in zip(line, widths)).rstrip() + "\n")


PLOT_FORMATS_WITHOUT_MATPLOTLIB = ("png", "pdf", "svg")


def check_plot(path: str) -> None:
    """Everything --plot needs that can be known before the day is computed."""
    if not path.strip():
        raise UsageError("--plot needs a file name, such as day.png")
    if os.path.isdir(path):
        raise UsageError(f"--plot {path}: is a directory; give a file name, such as day.png")
    folder = os.path.dirname(path)
    if folder and not os.path.isdir(folder):
        raise UsageError(f"cannot write {path}: no directory {folder}")
    try:
        import matplotlib  # noqa: F401
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'klimora[plot]'") from None
    formats = sorted(FigureCanvasBase.get_supported_filetypes())
    extension = os.path.splitext(path)[1]
    if extension.lower().lstrip(".") not in formats:
        said = f"unknown format {extension!r}" if extension else "no extension"
        raise UsageError(f"--plot {path}: {said}; use .png, .pdf, .svg or another of "
                         + ", ".join("." + f for f in formats))


def write_plot(path: str, hours: list[float], values: Any, site: Site, date: dt.date,
               weather: Weather) -> None:
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8.5, 5.5), dpi=80)
    for name, label in (("global_max", "global, clear sky"), ("global", "global"),
                        ("direct", "direct beam"), ("diffuse", "diffuse"),
                        ("counter", "long-wave from the sky"),
                        ("longwave_up", "long-wave from the ground")):
        top.plot(hours, values[name], label=label)
    top.set_ylabel("W/m²")
    top.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    bottom.axhline(weather.air_temp, color="grey", linestyle="--", label="air")
    bottom.plot(hours, values["surface_temp"], label="ground surface")
    bottom.plot(hours, values["mrt"], label="mean radiant temperature")
    if "utci" in values:
        bottom.plot(hours, values["utci"], label="UTCI")
    bottom.set_ylabel("°C")
    bottom.set_xlabel(f"clock time, {zone_text(site.zone)}")
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


def run_day(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    site, weather = site_of(args), weather_of(args)
    step_minutes = check("--step", DEFAULT_STEP if args.step is None else args.step, 1, 1440,
                         "min")
    date: dt.date = args.date or EXAMPLE_DATE
    if args.utci:
        need_utci()
    if args.plot is not None:
        check_plot(args.plot)
    clocks = clock_times(step_minutes)
    columns = columns_of(args)
    names = [name for name, _, _ in columns]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pythermalcomfort's, on values outside UTCI's range
            frame = run(site, date, clocks, weather, args.projection_factor, args.utci)
    except ValueError as e:
        raise option_error(e) from None
    values = {name: frame[name].to_numpy(dtype=float) for name in names}
    rows = [(clock_text(clock), [float(values[n][i]) for n in names])
            for i, clock in enumerate(clocks)]
    if args.plot is not None:
        write_plot(args.plot, clocks, values, site, date, weather)
    if args.json:
        json.dump({"site": dataclasses.asdict(site), "date": date.isoformat(),
                   "day_of_year": date.timetuple().tm_yday,
                   "weather": dataclasses.asdict(weather),
                   "projection_factor": args.projection_factor,
                   "units": {name: unit for name, unit, _ in columns},
                   "assumptions": list(ASSUMPTIONS),
                   "rows": [{"time": t, **{n: (v if math.isfinite(v) else None)
                                           for n, v in zip(names, r)}} for t, r in rows]},
                  out, indent=1)
        out.write("\n")
    elif args.csv:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", *names])
        writer.writerows([t, *map(fmt, r)] for t, r in rows)
    else:
        write_table(rows, columns, out)
    unplaced = int(np.isnan(values["solar_time"]).sum())
    if unplaced:
        out.flush()
        err.write(f"klimora: {counted(unplaced, 'clock time')} of {date} "
                  f"{'does' if unplaced == 1 else 'do'} not exist or "
                  f"{'is' if unplaced == 1 else 'are'} ambiguous in {site.zone} (daylight "
                  f"saving); {'its row is' if unplaced == 1 else 'their rows are'} NaN\n")


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: Optional[int], stream: IO[str], unit: str = "rows") -> None:
        self.total, self.stream, self.unit = total, stream, unit
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
            filled = round(30 * min(done, self.total) / self.total)
            bar = f"[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}"
        else:
            bar = f"{done} {self.unit}"
        self.stream.write(f"\r{bar} {rate:,.0f} {self.unit}/s")
        if final:
            self.stream.write("\n")
        self.stream.flush()


def count_rows(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as f:
            return max(sum(1 for line in f if line.strip()) - 1, 0)
    except OSError:
        return None


# Reading a time series.

@dataclasses.dataclass
class Chunk:
    """Rows of a time series, read and checked: the time stamps as given,
    the times in UTC and the weather as a frame, each row's line in the file,
    the count of empty or NaN cells and of naive time stamps that do not
    exist or are ambiguous in the zone."""

    stamps: Any
    frame: Any
    lines: Any
    missing: int
    unplaced: int


#: A time stamp that carries its zone: Z or an offset after the time of day.
AWARE = r"[T ]\d\d[\d:.,]*\s*(?:[Zz]|[+-]\d\d(?::?\d\d)?)$"


def exact_floats() -> dict[str, str]:
    """read_csv's arguments for numbers read to the bit as Python's float
    reads them: pandas 3 does so by default (and deprecates the option),
    pandas 2 only with its round-trip parser."""
    import pandas as pd

    return {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}


class SeriesReader:
    """Reads a weather CSV from a binary stream, :data:`CHUNK_ROWS` lines at
    a time: each chunk is checked (UTF-8, cells per row, numbers, time
    stamps) and parsed by pandas before it is handed on, and every error
    names the file and line."""

    def __init__(self, stream: BinaryIO, source: str, zone: Union[float, str]) -> None:
        self.stream, self.source, self.zone = stream, source, zone
        first = stream.readline()
        if not first:
            raise UsageError(f"{source}: empty file, expected a header line")
        if first.startswith(codecs.BOM_UTF8):
            first = first[len(codecs.BOM_UTF8):]
        if b"\0" in first:
            self.fail(1, "a NUL byte in the header line")
        header = [h.strip() for h in next(csv.reader([self.text(first, 1).rstrip("\r\n")]), [])]
        if "time" not in header:
            raise UsageError(f"{source}: no column 'time'")
        unknown = [h for h in header if h != "time" and h not in C.WEATHER]
        if unknown:
            raise UsageError(f"{source}: unknown column {unknown[0]!r}; known: time, "
                             + ", ".join(SERIES_COLUMNS))
        if len(set(header)) != len(header):
            raise UsageError(f"{source}: a column name appears twice")
        self.header = header
        self.weather = [h for h in header if h != "time"]
        self.next_line = 2

    def text(self, data: bytes, line: int) -> str:
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as e:
            at = line + data.count(b"\n", 0, e.start)
            raise UsageError(f"{self.source} line {at}: not UTF-8 text "
                             f"(byte 0x{data[e.start]:02x})") from None

    def fail(self, line: int, message: str) -> NoReturn:
        raise UsageError(f"{self.source} line {line}: {message}")

    def __iter__(self) -> Iterator[Chunk]:
        while True:
            lines = list(itertools.islice(self.stream, CHUNK_ROWS))
            if not lines:
                return
            data = b"".join(lines)
            while data.count(b'"') % 2:  # a quoted cell goes on in the next line
                more = self.stream.readline()
                if not more:
                    break
                lines.append(more)
                data += more
            first, self.next_line = self.next_line, self.next_line + len(lines)
            chunk = self.chunk(lines, data, first)
            if len(chunk.lines):
                yield chunk

    def record_lines(self, lines: list[bytes], data: bytes, first: int) -> Any:
        """The line each record starts on; UsageError for a record with a
        wrong number of cells (blank lines are records of no cells)."""
        width = len(self.header)
        if b'"' not in data:
            commas = np.fromiter((line.count(b",") for line in lines), dtype=np.int64,
                                 count=len(lines))
            for i in np.flatnonzero(commas != width - 1):
                if lines[i].strip():
                    self.fail(first + i, f"{commas[i] + 1} cells, expected {width}")
            return first + np.arange(len(lines))
        reader = csv.reader(io.StringIO(data.decode("utf-8"), newline=""))
        starts, before = [], 0
        for cells in reader:
            if len(cells) != width and any(c.strip() for c in cells):
                self.fail(first + before, f"{len(cells)} cells, expected {width}")
            starts.append(first + before)
            before = reader.line_num
        return np.array(starts, dtype=np.int64)

    def read(self, data: bytes, numbers: bool) -> Any:
        import pandas as pd

        return pd.read_csv(io.BytesIO(data), header=None, names=self.header, encoding="utf-8",
                           dtype={name: (float if numbers and name != "time" else str)
                                  for name in self.header},
                           keep_default_na=False,
                           na_values={name: MISSING for name in self.weather} if numbers else (),
                           skip_blank_lines=False, **exact_floats())

    def numbers(self, raw: Any, lines: Any) -> dict[str, Any]:
        """The weather columns of ``raw`` (text) as floats, by Python's float;
        UsageError naming the line of the first that is not a number."""
        values = {}
        for name in self.weather:
            column = np.empty(len(raw))
            for i, cell in enumerate(raw[name]):
                text = cell.strip()
                try:
                    column[i] = math.nan if text in MISSING else decimal(text)
                except ValueError:
                    self.fail(lines[i], f"{name} is not a number: {text!r}")
            values[name] = column
        return values

    def refuse_nul(self, data: bytes, first: int) -> None:
        """UsageError for the cell that holds the first NUL byte: pandas's
        reader would end the cell there and take what came before."""
        at = data.find(b"\0")
        if at < 0:
            return
        start = data.rfind(b"\n", 0, at) + 1
        end = data.find(b"\n", at)
        line = data[start:end if end >= 0 else len(data)].decode("utf-8").rstrip("\r")
        # The csv module of Python 3.10 refuses NUL itself: parsed in a stand-in.
        cells = next(csv.reader([line.replace("\0", "\ufffe")]))
        column = next(k for k, cell in enumerate(cells) if "\ufffe" in cell)
        cell = cells[column].replace("\ufffe", "\0").strip()
        name = self.header[column] if column < len(self.header) else "a cell"
        what = "not a time" if name == "time" else f"{name} is not a number"
        self.fail(first + data.count(b"\n", 0, at), f"{what}: {cell!r}")

    def chunk(self, lines: list[bytes], data: bytes, first: int) -> Chunk:
        import pandas as pd

        self.text(data, first)
        self.refuse_nul(data, first)
        starts = self.record_lines(lines, data, first)
        try:
            try:
                frame = self.read(data, numbers=True)
                values = {name: frame[name].to_numpy(dtype=float) for name in self.weather}
            except ValueError:  # a cell that is no number, or one pandas reads otherwise
                frame = self.read(data, numbers=False)
                values = self.numbers(frame, starts)
        except pd.errors.ParserError as e:
            raise UsageError(f"{self.source} lines {first}-{self.next_line - 1}: "
                             f"{one_line(e)}") from None
        if len(frame) != len(starts):  # pandas split records otherwise (a lone carriage return)
            starts = np.full(len(frame), first)
        stamps = frame["time"].str.strip()
        empty = np.array(stamps == "", dtype=bool)   # pandas 3 hands out read-only arrays
        for column in values.values():
            empty &= np.isnan(column)
        if empty.any():  # blank lines
            keep = ~empty
            stamps, starts = stamps[keep], starts[keep]
            values = {name: column[keep] for name, column in values.items()}
        times, unplaced = self.times(stamps.reset_index(drop=True), starts)
        # The times as a column: chain takes a zoned index element by element.
        return Chunk(stamps.to_numpy(dtype=object), pd.DataFrame({"time": times, **values}),
                     starts, sum(int(np.isnan(v).sum()) for v in values.values()), unplaced)

    def times(self, stamps: Any, lines: Any) -> tuple[Any, int]:
        """The time stamps as a Series of times in UTC, and how many naive ones
        the zone skips or repeats (NaT); UsageError for one that is no time."""
        import pandas as pd

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas on mixed offsets
            try:
                parsed = pd.to_datetime(stamps, format="ISO8601", errors="coerce")
            except (ValueError, TypeError):
                parsed = stamps
        if not pd.api.types.is_datetime64_any_dtype(parsed):  # naive and zoned, or offsets
            aware = stamps.str.contains(AWARE, regex=True).to_numpy()
            zoned = pd.to_datetime(stamps[aware], format="ISO8601", errors="coerce", utc=True)
            naive = pd.to_datetime(stamps[~aware], format="ISO8601", errors="coerce")
            if not pd.api.types.is_datetime64_dtype(naive):  # an offset AWARE does not see
                naive = pd.Series(pd.NaT, index=naive.index, dtype="datetime64[ns]")
            bad = np.empty(len(stamps), dtype=bool)
            bad[aware], bad[~aware] = zoned.isna().to_numpy(), naive.isna().to_numpy()
            parsed = pd.Series(pd.NaT, index=stamps.index, dtype="datetime64[ns, UTC]")
            parsed[aware], parsed[~aware] = zoned, self.localize(naive)
        else:
            bad = parsed.isna().to_numpy()
            parsed = self.localize(parsed) if parsed.dt.tz is None else parsed.dt.tz_convert("UTC")
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            stamp = stamps.iloc[i]
            date = re.match(r"\d{4}-\d\d-\d\d", stamp, re.ASCII)
            low, high = f"{pd.Timestamp.min:%Y-%m-%d}", f"{pd.Timestamp.max:%Y-%m-%d}"
            if date and not low < date[0] < high:   # pandas holds times in nanoseconds
                self.fail(lines[i], f"{stamp!r} is outside the times klimora reads, {low} to "
                                    f"{high}")
            self.fail(lines[i], f"not a time: {stamp!r}")
        return parsed, int(parsed.isna().sum())

    def localize(self, naive: Any) -> Any:
        """Naive times in the zone, in UTC."""
        import pandas as pd

        if isinstance(self.zone, str):
            return naive.dt.tz_localize(self.zone, ambiguous="NaT", nonexistent="NaT") \
                .dt.tz_convert("UTC")
        return (naive - pd.Timedelta(hours=self.zone)).dt.tz_localize("UTC")


def refused_row(frame: Any, site: C.Site, projection_factor: str) -> tuple[int, str]:
    """The first row chain refuses, by halving, and chain's message for it;
    -1 if it refuses only rows together."""
    lo, hi = 0, len(frame)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            C.chain(frame.iloc[lo:mid], site=site, projection_factor=projection_factor)
            lo = mid
        except ValueError:
            hi = mid
    try:
        C.chain(frame.iloc[lo:lo + 1], site=site, projection_factor=projection_factor)
    except ValueError as e:
        return lo, one_line(e)
    return -1, ""


def run_series(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    for flag, given in (("--json", args.json), ("--plot", args.plot is not None),
                        ("--step", args.step is not None), ("--date", args.date is not None)):
        if given:
            raise UsageError(f"--input writes CSV at the file's own times; {flag} is for a "
                             "single day")
    site, base = site_of(args), weather_of(args)
    if args.utci:
        need_utci()
    try:
        chain_site = site.for_chain()
    except ValueError as e:
        raise option_error(e) from None
    source = args.input
    if source == "-":
        stream: BinaryIO = sys.stdin.buffer
        name, total = STDIN, None
    else:
        try:
            stream = open(source, "rb")
        except OSError as e:
            raise UsageError(f"cannot read {source}: {e.strerror or e}") from None
        name = source
        total = count_rows(source) if err.isatty() else None
    progress = Progress(total, err)
    names = ["time", *(name for name, _, _ in columns_of(args))]
    done = missing = unplaced = 0
    try:
        reader = SeriesReader(stream, name, site.zone)
        filled = {key: value for key, value in base.given().items() if key not in reader.weather}
        header = True
        for chunk in reader:
            frame = chunk.frame.assign(**filled)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # pythermalcomfort's, outside UTCI's range
                    result = C.chain(frame, site=chain_site,
                                     projection_factor=args.projection_factor, utci=args.utci)
            except ValueError as e:
                row, message = refused_row(frame, chain_site, args.projection_factor)
                if row < 0:
                    raise UsageError(f"{name} lines {chunk.lines[0]}-{chunk.lines[-1]}: "
                                     f"{one_line(e)}") from None
                raise UsageError(f"{name} line {chunk.lines[row]}: {message}") from None
            result.insert(0, "time", chunk.stamps)
            result.to_csv(out, columns=names, header=header, index=False, na_rep="nan",
                          lineterminator="\n")
            header = False
            done += len(frame)
            missing += chunk.missing
            unplaced += chunk.unplaced
            progress.update(done)
        if header:
            out.write(",".join(names) + "\n")
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    progress.update(done, final=True)
    out.flush()
    if missing:
        err.write(f"klimora: {counted(missing, 'empty or NaN cell')}; their rows have NaN where "
                  "they count\n")
    if unplaced:
        err.write(f"klimora: {counted(unplaced, 'time stamp')} without an offset "
                  f"{'does' if unplaced == 1 else 'do'} not exist or "
                  f"{'is' if unplaced == 1 else 'are'} ambiguous in {site.zone} (daylight "
                  f"saving); {'its row is' if unplaced == 1 else 'their rows are'} NaN\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the main job with ``argv`` (default: the command line); returns the
    exit status: 0 done, 1 the output could not be written, 2 bad input, 130
    interrupted (Ctrl-C)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if argv[:1] == ["grid"]:
            from klimora.grid import command
            command.main(argv[1:], sys.stderr)
            return 0
        args = build_parser().parse_args(argv)
        out = cast(IO[str], Output(sys.stdout, "standard output"))
        if args.input:
            run_series(args, out, sys.stderr)
        else:
            run_day(args, out, sys.stderr)
        out.flush()
    except UsageError as e:
        sys.stdout.flush()
        sys.stderr.write(f"klimora: error: {e}\n")
        return 2
    except CannotWrite as e:
        sys.stderr.write(f"klimora: error: {e}\n")
        # What stays in stdout's buffer could not be written at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("klimora: interrupted\n")
        return 130
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    return 0
