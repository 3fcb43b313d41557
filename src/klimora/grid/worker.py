"""Imported by the server the workers of ``klimora grid --workers`` are forked
from, while the command opens its input: the first blocks then wait for no
imports and no unit registry.  :func:`dask_setup` runs in each worker as it
starts; without --verbose the worker's log is dropped: the command reports
what fails in one line of its own."""

import logging
import warnings
from typing import TextIO

import dask
import dask.array  # noqa: F401
import netCDF4  # noqa: F401
import numcodecs  # noqa: F401
import xarray  # noqa: F401

from klimora import chain  # noqa: F401
from klimora.grid.cf import registry
from klimora.grid.scheduler import CHAIN_WARNINGS, LOGGERS, VERBOSE_KEY
from klimora.inputs import ChainWarning

registry()
_show = warnings.showwarning


def pass_on(message: Warning | str, category: type[Warning], filename: str, lineno: int,
            file: TextIO | None = None, line: str | None = None) -> None:
    """The chain's warnings go to the command as events, every one of them
    (it sums them); any other is shown as before."""
    if isinstance(message, ChainWarning):
        from distributed import get_worker

        get_worker().log_event(CHAIN_WARNINGS, {"kind": message.kind, "count": message.count})
    else:
        _show(message, category, filename, lineno, file, line)


def dask_setup(worker: object) -> None:
    """Run by dask.distributed in each worker as it starts (the imports above
    were done once, in the server the workers are forked from): the chain's
    warnings passed on, and the log dropped unless --verbose."""
    warnings.simplefilter("always", ChainWarning)
    warnings.showwarning = pass_on
    if not dask.config.get(VERBOSE_KEY, True):
        for name in LOGGERS:
            logger = logging.getLogger(name)
            logger.handlers, logger.propagate = [logging.NullHandler()], False
