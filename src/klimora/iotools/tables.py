"""A day's rows written out: as an aligned table, as CSV or as one JSON
object.  A row is the clock time as text and the values of the columns;
the columns are the chain's (name, unit, meaning)
(:func:`klimora.chain.result_columns`)."""

from __future__ import annotations

import csv
import datetime as dt
import json
import math
from typing import IO, Any, Mapping, Optional, Sequence

__all__ = ["Columns", "Rows", "clock_text", "fmt", "write_csv", "write_json", "write_table"]

Rows = Sequence[tuple[str, Sequence[float]]]
Columns = Sequence[tuple[str, str, str]]


def fmt(value: float) -> str:
    """A number as CSV writes it: every digit that tells it apart."""
    return repr(float(value))


def clock_text(clock: float) -> str:
    """Hours after midnight as HH:MM."""
    minutes = round(clock * 60)
    return f"{minutes // 60:02d}:{minutes % 60:02d}"


def write_table(rows: Rows, columns: Columns, out: IO[str], title: Optional[str] = None) -> None:
    """The rows under a line of names and a line of units, right-aligned,
    to two decimals; above them ``title``, if given, after a "#"."""
    if title is not None:
        out.write(f"# {title}\n")
    header = ["time", *(name for name, _, _ in columns)]
    units = ["", *(unit for _, unit, _ in columns)]
    cells = [[t, *(f"{v:.2f}" for v in values)] for t, values in rows]
    widths = [max(len(h), len(u), *(len(c[i]) for c in cells))
              for i, (h, u) in enumerate(zip(header, units))]
    for line in (header, units, *cells):
        out.write("  ".join(c.rjust(w) for c, w in zip(line, widths)).rstrip() + "\n")


def write_csv(rows: Rows, columns: Columns, out: IO[str]) -> None:
    """The rows as comma-separated values under a header line."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time", *(name for name, _, _ in columns)])
    writer.writerows([t, *map(fmt, values)] for t, values in rows)


def write_json(rows: Rows, columns: Columns, out: IO[str], *, site: Mapping[str, Any],
               date: dt.date, weather: Mapping[str, Any], model: Mapping[str, Any],
               assumptions: Sequence[str]) -> None:
    """One JSON object: the site, the date, the weather, the model's options
    (the projection factor and the others, each by its name), the columns'
    units, the assumptions and the rows (NaN as null)."""
    names = [name for name, _, _ in columns]
    json.dump({"site": dict(site), "date": date.isoformat(),
               "day_of_year": date.timetuple().tm_yday,
               "weather": dict(weather),
               **model,
               "units": {name: unit for name, unit, _ in columns},
               "assumptions": list(assumptions),
               "rows": [{"time": t, **{n: (v if math.isfinite(v) else None)
                                       for n, v in zip(names, values)}} for t, values in rows]},
              out, indent=1)
    out.write("\n")
