"""``klimora --input WEATHER.csv``: the chain along a weather time series,
chunk by chunk (:data:`klimora.iotools.weather_csv.CHUNK_ROWS` rows), each
chunk read, checked and computed before any of it is written, as CSV.

Columns the file lacks take the options' values (:mod:`klimora.cli.day_command`).
A value the chain refuses is named by the line of the file it stands on.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import IO, BinaryIO

from klimora import chain as C
from klimora import quantities as Q
from klimora.cli.common import Progress, UsageError, counted, one_line
from klimora.cli.day_command import columns_of, need_utci, site_of, weather_of
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
    site, base = site_of(args), weather_of(args)
    if args.utci:
        need_utci()
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
                    result = C.chain(frame, site=site, projection_factor=args.projection_factor,
                                     utci=args.utci)
            except Q.OutOfRange as e:
                raise UsageError(f"{name} line {chunk.lines[e.row]}: {one_line(e)}") from None
            except ValueError as e:   # rows refused together
                raise UsageError(f"{name} lines {chunk.lines[0]}-{chunk.lines[-1]}: "
                                 f"{one_line(e)}") from None
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
