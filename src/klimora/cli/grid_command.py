"""``klimora grid``: radiation and mean radiant temperature for every cell and
time of a weather grid, NetCDF or Zarr in and out, on dask.

Without options the blocks are computed on dask's threaded scheduler;
``--workers N`` starts a local dask.distributed cluster of N worker
processes, ``--scheduler ADDRESS`` joins a running one.  The output's
format is its name's (.nc or .zarr); an existing output is replaced only
with ``--overwrite``.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import os
import sys
from typing import IO, Any, Optional, Sequence

from klimora import chain as C
from klimora.cli.common import (Parser, Progress, UsageError, add_model_options,
                                add_time_label_options, chain_warnings, one_line, options_of,
                                surface_of)
from klimora.conventions import recognised
from klimora.grid import codecs, files, scheduler, settings, store
from klimora.grid.cf import GridError, with_names
from klimora.grid.interrupts import ctrl_c_where_safe, held

#: What ``klimora grid`` needs beyond klimora: (module, what pip installs).
NEEDS = (("xarray", "xarray"), ("dask.array", "dask"), ("netCDF4", "netCDF4"),
         ("zarr", "zarr"), ("pint", "pint"), ("cf_xarray", "cf-xarray"))
#: Cells of a chunk of the input when --chunks leaves a dimension to dask:
#: about half a million, whatever the input's dtype, whose 15 float64
#: columns then make blocks of about 60 MB.  Counted in cells, not bytes: a
#: float64 input's stored chunks of that size are read whole, each
#: decompressed once, not cut in two and decompressed twice.
CHUNK_CELLS = 1 << 19
#: The output's formats, by the end of its name.
FORMATS = {".nc": "NetCDF-4", ".zarr": "Zarr"}
#: --dtype: what the columns are stored as.
DTYPES = ("float32", "float64")


def build_parser() -> Parser:
    p = Parser(prog="klimora grid",
               description="Radiation and mean radiant temperature for every cell and time "
                           "of a CF weather grid (NetCDF or Zarr), through klimora.chain on "
                           "dask.  Variables are found by standard_name: air_temperature; "
                           "relative_humidity, dew_point_temperature or "
                           "water_vapor_partial_pressure_in_air; cloud_area_fraction; "
                           "wind_speed or eastward_wind and northward_wind; optionally "
                           "surface_altitude, surface_albedo and "
                           "measured fluxes, and by their names linke (Linke turbidity) and "
                           "bowen (Bowen ratio); --var names others.  "
                           + settings.defaults_text())
    p.add_argument("--input", required=True, metavar="WEATHER.nc",
                   help="the weather: a NetCDF file or a Zarr store (name ending in .zarr)")
    p.add_argument("--output", required=True, metavar="RADIATION.nc",
                   help="where the columns go: NetCDF-4 for a name ending in .nc, Zarr for "
                        ".zarr (any other name is refused); written under a temporary name "
                        "and renamed when complete")
    p.add_argument("--overwrite", action="store_true",
                   help="replace an existing output (without it, one is refused) once the "
                        "new one is complete: a NetCDF file, a Zarr store, or a symbolic link "
                        "(the link itself, not what it points to)")
    p.add_argument("--var", action="append", default=[], metavar="STANDARD_NAME=VARIABLE",
                   help="take VARIABLE as STANDARD_NAME, whatever standard_name it carries, "
                        "such as air_temperature=t2m (repeatable); also linke=, bowen= and "
                        "body_albedo= for the variables found by the chain's names")
    p.add_argument("--dtype", choices=DTYPES,
                   help="what the columns are stored as (default: float32 if the input's "
                        "air temperature is float32, as most model output is, else float64)")
    p.add_argument("--chunks", metavar="DIM=N,...",
                   help="dask chunk sizes of the input's dimensions, such as "
                        "time=24,lat=256,lon=256; dimensions not named are chunked by dask "
                        "along the file's own chunks, to about half a million cells a "
                        "block")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="start a local dask.distributed cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a dask.distributed cluster, such as tcp://host:8786")
    p.add_argument("--compression", choices=tuple(codecs.COMPRESSION), default=codecs.DEFAULT,
                   help="of the output's chunks, at level 1, the bytes shuffled first: zlib "
                        "(default: HDF5's own deflate, which every NetCDF-4 and Zarr reader "
                        "opens, ncdump, h5py, CDO, NCO and Panoply with no plugin), lz4 "
                        "(Blosc's, the fastest; readers need HDF5's Blosc filter plugin, as "
                        "hdf5plugin or NetCDF-C 4.9's plugin path give), zstd (2 to 3 times "
                        "as slow as lz4; HDF5's zstd filter plugin; unshuffled in NetCDF-4, "
                        "as netCDF4 shuffles only for zlib), none")
    add_model_options(p, "a variable bowen")
    add_time_label_options(p, "the times")
    p.add_argument("--verbose", action="store_true",
                   help="also show dask.distributed's own log on stderr (workers lost and "
                        "restarted, their tracebacks); without it stderr holds the "
                        "command's own lines alone, and what failed is said in one line")
    return p


def need_extra(distributed: bool, only_distributed: bool = False) -> None:
    """UsageError, one line, if the extra is not installed."""
    import importlib

    needs: tuple[tuple[str, str], ...] = () if only_distributed else NEEDS
    needs += (("distributed", "distributed"),) if distributed else ()
    for module, package in needs:
        try:
            importlib.import_module(module)
        except ImportError:
            raise UsageError(f"klimora grid needs {package}: pip install '.[grid]'") \
                from None


def parse_chunks(text: Optional[str]) -> dict[str, int]:
    """--chunks as a dict of dimension to size."""
    chunks: dict[str, int] = {}
    for item in (text or "").split(","):
        if not item.strip():
            continue
        name, _, value = item.partition("=")
        try:
            size = int(value)
        except ValueError:
            size = 0
        if not name.strip() or size <= 0:
            raise UsageError(f"--chunks: {item.strip()!r} is not DIM=N with N a positive whole "
                             "number")
        chunks[name.strip()] = size
    return chunks


def parse_vars(items: Sequence[str]) -> dict[str, str]:
    """--var as a dict of standard_name to variable; UsageError, one line,
    for an item that is not STANDARD_NAME=VARIABLE or a name given twice."""
    names: dict[str, str] = {}
    for item in items:
        standard_name, _, variable = (part.strip() for part in item.partition("="))
        if not standard_name or not variable:
            raise UsageError(f"--var {item!r} is not STANDARD_NAME=VARIABLE, such as "
                             "air_temperature=t2m")
        if standard_name in names:
            raise UsageError(f"--var {standard_name} is given twice")
        names[standard_name] = variable
    return names


def check_output(args: argparse.Namespace) -> None:
    """UsageError, one line, for an output whose name is no format's, or
    that exists and is not to be overwritten, or not what its format may
    replace (a folder that is no Zarr store)."""
    name = args.output.rstrip("/")
    suffix = os.path.splitext(name)[1]
    if suffix not in FORMATS:
        said = f"unknown format {suffix!r}" if suffix else "no extension"
        raise UsageError(f"--output {args.output}: {said}; name it .nc (NetCDF-4) or .zarr "
                         "(Zarr)")
    if os.path.lexists(name) and not args.overwrite:
        raise UsageError(f"--output {args.output} exists: give --overwrite to replace it")
    try:
        files.replaceable(name, suffix == ".zarr")
    except GridError as e:
        raise UsageError(one_line(e)) from None


def dtype_of(args: argparse.Namespace, ds: Any) -> str:
    """--dtype, or the air temperature's: float32 if it is float32."""
    from klimora.grid.cf import cf_name, find

    if args.dtype is not None:
        return str(args.dtype)
    air = find(ds, cf_name("air_temp"))
    return "float32" if air is not None and ds[air].dtype == "float32" else "float64"


def run(args: argparse.Namespace, argv: Sequence[str], err: IO[str],
        pool: concurrent.futures.Executor, starting: Optional[concurrent.futures.Future[Any]]) \
        -> None:
    """Reads, computes and writes; every file it opened is closed when it
    returns, however it ends: a Dataset left open is closed by the garbage
    collector in whatever thread it runs, and that may be one where
    netCDF4 reads (HDF5 is not thread-safe)."""
    from klimora.grid import columns, time_meaning

    options = options_of(args)
    names = parse_vars(args.var)
    client = ds = opened = None
    told: dict[str, int] = {}   # the computed blocks' warnings by kind: the values they concern
    try:
        try:
            chunks = store.chunking(args.input, parse_chunks(args.chunks), CHUNK_CELLS)
            ds = opened = store.open_weather(args.input, chunks)
            if names:
                ds = with_names(ds, names, args.input)
            with chain_warnings(others=True) as said:
                ds = recognised(ds)
                surface_of(args, "bowen" in ds.data_vars, "a variable bowen", args.input)
                time_label, interval = time_meaning(ds, options.time_label, options.interval)
                options = dataclasses.replace(options, time_label=time_label, interval=interval)
                out, stacked = columns(ds, options=options, surface=args.surface,
                                       history="klimora grid " + " ".join(argv))
            out.attrs.update(settings.attributes(ds, options, args.surface))
        except GridError as e:
            raise UsageError(one_line(e)) from None
        for warning in said:
            err.write(f"klimora: {warning}\n")
        columns_written = [str(name) for name in stacked["column"].values]
        total = stacked.size // stacked.sizes["column"]
        progress = Progress(total, err, unit="cell-hours")
        if starting is not None or args.scheduler is not None:
            from distributed import Client

            # Blocks go to the client explicitly: it does not become dask's
            # default scheduler, which would outlive the command in a process
            # that goes on (a threaded run after it would ask for a client).
            if starting is not None:
                client = Client(scheduler.started(starting, args.workers), set_as_default=False)
            else:
                try:
                    client = Client(args.scheduler, timeout="10s", set_as_default=False)
                except (OSError, TimeoutError) as e:
                    raise UsageError(f"--scheduler {args.scheduler}: {one_line(e)}") from None
            submit, depth = scheduler.distributed(client)
        else:
            submit, depth = scheduler.threaded(pool)
        def closing() -> None:
            """The cluster closed before the output takes its name: once it
            has it, the run is complete."""
            nonlocal client
            if client is not None:
                for kind, count in scheduler.chain_warnings_of_workers(client):
                    told[kind] = told.get(kind, 0) + count
                client.close()
                client = None
            scheduler.stop(starting)

        # What the blocks' chain says as they are computed (UTCI values
        # outside its range), summed over the blocks: one line a kind.
        with chain_warnings(others=True) as computed:
            store.write(out, stacked, columns_written, args.output, args.compression, submit,
                        depth, progress.update, dtype_of(args, ds), closing, args.overwrite)
        for warning in computed:
            told[warning.kind] = told.get(warning.kind, 0) + warning.count
    except GridError as e:
        raise UsageError(one_line(e)) from None
    except ValueError as e:   # the chain refused values as they were computed
        message = named(one_line(e), ds).replace("give interval=,", "give --interval,")
        raise UsageError(f"{args.input}: {message}") from None
    except (OSError, RuntimeError) as e:
        raise UsageError(f"cannot read {args.input} or write {args.output}: "
                         f"{one_line(e)}") from None
    finally:
        with held():
            try:
                if client is not None:
                    client.close()
            finally:
                if opened is not None:
                    opened.close()
    progress.update(total, final=True)
    for kind, count in told.items():
        err.write(f"klimora: {C.ChainWarning.about(kind, count)}\n")


def named(message: str, ds: Any) -> str:
    """The chain's refusal, with the input variable a name came from: a
    weather field by its standard_name, the height from surface_altitude,
    latitude and longitude from the grid's coordinates."""
    if ds is None:
        return message
    for chain_name, (variable, meaning) in sources(ds).items():
        if message.startswith(chain_name + " "):
            said = meaning if meaning == chain_name else f"{meaning}, as {chain_name}"
            return f"{variable} ({said})" + message[len(chain_name):]
    return message


def sources(ds: Any) -> dict[str, tuple[str, str]]:
    """The chain's names -> (input variable, its standard_name) for what
    ``ds`` holds; those it does not, or holds twice, are left out."""
    from klimora.grid.cf import ALTITUDE, FIELDS, coordinate_name, find

    found: dict[str, tuple[str, str]] = {}
    wanted = {chain_name: standard_name for standard_name, (chain_name, _) in FIELDS.items()}
    wanted["height"] = ALTITUDE
    for chain_name, standard_name in wanted.items():
        try:
            variable = find(ds, standard_name)
        except GridError:
            continue
        if variable is not None:
            found[chain_name] = (variable, standard_name)
    for axis in ("latitude", "longitude"):
        try:
            found[axis] = (coordinate_name(ds, axis), axis)
        except GridError:
            pass
    return found


def main(argv: Sequence[str], err: IO[str] = sys.stderr) -> None:
    """``klimora grid`` with its arguments; UsageError for bad input.  Nothing
    is left behind however it ends: no output, no temporary file, no
    cluster, no file open."""
    args = build_parser().parse_args(argv)
    if args.workers is not None and args.workers < 1:
        raise UsageError("--workers must be at least 1")
    try:
        files.apart(args.input, args.output)
    except GridError as e:
        raise UsageError(one_line(e)) from None
    check_output(args)
    parse_vars(args.var)
    with ctrl_c_where_safe(), scheduler.quiet(args.verbose):
        need_extra(args.workers is not None or args.scheduler is not None,
                   only_distributed=True)
        if args.workers and not args.verbose:
            scheduler.quiet_resource_tracker()
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1))
        starting = None
        try:
            # A local cluster starts (and its workers import) while this
            # process imports the rest and opens the input.
            if args.workers:
                starting = pool.submit(scheduler.local_cluster, args.workers, args.verbose)
            need_extra(args.workers is not None or args.scheduler is not None)
            run(args, argv, err, pool, starting)
        finally:
            with held():
                scheduler.stop(starting)
                pool.shutdown()
