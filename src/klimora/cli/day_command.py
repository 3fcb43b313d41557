"""``klimora``: radiation and mean radiant temperature at one site over a
day, as an aligned table, CSV or JSON, and drawn with ``--plot``.

The options and ``--help`` are made from the registry of quantities
(:mod:`klimora.quantities`): an option for each weather quantity that is
constant over a day, with its range, unit and default, and the site's
defaults and ranges.  Each option is checked where it enters, by
:func:`klimora.quantities.check`.  The same parser serves the time series
mode (``--input``, :mod:`klimora.cli.series_command`).
"""

from __future__ import annotations

import argparse
import datetime as dt
import re
import textwrap
import warnings
from typing import IO, Any, Optional

import numpy as np

from klimora import __version__
from klimora import chain as C
from klimora import quantities as Q
from klimora.cli.common import (Parser, UsageError, counted, number, one_line, option,
                                parse_date, zone_value)
from klimora.day import ASSUMPTIONS, Site, Weather, clock_times, run
from klimora.iotools.plot import check_plot, write_plot
from klimora.iotools.tables import clock_text, write_csv, write_json, write_table

__all__ = ["DEFAULT_STEP", "EXAMPLE_DATE", "JSON_SITE", "OPTIONS", "STEP", "build_parser",
           "checked", "columns_of", "description", "metavar", "need_utci", "option_error",
           "run_day", "site_of", "weather_of"]

EXAMPLE_DATE = dt.date(2025, 6, 21)
DEFAULT_STEP = 60.0
#: The time step over a day, checked as the registry's quantities are.
STEP = Q.Quantity("step", "min", "min", "time step over the day", valid_min=1.0,
                  valid_max=1440.0, default=DEFAULT_STEP)
#: The weather options: the registry's weather that is constant over a day,
#: in its order, except that --diffuse comes after the long-wave options,
#: where --help and the JSON's "weather" have always had it.
OPTIONS = tuple(sorted((name for name, q in Q.WEATHER.items() if q.day_option),
                       key=lambda name: name == "diffuse"))
#: The site's options: the registry's name -> option.
SITE_OPTIONS = {"latitude": "lat", "longitude": "lon", "height": "height"}
#: The site's fields in the JSON object, in their order.
JSON_SITE = ("latitude", "longitude", "zone", "height")
#: Metavars of units that are not words.
METAVARS = {"%": "PERCENT", "1": "VALUE"}


def metavar(symbol: str) -> str:
    """An option's metavar from its unit: DEGC, M_S, W_M2, PERCENT."""
    return METAVARS.get(symbol) or re.sub(r"\W", "_", symbol).upper()


def description() -> str:
    lat, lon, height, zone = (Q.SITE[name].default
                              for name in ("latitude", "longitude", "height", "zone"))
    lines = [
        "Radiation and mean radiant temperature of a person outdoors at one site, over a day",
        "(or along a weather time series with --input), by the functions of klimora.Strahlkit",
        "through klimora.chain.",
        f"Without options: the example site {lat:g} N, {lon:g} E, {height:g} m, UTC{zone:+g}, "
        f"on {EXAMPLE_DATE}.",
        "For every cell of a weather grid (NetCDF or Zarr, on dask): klimora grid --help.",
        "",
        "Assumptions beyond the module:",
    ]
    for a in ASSUMPTIONS:
        lines += textwrap.wrap(a, 78, initial_indent="  - ", subsequent_indent="    ")
    lines += ["", "Output columns:",
              "  time: clock time in the site's zone (with --input: the file's time stamp)"]
    plain = C.result_columns(False)
    lines += [f"  {name} ({unit}): {meaning}" for name, unit, meaning in plain]
    lines += [f"  {name} ({unit}), with --utci: {meaning}"
              for name, unit, meaning in C.result_columns(True)[len(plain):]]
    return "\n".join(lines)


def weather_help(q: Q.Quantity) -> str:
    """An option's help: its meaning, range, unit and default."""
    shown = f"default: {q.worked_out}" if q.default is None else f"default {q.default:g}"
    span = f"{q.valid_min:g} to {q.valid_max:g}" + \
        ("" if q.symbol == "1" else f" {q.symbol.replace('%', '%%')}")
    return f"{q.long_name.removeprefix('measured ')} ({span}; {shown})"


def build_parser() -> Parser:
    p = Parser(prog="klimora", description=description(),
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"klimora {__version__}")
    site = p.add_argument_group("site and day")
    lat, lon, height, zone = (Q.SITE[name] for name in ("latitude", "longitude", "height",
                                                         "zone"))
    site.add_argument("--lat", type=number, default=lat.default,
                      help=f"{lat.long_name}, {lat.symbol} N (default {lat.default:g})")
    site.add_argument("--lon", type=number, default=lon.default,
                      help=f"{lon.long_name}, {lon.symbol} E (default {lon.default:g})")
    site.add_argument("--zone", type=zone_value, default=zone.default, metavar="HOURS_OR_NAME",
                      help="time zone of the clock times and of time stamps without an offset: "
                           "hours east of UTC, or a zone name such as Europe/Berlin, with its "
                           f"daylight saving time (default {zone.default:g})")
    site.add_argument("--height", type=number, default=height.default,
                      help=f"{height.long_name}, {height.symbol} (default {height.default:g})")
    site.add_argument("--date", type=parse_date,
                      help=f"the day, YYYY-MM-DD (default {EXAMPLE_DATE})")
    site.add_argument("--step", type=number,
                      help=f"time step over the day, minutes (default {DEFAULT_STEP:g})")
    weather = p.add_argument_group("weather (constant over the day; with --input, for the "
                                   "columns the file lacks)")
    for name in OPTIONS:
        q = Q.WEATHER[name]
        weather.add_argument(option(name), dest=name, type=number, default=q.default,
                             metavar=metavar(q.symbol), help=weather_help(q))
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
                          f"{', '.join(Q.WEATHER)}; writes CSV, one row per row; columns "
                          "the file lacks take the options' values, empty or NaN cells give "
                          "NaN where they count")
    return p


def checked(name: str, value: float, label: str, quantity: Optional[Q.Quantity] = None) -> float:
    """``value`` if it is a number in the range of the quantity ``name``;
    UsageError, naming it ``label``, otherwise (NaN too)."""
    try:
        Q.check(name, value, label=label, missing=False, quantity=quantity)
    except Q.OutOfRange as e:
        raise UsageError(one_line(e)) from None
    return value


def site_of(args: argparse.Namespace) -> Site:
    values = {name: checked(name, getattr(args, dest), "--" + dest)
              for name, dest in SITE_OPTIONS.items()}
    zone = args.zone
    if not isinstance(zone, str):
        zone = checked("zone", zone, "--zone")
    try:
        return Site(zone=zone, **values)
    except ValueError as e:
        raise option_error(e) from None


def weather_of(args: argparse.Namespace) -> Weather:
    values = {}
    for name in OPTIONS:
        value = getattr(args, name)
        if value is not None:
            checked(name, value, option(name))
        values[name] = value
    try:
        return Weather(**values)
    except ValueError as e:
        raise option_error(e) from None


def option_error(error: ValueError) -> UsageError:
    """The chain's refusal of the options' values, in the options' names."""
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


def run_day(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    site, weather = site_of(args), weather_of(args)
    step_minutes = checked("step", DEFAULT_STEP if args.step is None else args.step, "--step",
                           STEP)
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
        day_weather: dict[str, Any] = {name: getattr(weather, name) for name in OPTIONS}
        write_json(rows, columns, out, site={name: getattr(site, name) for name in JSON_SITE},
                   date=date, weather=day_weather, projection_factor=args.projection_factor,
                   assumptions=ASSUMPTIONS)
    elif args.csv:
        write_csv(rows, columns, out)
    else:
        write_table(rows, columns, out)
    unplaced = int(np.isnan(values["solar_time"]).sum())
    if unplaced:
        out.flush()
        err.write(f"klimora: {counted(unplaced, 'clock time')} of {date} "
                  f"{'does' if unplaced == 1 else 'do'} not exist or "
                  f"{'is' if unplaced == 1 else 'are'} ambiguous in {site.zone} (daylight "
                  f"saving); {'its row is' if unplaced == 1 else 'their rows are'} NaN\n")
