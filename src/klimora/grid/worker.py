"""Imported by each worker of ``klimora grid --workers`` as it starts, while
the command opens its input: the first blocks then wait for no imports and
no unit registry.  Without --verbose the worker's log is dropped: the
command reports what fails in one line of its own."""

import logging

import dask
import dask.array  # noqa: F401
import netCDF4  # noqa: F401
import numcodecs  # noqa: F401
import xarray  # noqa: F401

from klimora import chain  # noqa: F401
from klimora.grid.cf import registry
from klimora.grid.scheduler import LOGGERS, VERBOSE_KEY

registry()
if not dask.config.get(VERBOSE_KEY, True):
    for name in LOGGERS:
        logger = logging.getLogger(name)
        logger.handlers, logger.propagate = [logging.NullHandler()], False
