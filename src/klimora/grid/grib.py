"""GRIB files through cfgrib (the extra ``grib``), as ERA5 and the IFS
deliver them: one file mixing instantaneous fields (2t, 2d, tcc, 10u,
10v) with accumulations from the start of forecast runs (ssrd, strd), which
xarray's cfgrib engine alone will not put into one Dataset.

cfgrib reads each kind of field into a Dataset of its own; each is
recognised (:func:`klimora.conventions.recognised`: the accumulations
differenced within their runs, the runs' steps laid out along their valid
times), put on the valid times, and the parts merged into one Dataset along
``valid_time``.
"""

from __future__ import annotations

from typing import Any, Optional

from klimora.conventions import recognised

__all__ = ["open_grib"]


def on_valid_time(part: Any) -> Any:
    """A part along ``valid_time``: the analyses' ``time`` (with ``step``
    0) swapped for the valid time it carries beside it."""
    if "time" in part.dims and "valid_time" in part.coords and \
            part["valid_time"].dims == ("time",):
        part = part.drop_vars([n for n in ("step",) if n in part.coords])
        part = part.swap_dims(time="valid_time").drop_vars("time")
    return part


def open_grib(path: str, chunks: Optional[dict[str, Any]] = None) -> Any:
    """The weather in the GRIB file ``path`` as one Dataset along
    ``valid_time``, on dask in ``chunks`` (None: as cfgrib reads it); closing
    it closes the file.  No index file is written beside the input."""
    import cfgrib
    import xarray as xr

    # On dask from the start, so that nothing is read before the blocks are.
    parts = cfgrib.open_datasets(path, backend_kwargs={"indexpath": ""}, chunks={})
    merged = xr.merge([on_valid_time(recognised(part)) for part in parts], compat="override",
                      join="outer", combine_attrs="override")

    def close() -> None:
        for part in parts:
            part.close()

    merged.set_close(close)
    if chunks:
        merged = merged.chunk({d: n for d, n in chunks.items() if d in merged.dims})
    return merged
