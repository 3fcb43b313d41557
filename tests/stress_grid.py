"""`klimora grid` run again and again in one process, in several processes at
once, with the garbage collector made to run often: what a Dataset or file
left open would do sooner or later, close itself in the collector in some
dask thread while another reads HDF5 (which is not thread-safe), here
happens within a few runs.  Run by `make stress`.

    stress_grid.py [--processes 4] [--runs 50]

Each process runs the command in-process (klimora.cli.main) ``--runs``
times: NetCDF to NetCDF, NetCDF to Zarr, Zarr to NetCDF and a run refused
part-way (a value out of range in the last hour), in turn, under
gc.set_threshold(10), a thread that collects every generation every few
milliseconds, and faulthandler.  After every run it checks that
xarray's file cache holds no file, that the run's exit status is the
expected one and that nothing but the inputs and the output is left in its
folder.  Fails (exit status 1) on any crash (a process killed by a signal
or ending with a status other than 0), any check that fails, and any
temporary file (.part) left behind.
"""

import argparse
import faulthandler
import gc
import glob
import os
import subprocess
import sys
import tempfile
import threading
import time

#: The cases, in turn: (input, output, --chunks, expected exit status).
CASES = (
    ("weather.nc", "radiation.nc", "time=6,lat=8", 0),
    ("weather.nc", "radiation.zarr", "time=6,lat=8", 0),
    ("weather.zarr", "radiation.nc", "time=4,lat=6,lon=10", 0),
    ("bad.nc", "refused.nc", "time=2,lat=8", 2),
)


def inputs(folder):
    """The inputs of the cases: a small grid as NetCDF and Zarr, and one
    whose air temperature is out of range in its last hour."""
    from klimora.grid import example

    ds = example.weather(24, 16, 20, seed=3)
    ds.to_netcdf(os.path.join(folder, "weather.nc"))
    ds.to_zarr(os.path.join(folder, "weather.zarr"), zarr_format=2, consolidated=True)
    ds["tas"][-1, -1, -1] = 673.15
    ds.to_netcdf(os.path.join(folder, "bad.nc"))


def child(folder, runs, number, check):
    """``runs`` runs of the command in this process, under a garbage
    collector that runs after every ten allocations; exits 1 on a failed
    check."""
    import xarray.backends.file_manager as fm

    from klimora import cli

    faulthandler.enable()
    own = os.path.join(folder, f"process-{number}")
    os.mkdir(own)
    kept = {"weather.nc", "weather.zarr", "bad.nc"}
    for name in kept:
        os.symlink(os.path.join(folder, name), os.path.join(own, name))
    # What the imports and a first run made stays: the collections below
    # then go through what the runs make alone, and take little time.
    cli.main(["grid", "--input", os.path.join(own, "weather.nc"), "--output",
              os.path.join(own, "first.nc")])
    kept.add("first.nc")
    gc.collect()
    gc.freeze()
    gc.set_threshold(10)
    # Full collections too, at any moment, as a long run would have them.
    threading.Thread(target=collector, daemon=True).start()
    for run in range(runs):
        source, target, chunks, status = CASES[(run + number) % len(CASES)]
        got = cli.main(["grid", "--input", os.path.join(own, source),
                        "--output", os.path.join(own, target), "--chunks", chunks,
                        "--overwrite"])
        kept |= {target} if status == 0 else set()
        left = set(os.listdir(own)) - kept
        open_files = list(fm.FILE_CACHE.keys())
        if check and (got != status or left or open_files):
            sys.exit(f"process {number}, run {run} ({source} -> {target}): exit status {got} "
                     f"(expected {status}), left {sorted(left)}, files open {open_files}")


def collector():
    """Collects every generation, over and over, from a thread of its own."""
    while True:
        gc.collect()
        time.sleep(0.005)


def crashed(err):
    """Of a process's stderr, faulthandler's stack of the thread that crashed
    (with the lines before the report), or the end of it."""
    at = err.find("Current thread")
    if at < 0:
        return err[-4000:]
    start = err.rfind("Fatal Python error", 0, at)
    end = err.find("\n\n", at)
    before = err[max(start, 0):err.find("\n", start) + 1] if start >= 0 else ""
    return before + err[at:end if end >= 0 else len(err)][:6000]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--processes", type=int, default=4)
    parser.add_argument("--runs", type=int, default=50, help="in each process")
    parser.add_argument("--crashes-only", action="store_true",
                        help="check for crashes alone (for a version that leaves files open)")
    parser.add_argument("--child", nargs=2, metavar=("FOLDER", "NUMBER"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.runs, int(args.child[1]), not args.crashes_only)
        return
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="klimora-stress-") as folder:
        inputs(folder)
        options = ["--runs", str(args.runs)] + (["--crashes-only"] if args.crashes_only else [])
        processes = [subprocess.Popen([sys.executable, __file__, *options, "--child", folder,
                                       str(n)],
                                      stderr=subprocess.PIPE, text=True)
                     for n in range(args.processes)]
        failed = []
        for n, process in enumerate(processes):
            _, err = process.communicate()
            if process.returncode:
                how = f"killed by signal {-process.returncode}" if process.returncode < 0 \
                    else f"exit status {process.returncode}"
                failed.append(f"process {n}: {how}\n{crashed(err)}")
        parts = glob.glob(os.path.join(folder, "**", ".*.part*"), recursive=True)
        if parts and not args.crashes_only:
            failed.append(f"temporary files left behind: {parts}")
    seconds = time.perf_counter() - start
    runs = args.processes * args.runs
    if failed:
        sys.exit("stress_grid: FAILED\n" + "\n".join(failed))
    print(f"stress_grid: {runs} runs of klimora grid in {args.processes} processes, "
          f"{seconds:.0f} s: no crash, no file left open, nothing left behind")


if __name__ == "__main__":
    main()
