"""``klimora grid``: radiation and mean radiant temperature for every cell and
time of a weather grid, NetCDF or Zarr in and out, on dask.

Without options the blocks are computed on dask's threaded scheduler;
``--workers N`` starts a local dask.distributed cluster of N worker
processes, ``--scheduler ADDRESS`` joins a running one.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import logging
import os
import sys
from typing import IO, Any, Callable, Optional, Sequence

from klimora import chain as C
from klimora.cli import Parser, Progress, UsageError, one_line

#: What ``klimora grid`` needs beyond klimora: (module, what pip installs).
NEEDS = (("xarray", "xarray"), ("dask.array", "dask"), ("netCDF4", "netCDF4"),
         ("zarr", "zarr"), ("pint", "pint"), ("cf_xarray", "cf-xarray"))
#: Bytes of a chunk of an input variable when --chunks leaves a dimension
#: to dask: about half a million cells of float32, whose 15 float64 columns
#: then make blocks of about 60 MB.
CHUNK_BYTES = 2 << 20


#: glibc's malloc in the workers of --workers.  dask's nannies set a trim
#: threshold of 64 KiB, which turns off glibc's adaptive mmap threshold:
#: each of the chain's temporaries of a block (128 KiB) is then mapped and
#: faulted in afresh, and the chain takes 1.4 times as long.  Memory freed is
#: still returned, once 64 MiB of it lie at the top of the heap.
WORKER_MALLOC = {"MALLOC_TRIM_THRESHOLD_": str(64 << 20), "MALLOC_MMAP_THRESHOLD_": str(16 << 20)}


def build_parser() -> Parser:
    from klimora.grid.store import COMPRESSION

    p = Parser(prog="klimora grid",
               description="Radiation and mean radiant temperature for every cell and time "
                           "of a CF weather grid (NetCDF or Zarr), through klimora.chain on "
                           "dask.  Variables are found by standard_name: air_temperature; "
                           "relative_humidity, dew_point_temperature or "
                           "water_vapor_partial_pressure_in_air; cloud_area_fraction; "
                           "wind_speed or eastward_wind and northward_wind; optionally "
                           "surface_altitude, surface_albedo and measured fluxes.  Times are "
                           "UTC.")
    p.add_argument("--input", required=True, metavar="WEATHER.nc",
                   help="the weather: a NetCDF file or a Zarr store (name ending in .zarr)")
    p.add_argument("--output", required=True, metavar="RADIATION.nc",
                   help="where the columns go: NetCDF-4, or Zarr for a name ending in .zarr; "
                        "written under a temporary name and renamed when complete")
    p.add_argument("--chunks", metavar="DIM=N,...",
                   help="dask chunk sizes of the input's dimensions, such as "
                        "time=24,lat=256,lon=256; dimensions not named are chunked by dask "
                        f"along the file's own chunks, to about {CHUNK_BYTES >> 20} MiB per "
                        "variable")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="start a local dask.distributed cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a dask.distributed cluster, such as tcp://host:8786")
    p.add_argument("--compression", choices=tuple(COMPRESSION), default="zstd",
                   help="of the output's chunks, at level 1: zstd (default; NetCDF-C 4.9 "
                        "and later read it, as xarray's netCDF4 engine does), zlib (any "
                        "NetCDF-4 reader, some times slower), none")
    p.add_argument("--projection-factor", choices=C.PROJECTION_FACTORS, default="system",
                   help="projection factor of a standing person for the direct beam")
    p.add_argument("--utci", action="store_true",
                   help="add utci (needs pythermalcomfort: pip install 'klimora[utci]')")
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
            raise UsageError(f"klimora grid needs {package}: pip install 'klimora[grid]'") \
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


def threaded(pool: concurrent.futures.Executor) -> tuple[Callable[[Any], Callable[[], Any]], int]:
    """Computes blocks on dask's threaded scheduler, each from a thread of
    ``pool``, while the writer stores those before them."""
    from dask.base import compute

    def submit(block: Any) -> Callable[[], Any]:
        future = pool.submit(compute, block, scheduler="threads")
        return lambda: future.result()[0]

    return submit, (os.cpu_count() or 1) + 1


def distributed(client: Any) -> tuple[Callable[[Any], Callable[[], Any]], int]:
    """Computes blocks on a dask.distributed cluster: two for each of its
    threads under way, so that none waits while the writer stores."""
    def submit(block: Any) -> Callable[[], Any]:
        future = client.compute(block)
        return lambda: future.result()

    return submit, 2 * (sum(client.nthreads().values()) or 1)


def local_cluster(workers: int) -> Any:
    """A dask.distributed cluster of ``workers`` processes of one thread each."""
    import dask
    from distributed import LocalCluster

    with dask.config.set({"distributed.nanny.pre-spawn-environ": WORKER_MALLOC}):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            dashboard_address=None, silence_logs=logging.ERROR,
                            preload=["klimora.grid.worker"])


def run(args: argparse.Namespace, argv: Sequence[str], err: IO[str],
        pool: concurrent.futures.Executor, starting: Optional[concurrent.futures.Future[Any]]) \
        -> None:
    from klimora.grid import GridError, columns
    from klimora.grid import store

    if args.utci:
        try:
            import pythermalcomfort.models  # noqa: F401
        except ImportError:
            raise UsageError("--utci needs pythermalcomfort: pip install 'klimora[utci]'") \
                from None
    client = ds = None
    try:
        try:
            chunks = store.chunking(args.input, parse_chunks(args.chunks), CHUNK_BYTES)
            ds = store.open_weather(args.input, chunks)
            out, stacked = columns(ds, projection_factor=args.projection_factor,
                                   utci=args.utci, history="klimora grid " + " ".join(argv))
        except GridError as e:
            raise UsageError(one_line(e)) from None
        names = [str(name) for name in stacked["column"].values]
        total = stacked.size // stacked.sizes["column"]
        progress = Progress(total, err, unit="cell-hours")
        if starting is not None or args.scheduler is not None:
            from distributed import Client

            if starting is not None:
                client = Client(starting.result())
            else:
                try:
                    client = Client(args.scheduler, timeout="10s")
                except (OSError, TimeoutError) as e:
                    raise UsageError(f"--scheduler {args.scheduler}: {one_line(e)}") from None
            submit, depth = distributed(client)
        else:
            submit, depth = threaded(pool)
        store.write(out, stacked, names, args.output, args.compression, submit, depth,
                    progress.update)
    except GridError as e:
        raise UsageError(one_line(e)) from None
    except ValueError as e:   # the chain refused values as they were computed
        raise UsageError(f"{args.input}: {named(one_line(e), ds)}") from None
    except (OSError, RuntimeError) as e:
        raise UsageError(f"cannot read {args.input} or write {args.output}: "
                         f"{one_line(e)}") from None
    finally:
        if client is not None:
            client.close()
    progress.update(total, final=True)


def named(message: str, ds: Any) -> str:
    """The chain's refusal, with the input variable a name came from."""
    from klimora.grid.cf import FIELDS, find

    for standard_name, (chain_name, _) in FIELDS.items():
        if ds is not None and message.startswith(chain_name + " "):
            variable = find(ds, standard_name)
            if variable is not None:
                return f"{variable} ({standard_name}, as {chain_name})" + \
                    message[len(chain_name):]
    return message


def main(argv: Sequence[str], err: IO[str] = sys.stderr) -> None:
    """``klimora grid`` with its arguments; UsageError for bad input."""
    args = build_parser().parse_args(argv)
    if args.workers is not None and args.workers < 1:
        raise UsageError("--workers must be at least 1")
    need_extra(args.workers is not None or args.scheduler is not None, only_distributed=True)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1))
    # A local cluster starts (and its workers import) while this process
    # imports the rest and opens the input.
    starting = pool.submit(local_cluster, args.workers) if args.workers else None
    try:
        need_extra(args.workers is not None or args.scheduler is not None)
        run(args, argv, err, pool, starting)
    finally:
        if starting is not None:
            starting.result().close()
        pool.shutdown()
