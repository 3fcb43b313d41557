"""A weather time series from CSV: a header line with the column "time"
and any of the registry's weather (:data:`klimora.quantities.WEATHER`),
or pvlib's names of them in the same units (:data:`klimora.frames.FRAME_NAMES`),
their names in any case, read :data:`CHUNK_ROWS` lines at a time, each
chunk checked (UTF-8, cells per row, numbers, time stamps) and parsed by
pandas before it is handed on.  Lines end in line feeds, carriage
returns and line feeds, or (old Mac files) carriage returns alone.  Cells
are separated by commas, semicolons or tabs, as the header line shows,
and numbers may have a decimal comma where the cells are not separated
by commas.  Every refusal is a :class:`~klimora.errors.UsageError`
that names the file and the line."""

from __future__ import annotations

import codecs
import csv
import dataclasses
import io
import itertools
import math
import re
from typing import Any, BinaryIO, Iterable, Iterator, NoReturn, Optional, Union

import numpy as np

from klimora import quantities as Q
from klimora.errors import UsageError, one_line
from klimora.frames import FRAME_NAMES
from klimora.quantities import decimal
from klimora.times import AWARE, localize, read_times

__all__ = ["AWARE", "CHUNK_ROWS", "COLUMNS", "MISSING", "SEPARATORS", "Chunk", "SeriesReader",
           "count_rows", "exact_floats", "separator"]

#: Rows of a time series read, checked, computed and written at a time.
CHUNK_ROWS = 100_000
#: What an empty or missing cell of a time series may hold.
MISSING = ("", "nan", "NaN", "NAN", "NA", "N/A", "n/a", "null", "NULL")
#: Every column a time series may hold besides "time".
COLUMNS = tuple(Q.WEATHER)
#: The separators of cells that are told from the header line, in the
#: order that decides a tie.
SEPARATORS = (",", ";", "\t")


def separator(header: str) -> str:
    """The separator of the header line's cells: of a comma, a semicolon
    and a tab, the one it holds most of (a comma if it holds none)."""
    return max(SEPARATORS, key=lambda sep: (header.count(sep), -SEPARATORS.index(sep)))


#: Bytes of the header line read before it is told whether the lines end
#: in carriage returns alone.
HEADER_BYTES = 1 << 16


def count_rows(path: str) -> Optional[int]:
    """The rows of the file (lines that are not blank, less the header; the
    lines ended as :class:`SeriesReader` ends them); None if it cannot be
    read."""
    try:
        with open(path, "rb") as f:
            first = f.readline(HEADER_BYTES)
            lines: Iterable[bytes] = f
            if carriage_returns(first):
                lines = AnyLineEnds(f, first)
                first = b""
            return max(sum(1 for line in lines if line.strip()) + bool(first.strip()) - 1, 0)
    except OSError:
        return None


class AnyLineEnds:
    """The lines of a file whose lines end in carriage returns alone, as
    old Mac files' do, or in any mix of those, line feeds and both, as
    lines that end in a line feed alone, as the reader and pandas take
    them; read ``BLOCK`` bytes at a time, after ``start``, what was read
    of the file already."""

    BLOCK = 1 << 16
    END = re.compile(rb"\r\n?|\n")

    def __init__(self, stream: BinaryIO, start: bytes = b"") -> None:
        self.stream, self.buffer, self.at, self.ended = stream, start, 0, False

    def readline(self) -> bytes:
        while True:
            end = self.END.search(self.buffer, self.at)
            # A carriage return last may be the first half of "\r\n".
            if end is not None and (end.end() < len(self.buffer) or end.group() != b"\r" or
                                    self.ended):
                line = self.buffer[self.at:end.start()] + b"\n"
                self.at = end.end()
                return line
            if self.ended:   # the last line, without a line end
                line, self.buffer, self.at = self.buffer[self.at:], b"", 0
                return line
            more = self.stream.read(self.BLOCK)
            self.ended = not more
            self.buffer, self.at = self.buffer[self.at:] + more, 0

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.readline, b"")


def carriage_returns(first: bytes) -> bool:
    """Whether a file whose first line (read to a line feed, or
    :data:`HEADER_BYTES` of it) is ``first`` has lines that end in
    carriage returns alone."""
    return b"\r" in first.rstrip(b"\r\n")


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
    names the file and line.  ``zone`` is the zone of naive time stamps:
    hours east of UTC, a zone name, or None for UTC; ``ambiguous`` how a
    naive stamp that a zone name's change from daylight saving time repeats
    is taken (:data:`klimora.day.AMBIGUOUS`).  ``sep`` and ``decimal``
    are the separator of the cells and the decimal mark; None: told from
    the header line and the first chunk's numbers."""

    def __init__(self, stream: BinaryIO, source: str, zone: Union[float, str, None],
                 ambiguous: str = "nan", sep: Optional[str] = None,
                 decimal: Optional[str] = None) -> None:
        self.source, self.zone, self.ambiguous = source, zone, ambiguous
        lines: Union[BinaryIO, AnyLineEnds] = stream
        first = stream.readline(HEADER_BYTES)
        if carriage_returns(first):   # an old Mac file
            lines = AnyLineEnds(stream, first)
            first = lines.readline()
        elif first and not first.endswith(b"\n"):
            first += stream.readline()   # a header line longer than HEADER_BYTES
        self.stream = lines
        if not first:
            raise UsageError(f"{source}: empty file, expected a header line")
        if first.startswith(codecs.BOM_UTF8):
            first = first[len(codecs.BOM_UTF8):]
        if b"\0" in first:
            self.fail(1, "a NUL byte in the header line")
        line = self.text(first, 1).rstrip("\r\n")
        self.sep = sep or separator(line)
        if decimal == "," and self.sep == ",":
            raise UsageError(f"{source}: a decimal comma needs cells separated by ';' or a tab "
                             "(--sep), not by commas")
        if decimal is None and self.sep == ",":
            decimal = "."
        self.decimal = decimal   # None: told from the first chunk's numbers
        given = [h.strip() for h in next(csv.reader([line], delimiter=self.sep), [])]
        # pvlib's names for the chain's quantities in its own units are the same columns.
        header = [FRAME_NAMES.get(h.lower(), h.lower()) for h in given]
        if "time" not in header:
            raise UsageError(f"{source}: no column 'time'" + (
                f" (cells separated by {self.sep!r}; give --sep if they are not)"
                if len(header) == 1 else ""))
        unknown = [g for g, h in zip(given, header) if h != "time" and h not in Q.WEATHER]
        if unknown:
            raise UsageError(f"{source}: unknown column {unknown[0]!r}; known: time, "
                             + ", ".join(COLUMNS) + " (or pvlib's " + ", ".join(FRAME_NAMES)
                             + ")")
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
            sep = self.sep.encode()
            commas = np.fromiter((line.count(sep) for line in lines), dtype=np.int64,
                                 count=len(lines))
            for i in np.flatnonzero(commas != width - 1):
                if lines[i].strip():
                    self.fail(first + i, f"{commas[i] + 1} cells, expected {width}")
            return first + np.arange(len(lines))
        reader = csv.reader(io.StringIO(data.decode("utf-8"), newline=""), delimiter=self.sep)
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
                           sep=self.sep, decimal=self.decimal or ".",
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
                    column[i] = math.nan if text in MISSING else self.number(text)
                except ValueError:
                    hint = " (a decimal comma? give --decimal ,)" if "," in text and \
                        self.decimal == "." and self.sep != "," else ""
                    self.fail(lines[i], f"{name} is not a number: {text!r}{hint}")
            values[name] = column
        return values

    def number(self, text: str) -> float:
        """A cell's number, with the file's decimal mark."""
        if self.decimal == ",":
            if "." in text:
                raise ValueError(text)
            text = text.replace(",", ".")
        return decimal(text)

    def tell_decimal(self, data: bytes) -> None:
        """The decimal mark, from the numbers of the first chunk: a comma if
        a cell starts with a number that has one (the cells being separated
        otherwise; a time stamp never starts so)."""
        sep = re.escape(self.sep.encode())
        comma = re.compile(rb'(?:^|' + sep + rb')[ "]*[+-]?\d*,\d', re.MULTILINE)
        self.decimal = "," if comma.search(data) else "."

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
        cells = next(csv.reader([line.replace("\0", "\ufffe")], delimiter=self.sep))
        column = next(k for k, cell in enumerate(cells) if "\ufffe" in cell)
        cell = cells[column].replace("\ufffe", "\0").strip()
        name = self.header[column] if column < len(self.header) else "a cell"
        what = "not a time" if name == "time" else f"{name} is not a number"
        self.fail(first + data.count(b"\n", 0, at), f"{what}: {cell!r}")

    def chunk(self, lines: list[bytes], data: bytes, first: int) -> Chunk:
        import pandas as pd

        self.text(data, first)
        self.refuse_nul(data, first)
        if self.decimal is None:
            self.tell_decimal(data)
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
        try:
            times, unplaced = self.times(stamps.reset_index(drop=True), starts)
        except ValueError as e:
            raise UsageError(f"{self.source} lines {first}-{self.next_line - 1}: --ambiguous "
                             f"infer: {one_line(e)}") from None
        # The times as a column: chain takes a zoned index element by element.
        return Chunk(stamps.to_numpy(dtype=object), pd.DataFrame({"time": times, **values}),
                     starts, sum(int(np.isnan(v).sum()) for v in values.values()), unplaced)

    def times(self, stamps: Any, lines: Any) -> tuple[Any, int]:
        """The time stamps as a Series of times in UTC, and how many naive ones
        the zone skips or repeats (NaT); UsageError for one that is no time."""
        import pandas as pd

        parsed, bad = read_times(stamps, self.zone, self.ambiguous, format="ISO8601",
                                 errors="coerce")
        if parsed.dt.tz is None:
            parsed = localize(parsed, self.zone, self.ambiguous)
        else:
            parsed = parsed.dt.tz_convert("UTC")
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
