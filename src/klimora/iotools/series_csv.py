"""The chain's results along a time series written as CSV, chunk by chunk:
each row its time stamp as the file gave it and the columns' numbers,
rounded to a number of decimals and written with that many (``%.Nf``),
or with every digit (None), NaN as "nan", lines ending in line feeds:
byte for byte what pandas' ``to_csv`` writes of the same frame.

pandas spends most of its time there on the numbers: a column of floats
goes through NumPy's ``astype(str)``, or with a ``float_format`` through
a Python call per value, and then every row through the csv module.
:func:`series_lines` writes the same cells faster: Python's float repr
gives the same shortest digits that read back to the same double as
NumPy's conversion does, ``%`` formatting is what pandas applies per value,
and the cells are joined into lines directly, since no number needs
quoting.  Time stamps that would need quoting (a comma, a quote or a line
break in one), or columns that are not floats, go through pandas itself
(:func:`pandas_lines`)."""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional, Sequence

import numpy as np

__all__ = ["BLOCK_ROWS", "pandas_lines", "rounded", "series_lines", "write_series"]

#: Rows formatted at a time: their cells as Python strings take some
#: 70 bytes each, so that a block of a chunk's rows keeps the memory low.
BLOCK_ROWS = 8192
#: Characters that make the csv module quote a cell (with its defaults,
#: as pandas writes, cells separated by commas).
QUOTED = (",", '"', "\r", "\n")


def rounded(result: Any, decimals: Optional[int]) -> Any:
    """The frame's numbers to ``decimals`` decimals as NumPy rounds them,
    -0 as 0; None: as they are."""
    return result if decimals is None else result.round(decimals) + 0.0


def pandas_lines(stamps: Any, result: Any, names: Sequence[str], decimals: Optional[int],
                 header: bool) -> str:
    """The CSV lines of the rows as pandas writes them: the time stamps
    ``stamps`` in the column "time" beside the columns of ``result``, the
    columns ``names`` in their order, under a header line if ``header``."""
    frame = rounded(result, decimals).copy(deep=False)   # the caller's frame left as it is
    frame.insert(0, "time", stamps)
    written = {} if decimals is None else {"float_format": f"%.{decimals}f"}
    text: str = frame.to_csv(None, columns=list(names), header=header, index=False,
                             na_rep="nan", lineterminator="\n", **written)
    return text


def plain(cells: Sequence[str]) -> bool:
    """Whether every one of ``cells`` is a str that the csv module writes
    as it is, unquoted."""
    try:
        joined = ",".join(cells)
    except TypeError:   # a cell that is no str
        return False
    return joined.count(",") == max(len(cells) - 1, 0) and \
        not any(c in joined for c in QUOTED[1:])


def series_lines(stamps: Any, result: Any, names: Sequence[str], decimals: Optional[int],
                 header: bool) -> Iterator[str]:
    """The same text as :func:`pandas_lines`, in pieces of at most
    :data:`BLOCK_ROWS` rows (the header line one of its own)."""
    columns = list(names[1:])
    times = list(stamps)
    if (list(names[:1]) != ["time"] or not plain(times) or not plain(list(names))
            or len(times) != len(result)
            or any(result[name].dtype != np.float64 for name in columns)):
        yield pandas_lines(stamps, result, names, decimals, header)
        return
    values = rounded(result[columns], decimals).to_numpy(dtype=np.float64)
    cell: Callable[[float], str] = float.__repr__ if decimals is None \
        else f"%.{decimals}f".__mod__
    if header:
        yield ",".join(names) + "\n"
    for at in range(0, len(times), BLOCK_ROWS):
        block = values[at:at + BLOCK_ROWS].T.tolist()
        cells = [list(map(cell, column)) for column in block]
        yield "\n".join(map(",".join, zip(times[at:at + BLOCK_ROWS], *cells))) + "\n"


def write_series(out: Any, stamps: Any, result: Any, names: Sequence[str],
                 decimals: Optional[int], header: bool) -> None:
    """Writes :func:`series_lines` to the text stream ``out``."""
    for text in series_lines(stamps, result, names, decimals, header):
        out.write(text)
