"""What the commands share: the argument parser and the types of its
options, the one-line errors and their exit statuses, output that reports
its write errors, and the progress bar."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime as dt
import functools
import io
import re
import time
import warnings
from typing import IO, TYPE_CHECKING, Any, Iterator, NoReturn, Optional, Union

from klimora.errors import CannotWrite, UsageError, one_line
from klimora.quantities import DECIMAL, decimal

if TYPE_CHECKING:
    from klimora.options import Options

__all__ = ["DECIMAL", "PRECISION", "TABLE_PRECISION", "CannotWrite", "Output", "Parser",
           "Progress", "UsageError", "add_model_options", "add_time_label_options",
           "chain_warnings", "counted", "decimal", "decimals_of", "interval_of",
           "indices_value", "interval_value", "number", "one_line", "option", "options_of",
           "parse_date", "precision_value", "surface_of", "told_line", "zone_value"]

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


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def option(name: str) -> str:
    """The option of a quantity: --air-temp for air_temp."""
    return "--" + name.replace("_", "-")


def number(text: str) -> float:
    try:
        return decimal(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


#: An offset from UTC as ISO 8601 writes it: +01:00, -05:30.
OFFSET = re.compile(r"([+-])(\d{2}):(\d{2})", re.ASCII)


@functools.lru_cache(maxsize=1)
def zone_names() -> dict[str, str]:
    """The tz database's zone names by their lower-case spelling, and "z"
    for UTC."""
    import zoneinfo

    return {"z": "UTC", **{name.lower(): name for name in zoneinfo.available_timezones()}}


def zone_value(text: str) -> Union[float, str]:
    """Hours east of UTC, written as a number (1, -5.5) or an offset
    (+01:00, -05:30), or the name of a time zone of the tz database in any
    case (Europe/Berlin, europe/berlin, utc; Z is UTC)."""
    try:
        return decimal(text)
    except ValueError:
        pass
    offset = OFFSET.fullmatch(text.strip())
    if offset and int(offset[3]) < 60:
        hours = int(offset[2]) + int(offset[3]) / 60
        return -hours if offset[1] == "-" else hours
    name = zone_names().get(text.strip().lower())
    if name is None:
        raise argparse.ArgumentTypeError(
            f"neither hours east of UTC nor a time zone name such as Europe/Berlin: {text!r}")
    return name


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


def indices_value(text: str) -> tuple[str, ...]:
    """--indices: thermal indices separated by commas (utci,pet,wbgt)."""
    from klimora.indices import asked_indices

    try:
        return asked_indices(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(one_line(e)) from None


def add_model_options(group: Any, bowen: str) -> None:
    """The options of how the chain works out what it is not given, as every
    command takes them; ``bowen`` names what --surface stands in for."""
    from klimora.options import DIFFUSE_MODELS, MIN_WIND, PROJECTION_FACTORS, SURFACES, TURBIDITIES

    group.add_argument("--projection-factor", choices=PROJECTION_FACTORS, default="system",
                       help="projection factor of a standing person for the direct beam: the "
                            "system's (MittlStrTemp's own) or the published one of VDI 3789 "
                            "(default system)")
    group.add_argument("--utci", action="store_true",
                       help="add the column utci, the Universal Thermal Climate Index "
                            "(the wind taken as at 10 m)")
    group.add_argument("--indices", type=indices_value, default=(), metavar="NAMES",
                       help="add thermal indices as columns after mrt, separated by commas: "
                            "utci, pet (physiological equivalent temperature, for the standard "
                            "person of VDI 3787-2) and wbgt (wet-bulb globe temperature "
                            "outdoors); NaN where the weather lies outside an index's model, "
                            "counted in one line")
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
    from klimora.options import TIME_LABELS

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
    """The chain's options from the command line, --time-label and
    --interval among them; --min-wind 0 turns the floor off."""
    from klimora.options import Options

    try:
        options = Options(args.projection_factor, args.utci, args.turbidity,
                          args.diffuse_model, args.min_wind or None, args.time_label,
                          indices=args.indices)
    except ValueError as e:
        raise UsageError(one_line(e).replace("min_wind", "--min-wind")) from None
    return dataclasses.replace(options, interval=interval_of(args))


def surface_of(args: argparse.Namespace, has_bowen: bool, bowen: str,
               where: str = "") -> Optional[float]:
    """The Bowen ratio of --surface (None without it); UsageError if the
    weather has one already, ``bowen`` naming it ("a column bowen") and
    ``where`` (a file) where it is."""
    from klimora.options import surface_bowen

    try:
        return surface_bowen(args.surface, has_bowen, "--surface", bowen)
    except ValueError as e:
        raise UsageError((f"{where}: " if where else "") + one_line(e)) from None


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
