"""Threads: eight threads calling every function at once, with the
interpreter switching between them as often as it can and a ninth thread
swapping the module's np for an equal stand-in and back, give exactly what
one thread gives: the same results, the same exceptions and messages, the
same traceback entries."""

import sys
import threading
import types

import numpy as np

import klimora.Strahlkit as S
from helpers import module_entries, same
from test_leaks import SUCCESS, TRUTH

THREADS = 8
CALLS_PER_THREAD = 3000

CASES = [(name, args) for name, table in SUCCESS.items() for args in table]
CASES += [(name, args) for name, table in TRUTH.items() for args in table]
CASES += [("Sonnenzeit", (1, 2, 3)), ("RelOptLuftmasse", ()), ("DirStrMBew", ("800", 2))]


def run(name, args):
    """The outcome of a call, with the module's traceback entries."""
    try:
        result = getattr(S, name)(*args)
    except Exception as e:  # noqa: BLE001 - the exception is part of the outcome
        return ("raise", type(e), str(e), module_entries(e))
    return ("ok", result)


def agree(got, want):
    if got[0] == "ok":
        return want[0] == "ok" and same(got[1], want[1])
    return got == want


def test_concurrent_calls_give_what_one_thread_gives(module):
    expected = [run(name, args) for name, args in CASES]
    assert {e[0] for e in expected} == {"ok", "raise"}
    alias = types.ModuleType("numpy")
    alias.__dict__.update(vars(np))
    stop = threading.Event()
    failures = []
    done = []

    def caller(offset):
        try:
            for i in range(CALLS_PER_THREAD):
                k = (offset + 7 * i) % len(CASES)
                got = run(*CASES[k])
                if not agree(got, expected[k]):
                    failures.append((CASES[k], got, expected[k]))
            done.append(offset)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(repr(e))

    def swapper():
        while not stop.is_set():
            module.np = alias
            module.np = np

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=caller, args=(t,)) for t in range(THREADS)]
        swapping = threading.Thread(target=swapper)
        swapping.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        swapping.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert sorted(done) == list(range(THREADS))
    assert S.DirStrMBew(800, 2) == 600.0 and S.np is np
