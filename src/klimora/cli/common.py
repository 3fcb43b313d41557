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
import warnings
from typing import IO, TYPE_CHECKING, Any, Iterator, NoReturn, Optional, Union

if TYPE_CHECKING:
    from klimora.model import Options

__all__ = ["DECIMAL", "PRECISION", "TABLE_PRECISION", "CannotWrite", "Output", "Parser",
           "Progress", "UsageError", "add_model_options", "add_time_label_options",
           "chain_warnings", "counted", "decimal", "decimals_of", "interval_of",
           "interval_value", "number", "one_line", "option", "options_of", "parse_date",
           "precision_value", "told_line", "zone_value"]

#: Decimals of the numbers of CSV and JSON output by default: a thousandth
#: of a W/m2, a degree, an hour or a degree Celsius lies far below what the
#: model can tell apart (its inputs are known to tenths of a degree and
#: whole W/m2), and decimals, unlike significant digits, keep the fluxes
#: around sunrise that are mere round-off from being written as 2.2e-13.
PRECISION = 3
#: Decimals of the aligned table, which is read by eye.
TABLE_PRECISION = 2
#: The largest --precision: a double holds 15 to 17 significant digits.
MOST_DECIMALS = 15


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
        # Nothing is buffered here: once the wrapped stream has been closed by
        # its owner, there is nothing left to flush (io's finalizer calls this
        # when the object is collected, and 3.13 reports what it raises).
        if self.stream.closed:
            return
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


def precision_value(text: str) -> Union[int, str]:
    """--precision: a number of decimals, or "full"."""
    if text.strip() == "full":
        return "full"
    if not re.fullmatch(r"\d+", text.strip(), re.ASCII) or int(text) > MOST_DECIMALS:
        raise argparse.ArgumentTypeError(f"not a number of decimals from 0 to {MOST_DECIMALS} "
                                         f"or full: {text!r}")
    return int(text)


def decimals_of(args: argparse.Namespace, default: int = PRECISION) -> Optional[int]:
    """The decimals --precision asks for: ``default`` without it, None
    (every digit) for "full"."""
    if args.precision is None:
        return default
    return None if args.precision == "full" else int(args.precision)


def interval_value(text: str) -> dt.timedelta:
    """A length of time as pandas writes it (1h, 10min, 30s), or a bare
    number of seconds (3600), as the chain reads its interval."""
    from klimora.intervals import length_of

    try:
        return length_of(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(one_line(e).removeprefix("interval ")) from None


def add_model_options(group: Any, bowen: str) -> None:
    """The options of how the chain works out what it is not given, as every
    command takes them; ``bowen`` names what --surface stands in for."""
    from klimora.model import DIFFUSE_MODELS, MIN_WIND, SURFACES, TURBIDITIES

    group.add_argument("--turbidity", choices=TURBIDITIES, default="bounded",
                       help="Linke turbidity where none is given (linke): bounded, LinkeTruebung "
                            "of the day, latitude and humidity where it is at most 7, else its "
                            "value for dry air; model, LinkeTruebung as it is, up to 39.8 in "
                            "humid air; or climatology, the site's monthly value (default "
                            "bounded)")
    group.add_argument("--diffuse-model", choices=DIFFUSE_MODELS, default="separation",
                       help="diffuse irradiance where none is measured: separation, global "
                            "minus beam made physical by Engerer's separation of the global "
                            "(the beam made to match); or residual, global minus beam, "
                            "at least 0 (default separation)")
    group.add_argument("--min-wind", type=number, default=MIN_WIND, metavar="M_S",
                       help="lowest wind the ground's energy balance and UTCI take, m/s (0 to "
                            f"5; 0: the wind as given; default {MIN_WIND:g})")
    group.add_argument("--surface", choices=tuple(SURFACES), metavar="NAME",
                       help="the ground, for its Bowen ratio: "
                            + ", ".join(f"{name} {value:g}" for name, value in SURFACES.items())
                            + f" (in place of {bowen})")


def add_time_label_options(group: Any, times: str) -> None:
    """--time-label and --interval; ``times`` names the time stamps."""
    from klimora.model import TIME_LABELS

    group.add_argument("--time-label", choices=TIME_LABELS, default="instant",
                       help=f"what {times} mark: instant (default), or the start or end of "
                            "an interval whose mean the weather is, as station files give it; "
                            "for an interval the sun is taken at its middle and every flux "
                            "and temperature averaged over steps of at most 5 minutes across "
                            "it")
    group.add_argument("--interval", type=interval_value, metavar="LENGTH",
                       help="with --time-label start or end: the intervals' length, such as 1h "
                            "or 10min, or a number of seconds such as 3600 (default: the "
                            f"median step between {times})")


def options_of(args: argparse.Namespace) -> Options:
    """The chain's options from the command line; --min-wind 0 turns the
    floor off."""
    from klimora.model import Options

    try:
        return Options(args.projection_factor, args.utci, args.turbidity, args.diffuse_model,
                       args.min_wind or None)
    except ValueError as e:
        raise UsageError(one_line(e).replace("min_wind", "--min-wind")) from None


def interval_of(args: argparse.Namespace) -> Optional[dt.timedelta]:
    """--interval, which only intervals have."""
    if args.interval is not None and args.time_label == "instant":
        raise UsageError("--interval is the length of the intervals of --time-label start or "
                         "end")
    interval: Optional[dt.timedelta] = args.interval
    return interval


@contextlib.contextmanager
def chain_warnings(others: bool = False) -> Iterator[list[Any]]:
    """The chain's :class:`~klimora.inputs.ChainWarning` s of the block, in
    the list it gives, once the block is done.  Other warnings (such as
    NumPy's on invalid values) are dropped, or with
    ``others`` shown as Python shows them."""
    from klimora.inputs import ChainWarning

    said: list[Any] = []
    with warnings.catch_warnings(record=True) as caught:
        if not others:
            warnings.simplefilter("ignore")
        warnings.simplefilter("always", ChainWarning)
        yield said
    for w in caught:
        if isinstance(w.message, ChainWarning):
            said.append(w.message)
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno, w.file, w.line)


#: What the chain's warnings name that the user may give, as the command
#: line gives it: its options in place of the chain's keywords.
OPTION_WORDS = {"linke": "--linke",
                "turbidity": "--turbidity bounded (the default) or climatology"}


def told_line(kind: str, count: int = 0) -> str:
    """The line of a :class:`~klimora.inputs.ChainWarning` as the command
    line says it, naming its options."""
    from klimora.inputs import ChainWarning

    return ChainWarning.about(kind, count, OPTION_WORDS)


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
