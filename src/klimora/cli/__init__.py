"""The command line: ``klimora`` (``python -m klimora``) and its commands.

- :mod:`klimora.cli.day_command`: a site over a day, the options and ``--help``;
- :mod:`klimora.cli.series_command`: along a weather time series (``--input``);
- :mod:`klimora.cli.grid_command`: every cell of a weather grid (``klimora grid``);
- :mod:`klimora.cli.common`: the parser, its errors, output and progress bar.

Reading and writing the files is :mod:`klimora.iotools`'s.  :func:`main`
dispatches and turns the errors into one line and an exit status.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from typing import IO, Optional, Sequence, cast

from klimora.cli.common import CannotWrite, Output, UsageError

__all__ = ["main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the main job with ``argv`` (default: the command line); returns the
    exit status: 0 done, 1 the output could not be written, 2 bad input, 130
    interrupted (Ctrl-C).  Run as the program (without ``argv``), it leaves
    Ctrl-C ignored once it is done or interrupted: what follows is the
    interpreter's shutdown (closing threads and a cluster's processes),
    which a second Ctrl-C would break off with tracebacks."""
    program = argv is None
    try:
        return run(sys.argv[1:] if argv is None else list(argv), program)
    finally:
        if program:
            ignore_ctrl_c()


def ignore_ctrl_c() -> None:
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def run(argv: list[str], program: bool) -> int:
    try:
        if argv[:1] == ["grid"]:
            from klimora.cli import grid_command as command
            command.main(argv[1:], sys.stderr)
            return 0
        from klimora.cli import day_command, series_command
        args = day_command.build_parser().parse_args(argv)
        out = cast(IO[str], Output(sys.stdout, "standard output"))
        if args.input:
            series_command.run_series(args, out, sys.stderr)
        else:
            day_command.run_day(args, out, sys.stderr)
        out.flush()
    except UsageError as e:
        sys.stdout.flush()
        sys.stderr.write(f"klimora: error: {e}\n")
        return 2
    except CannotWrite as e:
        sys.stderr.write(f"klimora: error: {e}\n")
        # What stays in stdout's buffer could not be written at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        if program:
            ignore_ctrl_c()
        sys.stderr.write("klimora: interrupted\n")
        return 130
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    return 0
