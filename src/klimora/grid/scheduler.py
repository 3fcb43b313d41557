"""Where ``klimora grid`` computes its blocks: the threads of this process
or a dask.distributed cluster (a local one it starts, or one it joins),
with the workers' logs kept quiet.  Ctrl-C is :mod:`klimora.grid.interrupts`'s."""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import os
import signal
import sys
from typing import Any, Iterator, Optional

from klimora.errors import UsageError, one_line
from klimora.grid import store

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
#: The event topic on which the workers of --workers pass on the chain's
#: warnings (kind and count), for the command to sum and say once.
CHAIN_WARNINGS = "klimora.chain-warnings"
#: What the server the local cluster's workers are forked from imports.
FORKSERVER_PRELOAD = ("distributed", "klimora.grid.worker")



def threaded(pool: concurrent.futures.Executor) -> tuple[store.Submit, int]:
    """Computes blocks in the threads of ``pool``, each block's tasks one
    after another in one thread, one more block at a time than there are
    cores (while one reads the input, which netCDF4 does one thread at a
    time, the others compute), while the writer stores those before them:
    once a block is done, none of its tasks still reads the input (dask's
    threaded scheduler returns on a task's error while others of the block
    still run)."""
    def submit(tasks: dict[Any, Any], key: Any) -> store.Pending:
        return pool.submit(compute, tasks, key)

    return submit, (os.cpu_count() or 1) + 1


def compute(tasks: dict[Any, Any], key: Any) -> Any:
    """The value of ``key`` in the graph ``tasks``, its tasks one after
    another in this thread."""
    from dask.core import get

    return get(tasks, [key])[0]


def chain_warnings_of_workers(client: Any) -> list[tuple[str, int]]:
    """(kind, count) of each ChainWarning the workers passed on."""
    return [(event["kind"], event["count"]) for _, event in client.get_events(CHAIN_WARNINGS)]


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

    def add_done_callback(self, fn: Any) -> None:
        self.future.add_done_callback(lambda _: fn(self))


class Block:
    """A block's graph and key, computed when called: the function of the
    block's one task.  Given as the task's arguments instead, the graph
    would be taken apart by dask.distributed, its tasks as the scheduler's."""

    def __init__(self, tasks: dict[Any, Any], key: Any) -> None:
        self.tasks, self.key = tasks, key

    def __call__(self) -> Any:
        return compute(self.tasks, self.key)


def distributed(client: Any) -> tuple[store.Submit, int]:
    """Computes blocks on a dask.distributed cluster, each block one task
    that runs the block's graph in its worker (as :func:`threaded` does in
    a thread): its input read there, and nothing moved between workers.
    Handed to the scheduler task by task, a block's twenty-odd tasks cost
    the scheduler 10 ms each and share the input's handles and coordinates
    (computed by one worker, fetched by the others).  Two blocks for each
    of the cluster's threads are under way, so that none waits for the
    next block to be sent."""
    def submit(tasks: dict[Any, Any], key: Any) -> store.Pending:
        return Remote(client.submit(Block(tasks, key), pure=False))

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

    settings = {"distributed.nanny.pre-spawn-environ": WORKER_MALLOC, VERBOSE_KEY: verbose,
                "distributed.worker.multiprocessing-method": "forkserver"}
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        with dask.config.set(settings):
            forkserver_preloads()
            # No dashboard; the scheduler's HTTP server (health, metrics) on
            # a free port instead of 8787, whose being taken is warned of.
            return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                dashboard_address=None,
                                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                silence_logs=logging.WARNING if verbose else logging.CRITICAL + 1,
                                preload=["klimora.grid.worker"])
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def forkserver_preloads() -> None:
    """The workers forked from one server process that imported what they
    run first: the imports and the unit registry (3.5 CPU seconds) are then
    paid once, not once a worker (spawned, each imports them anew), and
    while this process itself imports and opens the input.  dask.distributed
    names its own preloads on its first use of the method; these replace
    them, until the server starts (once a process: later clusters fork from
    the same server)."""
    from distributed.utils import get_mp_context

    get_mp_context().set_forkserver_preload(list(FORKSERVER_PRELOAD))


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
