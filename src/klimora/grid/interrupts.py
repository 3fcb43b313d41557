"""Ctrl-C in ``klimora grid``: raised (as KeyboardInterrupt) only where the
run can end cleanly, once, and held while what the run opened or started
is closed.

:func:`ctrl_c_where_safe` takes SIGINT for the command's duration; the
blocks that close files, clusters and threads run under :func:`held`, so
that a Ctrl-C then (the first, or one more of an impatient user) neither
leaves a file half closed nor prints a traceback from a cluster's
shutdown.  After the first Ctrl-C every further one is dropped: the run
is ending as fast as it can.  Once the output has its name
(:func:`done`), the run is complete, and a Ctrl-C is dropped too.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from typing import Any, Iterator, Optional

__all__ = ["CtrlC", "ctrl_c_where_safe", "done", "held", "unsafe"]

#: Code of xarray's that keeps count of open files: an exception in it
#: leaves a manager half made, whose finaliser then fails and prints.
BOOKKEEPING = ("xarray/backends/file_manager.py", "xarray/backends/lru_cache.py")


class CtrlC:
    """The state of Ctrl-C for one command: the signals owed (arrived where
    they could not be raised), whether one was raised, and how many
    :func:`held` blocks run; ``raised`` is also set once the run is
    complete, when a Ctrl-C has nothing left to stop."""

    def __init__(self) -> None:
        self.owed: list[int] = []
        self.raised = False
        self.holding = 0

    def interrupt(self, signum: int, frame: Any) -> None:
        if self.raised:
            return   # the run is ending already, or complete
        if self.holding or unsafe(frame):
            if not self.owed:
                self.owed.append(signum)
                if not self.holding:   # raised a moment later, where it is safe
                    timer = threading.Timer(0.01, self.again)
                    timer.daemon = True
                    timer.start()
            return
        self.raised = True
        raise KeyboardInterrupt

    def again(self) -> None:
        if self.owed and not self.holding:
            self.owed.clear()
            os.kill(os.getpid(), signal.SIGINT)


#: The command's state while :func:`ctrl_c_where_safe` runs.
ACTIVE: list[CtrlC] = []


@contextlib.contextmanager
def ctrl_c_where_safe() -> Iterator[None]:
    """Ctrl-C raised (as KeyboardInterrupt) only where Python can deliver it,
    else a moment later (see :func:`unsafe`), and once.  In the main thread
    only, where Python runs signal handlers; a Ctrl-C still owed at the end
    is raised then."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    state = CtrlC()
    previous = signal.signal(signal.SIGINT, state.interrupt)
    ACTIVE.append(state)
    try:
        yield
    finally:
        ACTIVE.remove(state)
        signal.signal(signal.SIGINT, previous)
        if state.owed and not state.raised:
            raise KeyboardInterrupt


@contextlib.contextmanager
def held() -> Iterator[None]:
    """A block that closes what the run opened: a Ctrl-C that arrives in it
    is raised after it, if no other was."""
    state: Optional[CtrlC] = ACTIVE[-1] if ACTIVE else None
    if state is None or threading.current_thread() is not threading.main_thread():
        yield
        return
    state.holding += 1
    try:
        yield
    finally:
        state.holding -= 1
    if not state.holding and state.owed and not state.raised:
        state.owed.clear()
        state.raised = True
        raise KeyboardInterrupt


def done() -> None:
    """The run is complete (its output has its name): a Ctrl-C from now on,
    or one owed, is dropped."""
    if ACTIVE:
        ACTIVE[-1].owed.clear()
        ACTIVE[-1].raised = True


def unsafe(frame: Any) -> bool:
    """Whether an exception raised in ``frame`` could be lost or leave a lock
    held: while any thread holds CPython's import lock or this one runs the
    import system (an exception in its bookkeeping can leave the lock held
    for good, and the thread that starts a local cluster, which imports as
    it goes, then waits for ever), a finaliser or a garbage collector
    callback (such as dask.distributed's, where it is printed and dropped),
    or xarray's bookkeeping of open files."""
    import _imp
    import gc

    if _imp.lock_held():
        return True
    callbacks = {getattr(getattr(c, "__func__", c), "__code__", None) for c in gc.callbacks}
    while frame is not None:
        code = frame.f_code
        if code in callbacks or code.co_name == "__del__" or \
                code.co_filename.startswith("<frozen importlib") or \
                code.co_filename.replace(os.sep, "/").endswith(BOOKKEEPING):
            return True
        frame = frame.f_back
    return False
