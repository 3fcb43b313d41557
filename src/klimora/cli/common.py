"""What the commands share: the argument parser and the types of its
options, the one-line errors and their exit statuses, output that reports
its write errors, and the progress bar."""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import io
import re
import time
from typing import IO, Iterator, NoReturn, Optional, Union

__all__ = ["DECIMAL", "CannotWrite", "Output", "Parser", "Progress", "UsageError", "counted",
           "decimal", "number", "one_line", "option", "parse_date", "zone_value"]


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


def one_line(error: BaseException) -> str:
    """An exception's message on one line, without the chain's count of values."""
    text = " ".join(str(error).split())
    return re.sub(r" \(\d+ values?\)$", "", text)


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def option(name: str) -> str:
    """The option of a quantity: --air-temp for air_temp."""
    return "--" + name.replace("_", "-")


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


def counted(count: int, thing: str) -> str:
    """``count`` of ``thing``: "1 row", "2 rows"."""
    return f"{count} {thing}" + ("" if count == 1 else "s")


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
