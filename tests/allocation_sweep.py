"""Allocation failures, swept index by index; run by test_allocation_failures.py
in a subprocess of its own, so that a crash fails the test instead of ending
the run.

_testcapi.set_nomemory(start, stop) counts the allocations (raw, mem and
object domains) from the moment it is called and makes those numbered
start+1 up to stop fail; stop 0 means every one from start+1 on.  For each
k = 0, 1, 2, ... the sweep first makes allocation k+1 alone fail and runs the
call.  Right after the call, still under the hooks, a few more objects are
allocated: if one of them fails, the call made no more than k allocations
and the first pass is complete.  A second pass, for each of those k, makes every
allocation from k+1 on fail (a call), or a run of BURST allocations (the
import; see sweep_import).

Prints one JSON line: per case, the number of allocations the call makes,
which is the number of indexes each pass sweeps.

    allocation_sweep.py calls NAME   every argument set of one function
    allocation_sweep.py import       the import, each index in a forked child
"""

import json
import os
import sys
import warnings

import _testcapi
import numpy  # imported before any sweep, so that its import is not swept
import fractions  # noqa: F401 - likewise

LIMIT = 20_000


def attempt(call, start, stop):
    """('ok', result) or ('raise', exception), and whether the failure came
    after the call (so it never hit it).  Nothing between the end of the call
    and the probes allocates: the outcome goes into a list made beforehand.
    Free lists (floats, tuples, frames) make a call allocate a little more or
    less from one time to the next, so several objects are allocated to catch
    the failure."""
    box = [None, None]
    beyond = False
    _testcapi.set_nomemory(start, stop)
    try:
        try:
            box[1] = call()
        except BaseException as e:  # noqa: BLE001 - what is raised is checked by the caller
            box[0] = e
        probes = 0   # small ints and a while loop: no allocation of their own
        while probes < 64:
            try:
                object()
            except MemoryError:
                beyond = True
                break
            probes += 1
    finally:
        _testcapi.remove_mem_hooks()
    # An exception's traceback holds this frame, which holds the exception:
    # left to the garbage collector, such cycles would use up the few
    # MemoryError instances the interpreter keeps for when nothing can be
    # allocated, and CPython gives up (a fatal error) when it needs one.
    e = box[0]
    while e is not None:
        e.__traceback__ = None
        e = e.__context__
    return (("raise", box[0]) if box[0] is not None else ("ok", box[1])), beyond


def sweep(call, check):
    """Sweeps both modes; returns the number of indexes swept in each.  With
    every allocation failing from k+1 on, the probe fails whether or not the
    call hit a failure, so that mode sweeps as many indexes as the first
    found the call to make."""
    for k in range(LIMIT):
        got, beyond = attempt(call, k, k + 1)
        check(k, got)
        if beyond:
            break
    else:
        raise AssertionError(f"more than {LIMIT} allocations")
    for j in range(k + 1):
        got, _ = attempt(call, j, 0)
        check(j, got)
    return k + 1


# Two defects of NumPy 2.2 itself, which pure Python meets as much as this
# module, decide which calls are swept:
# - the unary minus of a scalar (np.float64.__neg__) does not check its
#   allocation and crashes when it fails, so the functions that negate a
#   NumPy result are swept with one-element arrays, whose negation goes
#   through the checked ufunc path;
# - a ufunc on arrays of more than one element can raise SystemError
#   "... returned NULL without setting an exception" instead of MemoryError,
#   so no such arrays are swept.
NEGATE_NUMPY_RESULTS = {"Zenitwinkel", "Azimutwinkel", "LinkeTruebung"}


def allocation_failed(error):
    """Whether ``error`` is what a failed allocation ends in: MemoryError
    (NumPy's subclass of it too), or, since CPython 3.11, the SystemError of
    an interpreter that lost the MemoryError while it made a frame object
    for a Python function's traceback (a plain Python function missing an
    argument meets it just the same)."""
    return isinstance(error, MemoryError) or (
        sys.version_info >= (3, 11) and type(error) is SystemError
        and (str(error) == "error return without exception set"
             or str(error).endswith("returned NULL without setting an exception")))


def as_arrays(args):
    return tuple(numpy.array([a]) if type(a) is float else a for a in args)


def no_long_arrays(calls):
    return [(fn, args, kwargs) for fn, args, kwargs in calls
            if all(not isinstance(a, numpy.ndarray) or a.size == 1 for a in args)]


def sweep_calls(name):
    import klimora.Strahlkit as S
    import reference as R
    from helpers import outcome, same, same_outcome
    from test_leaks import KINDS, SUCCESS, constants_of, counts, fresh

    fn = getattr(S, name)
    # Not the small ints nor None: the sweep's own counters and exceptions
    # share them.  Unused arguments are objects of their own instead of None.
    constants = [c for c in constants_of(name) if not (type(c) is int and -5 <= c <= 256)]
    success = [tuple(object() if a is None else a for a in fresh(args)) for args in SUCCESS[name]]
    cases = [(fn, args, {}) for args in success if name not in NEGATE_NUMPY_RESULTS]
    cases += [(fn, as_arrays(args), {}) for args in success]
    cases += KINDS["binding"](name)
    if name not in NEGATE_NUMPY_RESULTS:
        cases += KINDS["operand"](name) + KINDS["truth test or numpy error"](name)
    cases = no_long_arrays(cases)
    swept = {}
    for i, (fn, args, kwargs) in enumerate(cases):
        call = lambda: fn(*args, **kwargs)  # noqa: E731
        want = outcome(call)
        if want[0] == "ok" and not kwargs:
            expected = outcome(getattr(R, name), *args)
            assert want[1] is expected[1] or same_outcome(want, expected), (args, want)

        def check(k, got):
            where = (name, args, kwargs, k)
            if got[0] == "ok":
                assert want[0] == "ok" and (got[1] is want[1] or same(got[1], want[1])), where
            elif not allocation_failed(got[1]):
                # The exception of the call, with its message, or without one
                # when the message could not be made: PyErr_Format, in CPython
                # as here, then raises the exception type with no arguments.
                assert want[0] == "raise" and type(got[1]) is want[1], (where, repr(got[1]))
                assert str(got[1]) in (want[2], ""), (where, repr(got[1]))

        watched = [x for x in (fn, *args, *kwargs.values(), *constants) if x is not None]
        before = counts(watched)
        swept[f"{i}: {name}{args!r}{kwargs!r}"] = sweep(call, check)
        after = counts(watched)
        assert after == before, (name, args, kwargs, list(before), list(after))
    return swept


NAMES = ["__builtins__", "np", "Fraction", "Sonnenzeit", "Zenitwinkel", "Azimutwinkel",
         "LinkeTruebung", "RelOptLuftmasse", "MaxDirekteStrahlung", "MaxGlobalstrahlung",
         "DirStrMBew", "AtmosGegenstr", "OberflTemp", "MittlStrTemp", "__test__"]

# Exit statuses of a child of the import sweep.
HIT, NOT_HIT = 10, 11
BURST = 8


def import_child(start, stop):
    """Imports under the hooks; then, with them gone, imports again if that
    failed, and checks the module.  Never returns."""
    status = 1
    try:
        def load():
            # Not klimora.Strahlkit: when the failure comes after start-up,
            # while the import system sets the package attribute, the module
            # is complete and in sys.modules, but not yet an attribute.
            import klimora.Strahlkit  # noqa: F401
            return sys.modules["klimora.Strahlkit"]
        got, beyond = attempt(load, start, stop)
        if got[0] == "raise":
            # The import system's own lock cannot be made without memory.
            assert allocation_failed(got[1]) or repr(got[1]) == (
                'RuntimeError("can\'t allocate lock")'), repr(got[1])
            got = ("ok", load())
        S = got[1]
        import reference as R
        from helpers import same
        assert list(vars(S))[6:] == NAMES, list(vars(S))
        for name, args in [("Sonnenzeit", (12.5, 1, 15, 81)), ("Azimutwinkel", (9, 48, 100)),
                           ("RelOptLuftmasse", (90.25,)), ("RelOptLuftmasse", (100,)),
                           ("MaxDirekteStrahlung", (172, 500, 30, 3, 1.15)),
                           ("MittlStrTemp", (30, 200, 200, 300, 100, 800, None, 0.3, None))]:
            assert same(getattr(S, name)(*args), getattr(R, name)(*args)), name
        status = NOT_HIT if beyond else HIT
    except BaseException:  # noqa: BLE001 - reported through the exit status
        import traceback
        traceback.print_exc()
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)


def sweep_import():
    import klimora  # noqa: F401 - the package; only the module is swept
    # Fill the path finder's cache of the package folder, so the children
    # sweep the module's own start-up rather than a directory listing.
    try:
        import klimora.no_such_module  # noqa: F401
    except ModuleNotFoundError:
        pass
    assert "klimora.Strahlkit" not in sys.modules

    def run_child(k, stop):
        pid = os.fork()
        if pid == 0:
            import_child(k, stop)
        _, status = os.waitpid(pid, 0)
        where = f"import, allocations {k + 1} to {stop} failing"
        assert not os.WIFSIGNALED(status), f"{where}: killed by signal {os.WTERMSIG(status)}"
        code = os.WEXITSTATUS(status)
        assert code in (HIT, NOT_HIT), f"{where}: exit status {code}"
        return code

    for k in range(LIMIT):
        if run_child(k, k + 1) == NOT_HIT:
            break
    else:
        raise AssertionError(f"import: more than {LIMIT} allocations")
    # The second pass fails a run of BURST allocations, not every one to the
    # end: with nothing left to allocate, CPython cannot carry an exception
    # up through the import system's Python frames (each one chains a new
    # MemoryError, and once its few spare ones are used up it stops with a
    # fatal error), whatever the module does.
    for j in range(k + 1):
        run_child(j, j + BURST)
    return {"import": k + 1}


if __name__ == "__main__":
    # What a warning costs (a source line read to show it) is not the
    # module's; NumPy warns of one-element arrays taken as scalars.
    warnings.simplefilter("ignore")
    swept = sweep_import() if sys.argv[1] == "import" else sweep_calls(sys.argv[2])
    print(json.dumps(swept))
