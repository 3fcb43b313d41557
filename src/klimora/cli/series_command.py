"""``klimora --input WEATHER.csv``: the chain along a weather time series,
chunk by chunk (:data:`klimora.iotools.weather_csv.CHUNK_ROWS` rows), each
chunk read, checked and computed before any of it is written, as CSV.

Columns the file lacks take the options' values (:mod:`klimora.cli.day_command`).
A value the chain refuses is named by the line of the file it stands on.
What the chain says of the values (:class:`~klimora.chain.ChainWarning`) is
summed over the chunks and said once, at the end.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime as dt
import sys
from typing import IO, Any, BinaryIO

from klimora import chain as C
from klimora import quantities as Q
from klimora.cli.common import (Progress, UsageError, chain_warnings, counted, decimals_of,
                                one_line, options_of, surface_of, told_line)
from klimora.cli.day_command import columns_of, site_of, weather_of
from klimora.intervals import interval_length
from klimora.iotools.series_csv import write_series
from klimora.iotools.weather_csv import SeriesReader, count_rows

__all__ = ["STDIN", "run_series"]

#: How messages name standard input.
STDIN = "<stdin>"


def run_series(args: argparse.Namespace, out: IO[str], err: IO[str]) -> None:
    for flag, given in (("--json", args.json), ("--plot", args.plot is not None),
                        ("--step", args.step is not None), ("--date", args.date is not None)):
        if given:
            raise UsageError(f"--input writes CSV at the file's own times; {flag} is for a "
                             "single day")
    if args.lat is None and args.lon is None and args.height is None and args.zone is None:
        raise UsageError("--input needs the site of its weather: give --lat and --lon (and "
                         "--height and --zone)")
    (site, notes), base, options = site_of(args), weather_of(args), options_of(args)
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
    decimals = decimals_of(args)   # rounded, -0 as 0; None ("full"): every digit
    done = missing = unplaced = 0
    told: dict[str, int] = {}   # the chain's warnings by kind: the values they concern
    try:
        reader = SeriesReader(stream, name, site.zone, args.ambiguous or "nan", args.sep,
                              args.decimal)
        surface_of(args, "bowen" in reader.weather, "a column bowen", name)
        filled = {key: value for key, value in base.given().items() if key not in reader.weather}
        header = True
        for chunk in reader:
            frame = chunk.frame.assign(**filled)
            if options.time_label != "instant" and options.interval is None:
                options = dataclasses.replace(
                    options, interval=told_interval(chunk.frame["time"], name))
            try:
                with chain_warnings() as said:
                    result = C.chain_with(frame, site=site, options=options)
            except Q.OutOfRange as e:
                raise UsageError(f"{name} line {chunk.lines[e.row]}: {one_line(e)}") from None
            except ValueError as e:   # rows refused together
                raise UsageError(f"{name} lines {chunk.lines[0]}-{chunk.lines[-1]}: "
                                 f"{one_line(e)}") from None
            for warning in said:
                told[warning.kind] = told.get(warning.kind, 0) + warning.count
            write_series(out, chunk.stamps, result, names, decimals, header)
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
    for line in (*notes, *(told_line(kind, count) for kind, count in told.items())):
        err.write(f"klimora: {line}\n")
    if missing:
        err.write(f"klimora: {counted(missing, 'empty or NaN cell')}; their rows have NaN where "
                  "they count\n")
    if unplaced:
        err.write(f"klimora: {counted(unplaced, 'time stamp')} without an offset "
                  f"{'does' if unplaced == 1 else 'do'} not exist or "
                  f"{'is' if unplaced == 1 else 'are'} ambiguous in {site.zone} (daylight "
                  f"saving); {'its row is' if unplaced == 1 else 'their rows are'} NaN\n")


def told_interval(times: Any, name: str) -> dt.timedelta:
    """The intervals' length from the first chunk's times, which every chunk
    then takes; UsageError if they do not tell it."""
    try:
        return interval_length(times, None)
    except ValueError:
        raise UsageError(f"{name}: the intervals' length cannot be told from the times: give "
                         "--interval, such as 1h") from None
