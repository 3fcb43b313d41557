"""The errors the package's folders share, at the ground floor: this
module imports nothing of klimora, so that the readers of files
(:mod:`klimora.iotools`), the grid (:mod:`klimora.grid`) and the command
line (:mod:`klimora.cli`) all take them from below.

:class:`UsageError` is bad input, which the command line reports as one
line with exit status 2; :class:`CannotWrite` an output that could not be
written, one line with exit status 1.  :func:`one_line` is how any error
is put on that line.
"""

from __future__ import annotations

import re

__all__ = ["CannotWrite", "UsageError", "one_line"]


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


class CannotWrite(Exception):
    """The output could not be written (a full disk, say): one line, exit
    status 1."""


def one_line(error: BaseException) -> str:
    """An exception's message on one line, without the chain's count of values."""
    text = " ".join(str(error).split())
    return re.sub(r" \(\d+ values?\)$", "", text)
