"""``klimora grid``: radiation and mean radiant temperature for every cell and
time of a weather grid, NetCDF or Zarr in and out, on dask.

Without options the blocks are computed on dask's threaded scheduler;
``--workers N`` starts a local dask.distributed cluster of N worker
processes, ``--scheduler ADDRESS`` joins a running one.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import logging
import os
import signal
import sys
import threading
from typing import IO, Any, Iterator, Optional, Sequence

from klimora import chain as C
from klimora.cli import Parser, Progress, UsageError, one_line
from klimora.grid import store
from klimora.grid.cf import GridError

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
#: The loggers of dask.distributed and of the libraries it runs on: what
#: they say (a worker lost, its tracebacks) is shown only with --verbose.
LOGGERS = ("distributed", "tornado", "asyncio", "bokeh")
#: Set for the workers of --workers: whether they keep their log.
VERBOSE_KEY = "klimora.grid.verbose"


def build_parser() -> Parser:
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
    p.add_argument("--compression", choices=tuple(store.COMPRESSION), default="zstd",
                   help="of the output's chunks, at level 1: zstd (default; NetCDF-C 4.9 "
                        "and later read it, as xarray's netCDF4 engine does), zlib (any "
                        "NetCDF-4 reader, some times slower), none")
    p.add_argument("--projection-factor", choices=C.PROJECTION_FACTORS, default="system",
                   help="projection factor of a standing person for the direct beam")
    p.add_argument("--utci", action="store_true",
                   help="add utci (needs pythermalcomfort: pip install 'klimora[utci]')")
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


def threaded(pool: concurrent.futures.Executor) -> tuple[store.Submit, int]:
    """Computes blocks in the threads of ``pool``, each block's tasks one
    after another in one thread, while the writer stores those before them:
    once a block is done, none of its tasks still reads the input (dask's
    threaded scheduler returns on a task's error while others of the block
    still run)."""
    from dask.core import get

    def compute(tasks: dict[Any, Any], key: Any) -> Any:
        return get(tasks, [key])[0]

    def submit(tasks: dict[Any, Any], key: Any) -> store.Pending:
        return pool.submit(compute, tasks, key)

    return submit, (os.cpu_count() or 1) + 1


class Remote:
    """A block under way on a dask.distributed cluster: its workers read the
    input themselves, so a block cancelled need not be waited for."""

    def __init__(self, future: Any) -> None:
        self.future = future

    def result(self) -> Any:
        return self.future.result()

    def cancel(self) -> bool:
        try:
            self.future.cancel()
        except Exception:   # a cluster gone has nothing left to cancel
            pass
        return True


def distributed(client: Any) -> tuple[store.Submit, int]:
    """Computes blocks on a dask.distributed cluster: two for each of its
    threads under way, so that none waits while the writer stores."""
    def submit(tasks: dict[Any, Any], key: Any) -> store.Pending:
        return Remote(client.get(tasks, key, sync=False))

    return submit, 2 * (sum(client.nthreads().values()) or 1)


def local_cluster(workers: int, verbose: bool) -> Any:
    """A dask.distributed cluster of ``workers`` processes of one thread each,
    whose log (and that of its workers) is kept only if ``verbose``.

    Ctrl-C at a terminal reaches every process of its group, and a worker
    would print the traceback of its own KeyboardInterrupt: the workers are
    started with SIGINT blocked (the cluster's thread, which starts them and
    any that replace a lost one, takes this thread's signal mask), and this
    process, on Ctrl-C, stops them."""
    import dask
    from distributed import LocalCluster

    settings = {"distributed.nanny.pre-spawn-environ": WORKER_MALLOC, VERBOSE_KEY: verbose}
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        with dask.config.set(settings):
            # No dashboard; the scheduler's HTTP server (health, metrics) on
            # a free port instead of 8787, whose being taken is warned of.
            return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                dashboard_address=None,
                                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                silence_logs=logging.WARNING if verbose else logging.CRITICAL + 1,
                                preload=["klimora.grid.worker"])
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def quiet_resource_tracker() -> None:
    """Starts multiprocessing's resource tracker, unless it runs, with its
    warnings off: after a worker was killed it warns, as the command exits,
    of the worker's semaphores, which it then removes.  (It takes this
    process's warning options as it starts.)"""
    from multiprocessing import resource_tracker

    option = "ignore::UserWarning:multiprocessing.resource_tracker"
    sys.warnoptions.append(option)
    try:
        resource_tracker.ensure_running()
    finally:
        sys.warnoptions.remove(option)


def started(starting: concurrent.futures.Future[Any], workers: int) -> Any:
    """The local cluster once started; UsageError, one line, if it did not
    start (its processes then stopped by dask.distributed)."""
    try:
        return starting.result()
    except Exception as e:
        raise UsageError(f"--workers {workers}: the local dask.distributed cluster did not "
                         f"start: {one_line(e) or type(e).__name__}") from None


def stop(starting: Optional[concurrent.futures.Future[Any]]) -> None:
    """Closes the local cluster, waiting for it if it is still starting; a
    cluster that did not start, or fails to close, is no error of the
    command's (what went wrong before is what it reports)."""
    if starting is None:
        return
    try:
        cluster = starting.result()
    except Exception:
        return
    try:
        cluster.close()
    except Exception:
        logging.getLogger("distributed").exception("closing the local cluster failed")


@contextlib.contextmanager
def quiet(verbose: bool) -> Iterator[None]:
    """dask.distributed's log (and that of tornado and asyncio, which it runs
    on) dropped unless ``verbose``, then put back as it was: the command
    reports what fails in one line of its own, and a worker lost and
    replaced is no failure."""
    if verbose:
        yield
        return
    names = [name for name in logging.Logger.manager.loggerDict
             if any(name == top or name.startswith(top + ".") for top in LOGGERS)]
    saved = []
    for name in sorted(set(names) | set(LOGGERS)):
        logger = logging.getLogger(name)
        saved.append((logger, logger.handlers, logger.propagate))
        logger.handlers, logger.propagate = [logging.NullHandler()], False
    try:
        yield
    finally:
        for logger, handlers, propagate in saved:
            logger.handlers, logger.propagate = handlers, propagate


@contextlib.contextmanager
def ctrl_c_where_safe() -> Iterator[None]:
    """Ctrl-C raised (as KeyboardInterrupt) only where Python can deliver it,
    else a moment later (see :func:`unsafe`).  In the main thread only,
    where Python runs signal handlers; a Ctrl-C still owed at the end is
    raised then."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    owed: list[int] = []

    def again() -> None:
        if owed:
            owed.pop()
            os.kill(os.getpid(), signal.SIGINT)

    def interrupt(signum: int, frame: Any) -> None:
        if unsafe(frame):
            owed.append(signum)
            timer = threading.Timer(0.01, again)
            timer.daemon = True
            timer.start()
            return
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if owed:
            owed.clear()
            raise KeyboardInterrupt


def unsafe(frame: Any) -> bool:
    """Whether an exception raised in ``frame`` could be lost or leave a lock
    held: while any thread holds CPython's import lock or this one runs the
    import system (an exception in its bookkeeping can leave the lock held
    for good, and the thread that starts a local cluster, which imports as
    it goes, then waits for ever), a finaliser or a garbage collector
    callback (such as dask.distributed's, where it is printed and dropped)."""
    import _imp
    import gc

    if _imp.lock_held():
        return True
    callbacks = {getattr(getattr(c, "__func__", c), "__code__", None) for c in gc.callbacks}
    while frame is not None:
        code = frame.f_code
        if code in callbacks or code.co_name == "__del__" or \
                code.co_filename.startswith("<frozen importlib"):
            return True
        frame = frame.f_back
    return False


def run(args: argparse.Namespace, argv: Sequence[str], err: IO[str],
        pool: concurrent.futures.Executor, starting: Optional[concurrent.futures.Future[Any]]) \
        -> None:
    """Reads, computes and writes; every file it opened is closed when it
    returns, however it ends: a Dataset left open is closed by the garbage
    collector in whatever thread it runs, and that may be one where
    netCDF4 reads (HDF5 is not thread-safe)."""
    from klimora.grid import columns

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
                client = Client(started(starting, args.workers))
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
        try:
            if client is not None:
                client.close()
        finally:
            if ds is not None:
                ds.close()
    progress.update(total, final=True)


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
        store.apart(args.input, args.output)
    except GridError as e:
        raise UsageError(one_line(e)) from None
    with ctrl_c_where_safe(), quiet(args.verbose):
        need_extra(args.workers is not None or args.scheduler is not None,
                   only_distributed=True)
        if args.workers and not args.verbose:
            quiet_resource_tracker()
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1))
        starting = None
        try:
            # A local cluster starts (and its workers import) while this
            # process imports the rest and opens the input.
            if args.workers:
                starting = pool.submit(local_cluster, args.workers, args.verbose)
            need_extra(args.workers is not None or args.scheduler is not None)
            run(args, argv, err, pool, starting)
        finally:
            stop(starting)
            pool.shutdown()
