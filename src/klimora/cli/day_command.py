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
import dataclasses
import datetime as dt
import re
import textwrap
from typing import IO, Any, Optional

import numpy as np

from klimora import __version__
from klimora import chain as C
from klimora import quantities as Q
from klimora.cli.common import (PRECISION, TABLE_PRECISION, Parser, UsageError,
                                add_model_options, add_time_label_options, chain_warnings,
                                counted, decimals_of, number, one_line, option,
                                options_of, parse_date, precision_value, surface_of, told_line,
                                zone_value)
from klimora.day import (AMBIGUOUS, ASSUMPTIONS, Site, Weather, clock_times, day_hours, day_times,
                         run_at)
from klimora.iotools.plot import check_plot, write_plot, zone_text
from klimora.iotools.tables import time_text, write_csv, write_json, write_table

__all__ = ["DEFAULT_STEP", "EXAMPLE_DATE", "EXAMPLE_SITE", "JSON_SITE", "OPTIONS", "STEP",
           "build_parser", "checked", "columns_of", "description", "heading", "metavar",
           "option_error", "run_day", "sep_value", "site_of", "weather_of"]

#: The site and day of ``klimora`` without site options: Munich on midsummer day.
EXAMPLE_SITE = Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0)
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
SITE_OPTIONS = {"latitude": "lat", "longitude": "lon", "height": "height", "zone": "zone"}
#: The site's fields in the JSON object, in their order.
JSON_SITE = ("latitude", "longitude", "zone", "height")
#: Metavars of units that are not words.
METAVARS = {"%": "PERCENT", "1": "VALUE"}
#: --sep: what may be given -> the separator.
SEPARATORS = {",": ",", ";": ";", "tab": "\t", "\t": "\t"}


def metavar(symbol: str) -> str:
    """An option's metavar from its unit: DEGC, M_S, W_M2, PERCENT."""
    return METAVARS.get(symbol) or re.sub(r"\W", "_", symbol).upper()


def description() -> str:
    example = EXAMPLE_SITE
    lines = [
        "Radiation and mean radiant temperature of a person outdoors at one site, over a day",
        "(or along a weather time series with --input), by the functions of klimora.Strahlkit",
        "through klimora.chain.",
        f"Without site options: the example site {example.latitude:g} N, "
        f"{example.longitude:g} E, {example.height:g} m, UTC{example.zone:+g}, on {EXAMPLE_DATE}.",
        "A site of your own, and any --input, needs --lat and --lon; without --zone its times",
        "are UTC, without --height it lies at sea level, and a line on stderr says so.",
        "For every cell of a weather grid (NetCDF or Zarr, on dask): klimora grid --help.",
        "",
        "Assumptions beyond the module:",
    ]
    for a in ASSUMPTIONS:
        lines += textwrap.wrap(a, 78, initial_indent="  - ", subsequent_indent="    ")
    lines += ["", "Output columns:",
              "  time: the date and clock time in the site's zone with its offset, ISO 8601",
              "    (2025-06-21T12:00+02:00); with --input: the file's time stamp"]
    lines += [f"  {q.name} ({q.symbol})" + (f", with {asked_by(q.name)}" if q.optional else "")
              + f": {q.long_name}" for q in Q.RESULTS.values()]
    return "\n".join(lines)


def asked_by(index: str) -> str:
    """The options that add the column of a thermal index."""
    return ("--utci or " if index == "utci" else "") + f"--indices {index}"


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
    site = p.add_argument_group("site and day (without any site option, the example site)")
    lat, lon, height = (Q.SITE[name] for name in ("latitude", "longitude", "height"))
    example = EXAMPLE_SITE
    site.add_argument("--lat", type=number,
                      help=f"{lat.long_name}, {lat.symbol} N, with --lon (example site "
                           f"{example.latitude:g})")
    site.add_argument("--lon", type=number,
                      help=f"{lon.long_name}, {lon.symbol} E, with --lat (example site "
                           f"{example.longitude:g})")
    site.add_argument("--zone", type=zone_value, metavar="HOURS_OR_NAME",
                      help="time zone of the clock times and of time stamps without an offset: "
                           "hours east of UTC, or a zone name such as Europe/Berlin, with its "
                           f"daylight saving time (example site {example.zone:+g}; with --lat "
                           "and --lon, UTC)")
    site.add_argument("--ambiguous", choices=AMBIGUOUS, metavar="{" + ",".join(AMBIGUOUS) + "}",
                      help="a clock time that the change from daylight saving time repeats in "
                           "a zone name: nan (a row of NaN), earliest (the daylight saving "
                           "one), latest, or infer (from the order of the times, the first of "
                           "two the earlier).  Default: the day's rows are its real instants, "
                           "as infer: a repeated clock time twice, one for each offset, a "
                           "skipped one not at all, so that the days of the changes have their "
                           "23 or 25 hours; time stamps of --input: nan")
    site.add_argument("--height", type=number,
                      help=f"{height.long_name}, {height.symbol} (example site "
                           f"{example.height:g}; with --lat and --lon, sea level)")
    site.add_argument("--date", type=parse_date,
                      help=f"the day, YYYY-MM-DD (default {EXAMPLE_DATE})")
    site.add_argument("--step", type=number,
                      help=f"time step over the day, minutes (default {DEFAULT_STEP:g})")
    weather = p.add_argument_group("weather (constant over the day; with --input, for the "
                                   "columns the file lacks)")
    for name in OPTIONS:
        q = Q.WEATHER[name]
        weather.add_argument(option(name), dest=name, type=number,
                             metavar=metavar(q.symbol), help=weather_help(q))
    model = p.add_argument_group("model")
    add_model_options(model, "--bowen or a column bowen")
    out = p.add_argument_group("output (default: an aligned table)")
    form = out.add_mutually_exclusive_group()
    form.add_argument("--csv", action="store_true", help="comma-separated values")
    form.add_argument("--json", action="store_true",
                      help="one JSON object: site, date, weather, units and rows")
    out.add_argument("--precision", type=precision_value, metavar="N",
                     help="decimals of the numbers written, 0 to 15, or full (every digit that "
                          f"tells a float apart); default {PRECISION} for CSV, JSON and --input "
                          "(a thousandth of a W/m2, degree, hour or degC, below what the "
                          "inputs, known to tenths of a degree and whole W/m2, let the model "
                          f"tell apart), {TABLE_PRECISION} for the table")
    out.add_argument("--plot", metavar="FILE.png",
                     help="also draw the day's course into FILE.png, 2000 pixels wide (or "
                          ".pdf, .svg, any format matplotlib writes; needs matplotlib: "
                          "pip install '.[plot]')")
    out.add_argument("--input", metavar="WEATHER.csv",
                     help="time series mode, at the site of --lat and --lon (needed): read "
                          "a CSV file ('-' for standard input; cells "
                          "separated by commas, semicolons or tabs) with a column 'time' (ISO "
                          "8601: YYYY-MM-DDTHH:MM[:SS], clock time in --zone, or with Z or an "
                          "offset such as +02:00) and any of the columns, in any case, "
                          f"{', '.join(Q.WEATHER)}; writes CSV, one row per row; columns "
                          "the file lacks take the options' values, empty or NaN cells give "
                          "NaN where they count")
    series = p.add_argument_group("time series (with --input)")
    series.add_argument("--sep", type=sep_value, metavar="{',',';',tab}",
                        help="what separates the file's cells (default: of a comma, a "
                             "semicolon and a tab, the one the header line holds most of)")
    series.add_argument("--decimal", choices=(".", ","),
                        help="the decimal mark of the file's numbers (default: a comma if the "
                             "cells are not separated by commas and a number of the first "
                             "100,000 rows has one, else a point)")
    add_time_label_options(series, "the file's time stamps")
    return p


def sep_value(text: str) -> str:
    try:
        return SEPARATORS[text]
    except KeyError:
        raise argparse.ArgumentTypeError(f"not ',', ';' or tab: {text!r}") from None


def checked(name: str, value: float, label: str, quantity: Optional[Q.Quantity] = None) -> float:
    """``value`` if it is a number in the range of the quantity ``name``;
    UsageError, naming it ``label``, otherwise (NaN too)."""
    try:
        Q.check(name, value, label=label, missing=False, quantity=quantity)
    except Q.OutOfRange as e:
        raise UsageError(one_line(e)) from None
    return value


def site_of(args: argparse.Namespace) -> tuple[Site, list[str]]:
    """The site of the options, and what was taken for those not given, as
    lines for stderr.  Without any site option, the example site; a site of
    one's own needs --lat and --lon, and borrows nothing of the example's."""
    values: dict[str, Any] = {}
    for name, dest in SITE_OPTIONS.items():
        value = getattr(args, dest)
        if value is not None and not isinstance(value, str):
            checked(name, value, "--" + dest)
        values[name] = value
    if all(value is None for value in values.values()):
        return EXAMPLE_SITE, []
    if args.lat is None or args.lon is None:
        if args.lat is not None or args.lon is not None:
            missing = "--lat" if args.lat is None else "--lon"
            raise UsageError(f"--lat and --lon go together: give {missing} too")
        given = next(dest for dest in SITE_OPTIONS.values() if getattr(args, dest) is not None)
        raise UsageError(f"--{given} needs --lat and --lon: the example site is taken only "
                         "without any site option")
    notes = []
    if values["zone"] is None:
        values["zone"] = 0.0
        notes.append("no --zone: times without an offset are taken as UTC")
    if values["height"] is None:
        values["height"] = 0.0
        notes.append("no --height: the site is taken at sea level (0 m)")
    try:
        return Site(**values), notes
    except ValueError as e:
        raise option_error(e) from None


def weather_of(args: argparse.Namespace) -> Weather:
    """The weather of the options; --surface as its Bowen ratio."""
    values = {}
    for name in OPTIONS:
        value = getattr(args, name)
        if value is not None:
            values[name] = checked(name, value, option(name))
    bowen = surface_of(args, "bowen" in values, "--bowen")
    if bowen is not None:
        values["bowen"] = bowen
    try:
        return Weather(**values)
    except ValueError as e:
        raise option_error(e) from None


def heading(site: Site, date: dt.date, weather: Weather, surface: Optional[str]) -> str:
    """The site, the day and the weather in one line, above a table."""
    return "; ".join(heading_parts(site, date, weather, surface))


def heading_parts(site: Site, date: dt.date, weather: Weather,
                  surface: Optional[str]) -> tuple[str, str, str]:
    """The site, the day and the weather, each as text."""
    def place(value: float, positive: str, negative: str) -> str:
        return f"{abs(value):g} {positive if value >= 0 else negative}"

    said = []
    for name in OPTIONS:
        value = getattr(weather, name)
        if value is not None:
            unit = "" if Q.WEATHER[name].symbol == "1" else " " + Q.WEATHER[name].symbol
            label = "air" if name == "air_temp" else name.replace("_", " ")
            said.append(f"{label} {value:g}{unit}" +
                        (f" ({surface})" if name == "bowen" and surface else ""))
    return (f"{place(site.latitude, 'N', 'S')}, {place(site.longitude, 'E', 'W')}, "
            f"{site.height:g} m, {zone_text(site.zone)}", str(date), ", ".join(said))


def option_error(error: ValueError) -> UsageError:
    """The chain's refusal of the options' values, in the options' names."""
    text = one_line(error)
    for name in OPTIONS:
        # Not within another option's name: pressure in --vapour-pressure.
        text = re.sub(rf"(?<![\w-]){name}(?![\w-])", option(name), text)
    return UsageError(text)


def columns_of(args: argparse.Namespace) -> tuple[tuple[str, str, str], ...]:
    return C.result_columns(options_of(args).indices)


def run_day(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    for flag, given in (("--time-label", args.time_label != "instant"),
                        ("--interval", args.interval is not None),
                        ("--sep", args.sep is not None), ("--decimal", args.decimal is not None)):
        if given:
            raise UsageError(f"{flag} is for --input: the day's rows are instants of the clock")
    (site, notes), weather, options = site_of(args), weather_of(args), options_of(args)
    step_minutes = checked("step", DEFAULT_STEP if args.step is None else args.step, "--step",
                           STEP)
    date: dt.date = args.date or EXAMPLE_DATE
    if args.plot is not None:
        check_plot(args.plot)
    zone = site.zone if site.zone is not None else 0.0
    wall, times = day_times(date, step_minutes, zone, args.ambiguous)
    columns = columns_of(args)
    names = [name for name, _, _ in columns]
    try:
        with chain_warnings() as said:
            # Hours of a fixed zone as clock times: the chain's own reading of them.
            frame = run_at(site, times if isinstance(zone, str) else wall, weather, options)
    except ValueError as e:
        raise option_error(e) from None
    values = {name: frame[name].to_numpy(dtype=float) for name in names}
    offsets = [at.utcoffset() if placed else None for at, placed in zip(times, times.notna())]
    rows = [(time_text(clock, offset), [float(values[n][i]) for n in names])
            for i, (clock, offset) in enumerate(zip(wall, offsets))]
    if args.plot is not None:
        write_plot(args.plot, wall, times, values, date, zone,
                   heading_parts(site, date, weather, args.surface), weather.air_temp)
    decimals = decimals_of(args)
    if args.json:
        day_weather: dict[str, Any] = {name: getattr(weather, name) for name in OPTIONS}
        # The day's rows are instants: the JSON's model is how each is worked out.
        model = {name: value for name, value in dataclasses.asdict(options).items()
                 if name not in ("utci", "indices", "time_label", "interval")}
        write_json(rows, columns, out, site={name: getattr(site, name) for name in JSON_SITE},
                   date=date, weather={**day_weather, "surface": args.surface}, model=model,
                   assumptions=ASSUMPTIONS, decimals=decimals)
    elif args.csv:
        write_csv(rows, columns, out, decimals)
    else:
        write_table(rows, columns, out, title=heading(site, date, weather, args.surface),
                    decimals=decimals_of(args, TABLE_PRECISION))
    out.flush()
    for line in (*notes, *(told_line(w.kind, w.count) for w in said)):
        err.write(f"klimora: {line}\n")
    changed = len(times) - len(clock_times(step_minutes))
    if changed:
        one = abs(changed) == 1
        what = ("comes" if one else "come") + " twice" if changed > 0 else \
            ("is" if one else "are") + " skipped"
        err.write(f"klimora: {date} has {day_hours(date, zone):g} hours in {zone}: "
                  f"{counted(abs(changed), 'clock time')} {what}\n")
    unplaced = int(np.isnan(values["solar_time"]).sum())
    if unplaced:
        err.write(f"klimora: {counted(unplaced, 'clock time')} of {date} "
                  f"{'does' if unplaced == 1 else 'do'} not exist or "
                  f"{'is' if unplaced == 1 else 'are'} ambiguous in {site.zone} (daylight "
                  f"saving); {'its row is' if unplaced == 1 else 'their rows are'} NaN\n")
