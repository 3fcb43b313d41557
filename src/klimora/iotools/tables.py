"""A day's rows written out: as an aligned table, as CSV or as one JSON
object.  A row is its time as text (ISO 8601, with the date and the
zone's offset: :func:`time_text`) and the values of the columns; the
columns are the chain's (name, unit, meaning)
(:func:`klimora.chain.result_columns`).  Numbers are rounded to a number
of decimals (:func:`rounded`), or written with every digit (None)."""

from __future__ import annotations

import csv
import datetime as dt
import json
import math
from typing import IO, Any, Mapping, Optional, Sequence

__all__ = ["Columns", "Rows", "clock_text", "fmt", "rounded", "time_text", "write_csv",
           "write_json", "write_table"]

Rows = Sequence[tuple[str, Sequence[float]]]
Columns = Sequence[tuple[str, str, str]]


def rounded(value: float, decimals: Optional[int]) -> float:
    """``value`` to ``decimals`` decimals (None: as it is); -0 as 0."""
    return float(value) if decimals is None else round(float(value), decimals) + 0.0


def fmt(value: float, decimals: Optional[int] = None) -> str:
    """A number as CSV writes it: to ``decimals`` decimals, or with None
    every digit that tells it apart."""
    if decimals is None:
        return repr(float(value))
    return f"{rounded(value, decimals):.{decimals}f}"


def clock_text(clock: float) -> str:
    """Hours after midnight as HH:MM."""
    minutes = round(clock * 60)
    return f"{minutes // 60:02d}:{minutes % 60:02d}"


def time_text(wall: dt.datetime, offset: Optional[dt.timedelta]) -> str:
    """A row's time in ISO 8601: the date, the clock time (to the minute,
    or the second where it has one) and the zone's ``offset`` (none for a
    clock time that no instant was found for)."""
    wall += dt.timedelta(seconds=0.5)   # to the nearest second
    text = f"{wall:%Y-%m-%dT%H:%M}" + (f":{wall.second:02d}" if wall.second else "")
    if offset is None:
        return text
    minutes = round(offset.total_seconds() / 60)
    sign = "-" if minutes < 0 else "+"
    return text + f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def write_table(rows: Rows, columns: Columns, out: IO[str], title: Optional[str] = None,
                decimals: Optional[int] = 2) -> None:
    """The rows under a line of names and a line of units, right-aligned,
    to ``decimals`` decimals; above them ``title``, if given, after a "#"."""
    if title is not None:
        out.write(f"# {title}\n")
    header = ["time", *(name for name, _, _ in columns)]
    units = ["", *(unit for _, unit, _ in columns)]
    cells = [[t, *(fmt(v, decimals) for v in values)] for t, values in rows]
    widths = [max(len(h), len(u), *(len(c[i]) for c in cells))
              for i, (h, u) in enumerate(zip(header, units))]
    for line in (header, units, *cells):
        out.write("  ".join(c.rjust(w) for c, w in zip(line, widths)).rstrip() + "\n")


def write_csv(rows: Rows, columns: Columns, out: IO[str], decimals: Optional[int] = None) -> None:
    """The rows as comma-separated values under a header line, to
    ``decimals`` decimals (None: every digit)."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time", *(name for name, _, _ in columns)])
    writer.writerows([t, *(fmt(v, decimals) for v in values)] for t, values in rows)


def write_json(rows: Rows, columns: Columns, out: IO[str], *, site: Mapping[str, Any],
               date: dt.date, weather: Mapping[str, Any], model: Mapping[str, Any],
               assumptions: Sequence[str], decimals: Optional[int] = None) -> None:
    """One JSON object: the site, the date, the weather, the model's options
    (the projection factor and the others, each by its name), the columns'
    units, the assumptions and the rows (NaN as null), their numbers to
    ``decimals`` decimals (None: as they are)."""
    names = [name for name, _, _ in columns]

    def number(value: float) -> Optional[float]:
        return rounded(value, decimals) if math.isfinite(value) else None

    json.dump({"site": dict(site), "date": date.isoformat(),
               "day_of_year": date.timetuple().tm_yday,
               "weather": dict(weather),
               **model,
               "units": {name: unit for name, unit, _ in columns},
               "assumptions": list(assumptions),
               "rows": [{"time": t, **{n: number(v) for n, v in zip(names, values)}}
                        for t, values in rows]},
              out, indent=1)
    out.write("\n")
