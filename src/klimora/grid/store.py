"""Reading a weather grid and writing its radiation: NetCDF-4 or Zarr, chosen
by the name (".zarr" for Zarr).

The output is written block by block, one dask chunk of every column at a
time, by the process that runs the command: under dask.distributed the
workers compute and send their blocks back, so no two processes ever write
one NetCDF file.  It goes to a temporary name beside the output and takes
the output's name only once complete.  The columns are stored as float32
or float64 (``--dtype``), NaN their fill value.
"""

from __future__ import annotations

import functools
import itertools
import math
import os
import queue
import warnings
from typing import Any, Callable, Iterator, Optional, Protocol

import numpy as np

from klimora.grid import conventions, files
from klimora.grid.codecs import COMPRESSION, Encoder, Parts, Region, hdf5_chunks, zarr_codecs
from klimora.grid.cf import GridError
from klimora.grid.grib import open_grib
from klimora.grid.interrupts import done, held

#: Bytes of HDF5 chunk cache for each input variable.
INPUT_CHUNK_CACHE = 16 << 20


def is_zarr(path: str) -> bool:
    return path.rstrip("/").endswith(".zarr")


#: The endings of GRIB files, which xarray opens through cfgrib.
GRIB = (".grib", ".grb", ".grib2", ".grb2")


def engine(path: str) -> dict[str, Any]:
    """The xarray engine of a GRIB file (cfgrib, the extra ``grib``);
    GridError, one line, if it is not installed; none for other files."""
    if not path.lower().endswith(GRIB):
        return {}
    import importlib

    try:
        importlib.import_module("cfgrib")
    except ImportError:
        raise GridError(f"{path}: reading GRIB needs cfgrib: pip install '.[grib]'") from None
    return {"engine": "cfgrib"}


def open_weather(path: str, chunks: dict[str, Any]) -> Any:
    """The Dataset in ``path``, lazily in dask chunks; GridError, one line,
    if it cannot be read."""
    import xarray as xr

    if not os.path.exists(path):
        raise GridError(f"cannot read {path}: no such file")
    grib = engine(path)
    if not is_zarr(path) and not grib:
        import netCDF4

        # A variable's chunk cache (64 MiB by default) for the files opened
        # from now on: 16 MiB holds the stored chunks a block is read from.
        netCDF4.set_chunk_cache(INPUT_CHUNK_CACHE)
    try:
        with warnings.catch_warnings():
            # Variables stored in chunks of their own sizes cannot all be
            # read along them; one chunking for all is what the chain needs.
            warnings.filterwarnings("ignore", "The specified chunks separate")
            if is_zarr(path):
                return xr.open_zarr(path, chunks=chunks)
            return open_grib(path, chunks) if grib else xr.open_dataset(path, chunks=chunks)
    except (OSError, ValueError, TypeError, KeyError, RuntimeError) as e:
        text = " ".join(str(e).split())
        if "decode" in text and "time" in text:
            raise GridError(f"{path}: time: no units and calendar that can be read as dates "
                            f"({text})") from None
        raise GridError(f"cannot read {path}: {text or type(e).__name__}") from None


def chunking(path: str, given: dict[str, int], cells: int) -> dict[str, int]:
    """Chunk sizes for every dimension of the Dataset in ``path``: those
    ``given``, and for the others whole multiples of the file's own chunks
    of its largest variable, to about ``cells`` cells a chunk of it; one
    size a dimension, so that every variable is chunked alike."""
    import xarray as xr

    try:
        opener = xr.open_zarr if is_zarr(path) else xr.open_dataset
        with (open_grib(path) if engine(path) else
              opener(path, chunks=None, decode_times=False)) as ds:
            sizes = {str(name): int(size) for name, size in ds.sizes.items()}
            unknown = sorted(set(given) - set(sizes))
            if unknown:
                raise GridError(f"--chunks: no dimension {unknown[0]!r} in {path} (its "
                                f"dimensions: {', '.join(sizes)})")
            chunks = {name: given.get(name, size) for name, size in sizes.items()}
            if ds.data_vars:
                var = max(ds.data_vars.values(), key=lambda v: v.size)
                stored = var.encoding.get("preferred_chunks", {})
                chunks.update(along_stored(
                    {str(d): n for d, n in zip(var.dims, var.shape)},
                    {str(d): stored.get(d, n) for d, n in zip(var.dims, var.shape)},
                    given, cells))
            return chunks
    except GridError:
        raise
    except (OSError, ValueError, TypeError, KeyError, RuntimeError) as e:
        raise GridError(f"cannot read {path}: {' '.join(str(e).split()) or type(e).__name__}") \
            from None


def along_stored(shape: dict[str, int], stored: dict[str, int], given: dict[str, int],
                 cells: int) -> dict[str, int]:
    """Chunk sizes of about ``cells`` cells that are whole multiples of the
    file's own chunks (``stored``): the innermost dimensions first taken
    whole as far as they fit, then the outer ones grown by whole stored
    chunks; a stored chunk larger than ``cells`` is halved along its outer
    dimensions first.  Sizes ``given`` are kept."""
    sizes = {d: given.get(d, min(stored[d], n)) for d, n in shape.items()}
    free = [d for d in shape if d not in given]
    for d in free:   # outer dimensions first: a map is read whole
        while math.prod(sizes.values()) > cells and sizes[d] > 1:
            sizes[d] = -(-sizes[d] // 2)
    for d in reversed(free):   # then grown, inner dimensions first
        step = sizes[d]
        while sizes[d] + step <= shape[d] and \
                math.prod(sizes.values()) // sizes[d] * (sizes[d] + step) <= cells:
            sizes[d] += step
    return sizes


def blocks(chunks: tuple[tuple[int, ...], ...]) -> Iterator[tuple[tuple[int, ...], Region]]:
    """Each block of a dask chunk grid in C order: its index and region."""
    edges = [np.cumsum((0, *sizes)) for sizes in chunks]
    for index in itertools.product(*(range(len(sizes)) for sizes in chunks)):
        yield index, tuple(slice(int(e[i]), int(e[i + 1])) for e, i in zip(edges, index))


class NetCDF:
    """A NetCDF-4 file of the output: coordinates and attributes by xarray
    (with the input's time encoding), each column a variable of ``dtype``
    with NaN as fill value, defined by netCDF4; the chunks are then stored
    as they come, encoded, through h5py's direct chunk writes."""

    kind = "netcdf"

    def __init__(self, out: Any, path: str, compression: str, columns: list[str],
                 dtype: str = "float64") -> None:
        import h5py
        import netCDF4
        from xarray.backends.netCDF4_ import NETCDF4_PYTHON_LOCK

        self.chunk = hdf5_chunks(out[columns[0]].chunks, np.dtype(dtype).itemsize)
        out, encoding = conventions.coordinates(out)
        out.drop_vars(columns).to_netcdf(path, format="NETCDF4", engine="netcdf4",
                                         encoding=encoding)
        arguments, _ = COMPRESSION[compression]
        # netCDF4's HDF5 is not thread-safe: xarray reads the input under
        # this lock in dask's threads meanwhile.
        with NETCDF4_PYTHON_LOCK:
            with netCDF4.Dataset(path, "a") as file:
                for name in columns:
                    var = out[name]
                    target = file.createVariable(name, np.dtype(dtype), var.dims,
                                                 fill_value=np.dtype(dtype).type(np.nan),
                                                 chunksizes=self.chunk, **arguments)
                    attrs = dict(var.attrs)
                    auxiliary = [str(c) for c in out.coords
                                 if c not in out.dims and set(out[c].dims) <= set(var.dims)]
                    if auxiliary:
                        attrs["coordinates"] = " ".join(auxiliary)
                    target.setncatts(attrs)
        self.file = h5py.File(path, "r+")
        try:
            self.datasets = [self.file[name].id for name in columns]
        except BaseException:
            self.file.close()
            raise

    def store(self, parts: list[tuple[int, tuple[int, ...], Any]]) -> None:
        for k, offset, data in parts:
            self.datasets[k].write_direct_chunk(offset, data)

    def close(self) -> None:
        self.file.close()


def compressor_encoding(compressor: Any) -> dict[str, Any]:
    """xarray's encoding of a numcodecs compressor (or None) for a Zarr
    version 2 array: "compressor" with zarr-python 2, a list of
    "compressors" with zarr-python 3."""
    import zarr

    if int(zarr.__version__.split(".")[0]) >= 3:
        return {"compressors": [compressor] if compressor is not None else None}
    return {"compressor": compressor}


class Zarr:
    """A Zarr (version 2) store of the output: its layout and coordinates
    written by xarray, with consolidated metadata, the columns of ``dtype``;
    the chunks then stored as they come, encoded, one file each."""

    kind = "zarr"

    def __init__(self, out: Any, path: str, compression: str, columns: list[str],
                 dtype: str = "float64") -> None:
        filters, compressor = zarr_codecs(compression, dtype)
        self.chunk = tuple(c[0] for c in out[columns[0]].chunks)
        out, encoding = conventions.coordinates(out)
        encoding.update({name: {**compressor_encoding(compressor), "filters": filters,
                                "chunks": self.chunk, "dtype": dtype} for name in columns})
        out.to_zarr(path, mode="w", compute=False, encoding=encoding, consolidated=True,
                    zarr_format=2)
        self.path, self.columns = path, columns

    def store(self, parts: list[tuple[int, tuple[int, ...], Any]]) -> None:
        for k, offset, data in parts:
            key = ".".join(str(o // c) for o, c in zip(offset, self.chunk))
            with open(os.path.join(self.path, self.columns[k], key), "wb") as f:
                f.write(data)

    def close(self) -> None:
        pass


class Pending(Protocol):
    """A block under way: its value once computed, or its cancelling."""

    def result(self) -> Any:
        """The block's value; raises what computing it raised."""

    def cancel(self) -> bool:
        """Stops the block if it has not started: False if it is running, and
        it must then be waited for before the input is closed."""

    def add_done_callback(self, fn: Callable[[Any], None]) -> None:
        """Calls ``fn`` (with this) once the block is computed or failed,
        in whatever thread finishes it."""


#: Starts computing the key (the second argument) of a dask graph (a dict,
#: the first) and returns it as under way.
Submit = Callable[[dict[Any, Any], Any], Pending]


class Graph:
    """The tasks of the columns of every block, optimised once, and each
    block's few of them with its encoding appended.  Computing each block as
    a dask collection of its own would optimise the whole grid's graph for
    every block, a cost per block that grows with the number of blocks."""

    def __init__(self, data: Any, encoder: Encoder) -> None:
        from dask.base import optimize
        from dask.core import get_deps

        (optimised,) = optimize(data)   # type: ignore[no-untyped-call]
        self.tasks: dict[Any, Any] = dict(optimised.__dask_graph__())
        self.needs: dict[Any, Any] = get_deps(self.tasks)[0]
        self.name = str(optimised.name)
        self.encoder = encoder

    def block(self, index: tuple[int, ...], region: Region) -> tuple[dict[Any, Any], Any]:
        """The tasks that compute and encode block ``index`` (a dict) and the
        key of its encoded chunks."""
        key = (self.name, *index, 0)
        tasks: dict[Any, Any] = {}
        wanted: list[Any] = [key]
        while wanted:
            k = wanted.pop()
            if k not in tasks:
                tasks[k] = self.tasks[k]
                wanted.extend(self.needs[k])
        encoded = ("encode-" + self.name, *index)
        tasks[encoded] = (functools.partial(self.encoder, region=region), key)
        return tasks, encoded


def write(out: Any, stacked: Any, columns: list[str], path: str, compression: str,
          submit: Submit, depth: int, progress: Optional[Callable[[int], None]] = None,
          dtype: str = "float64", closing: Optional[Callable[[], None]] = None,
          overwrite: bool = False) -> None:
    """Writes ``out`` to ``path``, its ``columns`` from ``stacked`` (the same
    along a last dimension, in that order, lazily) as ``dtype``: each block
    computed and encoded through ``submit``, ``depth`` of them under way at
    once, and stored in the order of the blocks as soon as those before it
    are; a block that is done starts the next at once, whether or not its
    turn to be stored has come.  Memory holds ``2 * depth`` blocks at most,
    under way or waiting for their turn.  ``closing``, if given, runs once
    every block is stored, before the output takes its name (a cluster
    closed, say).  What is at ``path`` when the output takes its name is
    replaced only with ``overwrite`` (see :func:`files.put`).  Nothing is
    left beside ``path`` however it ends, nor at it if anything fails, and
    no block is still computing when it returns."""
    path = path.rstrip("/") or path
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise GridError(f"cannot write {path}: no directory {folder}")
    files.replaceable(path, is_zarr(path))
    files.remove_stale(path)
    temporary = files.part_name(path, os.getpid())
    # The coordinates are small: computed here, whatever dask's default
    # scheduler is (another thread's client may be coming or going).
    out = out.assign_coords({name: value.compute(scheduler="sync")
                             for name, value in out.coords.items()})
    data = stacked.data   # the columns in one chunk: a block of it is all of them
    try:
        target = (Zarr if is_zarr(path) else NetCDF)(out, temporary, compression, columns, dtype)
        under_way: dict[int, Pending] = {}
        try:
            graph = Graph(data, Encoder(target.kind, compression, target.chunk, dtype))
            in_order(list(blocks(data.chunks[:-1])), graph, submit, depth, target.store,
                     under_way, progress)
        finally:
            with held():
                try:
                    settle(iter(list(under_way.values())))
                finally:
                    target.close()
        with held():
            if closing is not None:
                closing()
        with held():   # from its name on, the output is complete: Ctrl-C is too late
            files.put(temporary, path, overwrite, is_zarr(path))
            done()
    except BaseException:
        with held():
            files.remove(temporary)
        raise


def in_order(order: list[tuple[tuple[int, ...], Region]], graph: Graph, submit: Submit,
             depth: int, store: Callable[[Parts], None], under_way: dict[int, Pending],
             progress: Optional[Callable[[int], None]] = None) -> None:
    """Computes the blocks of ``order``, ``depth`` at a time, and stores
    them in that order: a block done before its turn waits, encoded, while
    the next ones are computed (``2 * depth`` blocks held at most).  What a
    block raised is raised as soon as it is done.  ``under_way`` holds the
    blocks submitted and not yet stored, for the caller to settle."""
    finished: queue.SimpleQueue[int] = queue.SimpleQueue()
    ready: dict[int, Parts] = {}
    submitted = stored = running = cells = 0
    while stored < len(order):
        while submitted < len(order) and running < depth and submitted - stored < 2 * depth:
            pending = submit(*graph.block(*order[submitted]))
            under_way[submitted] = pending
            running += 1
            pending.add_done_callback(functools.partial(tell, finished, submitted))
            submitted += 1
        if stored in ready:
            store(ready.pop(stored))
            del under_way[stored]
            cells += math.prod(r.stop - r.start for r in order[stored][1])
            stored += 1
            if progress:
                progress(cells)
            continue
        position = finished.get()
        running -= 1
        ready[position] = under_way[position].result()


def tell(finished: queue.SimpleQueue[int], position: int, _: Any) -> None:
    finished.put(position)


def settle(under_way: Iterator[Pending]) -> None:
    """Cancels the blocks still under way and waits for those that already
    run: once the command returns and its input is closed, nothing may
    still read it."""
    running = [pending for pending in under_way if not pending.cancel()]
    for pending in running:
        try:
            pending.result()
        except Exception:   # what failed first is what is reported
            pass
