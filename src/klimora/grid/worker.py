"""Imported by each worker of ``klimora grid --workers`` as it starts, while
the command opens its input: the first blocks then wait for no imports and
no unit registry."""

import dask.array  # noqa: F401
import netCDF4  # noqa: F401
import numcodecs  # noqa: F401
import xarray  # noqa: F401

from klimora import chain  # noqa: F401
from klimora.grid.cf import registry

registry()
