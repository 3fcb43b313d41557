"""The chain on grids, in one run, on synthetic CF weather
(klimora.grid.example: hourly, stored in chunks of 24 x 128 x 128 with
zlib):

1. klimora.chain on a chunked in-memory Dataset (time=24, lat=128,
   lon=128), computed on dask's threaded scheduler: cell-hours per second
   (target: at least 6 million, NumPy's float64 sin elements a second on
   one core divided by 17, also given as measured in the run), the best of
   three; beside it, the same
   kept in its chunks (persist), and the time compute adds to that: dask
   joining each column's chunks into one NumPy array in the calling thread;
2. the codecs on the fifteen columns of one such block, side by side: zstd
   at levels 1 and 3, lz4 and Blosc's lz4, each with and without a byte
   shuffle, and the deflate of HDF5's own filter, shuffled, by the standard
   library's zlib, by ISA-L (isal) and by libdeflate (deflate, where
   installed): how many times smaller, and MB of columns a second on one
   core; `klimora grid` deflates with ISA-L by default, shuffled (read
   everywhere without plugins; the fastest deflate, for 1 to 3 % more bytes
   than the others);
3. `klimora grid` end to end, NetCDF in and compressed NetCDF out (the
   default, zlib, then lz4 through Blosc, which needs a filter plugin to be
   read), in a fresh process: cell-hours per second (target: at least 3
   million with the default) and its peak resident memory (target: under
   1.5 GB), the two as a ratio, and where the time goes: start-up and
   opening, reading the input, the chain, encoding the output and storing
   it, each measured alone on the same grid (in the run the storing goes on
   while the next blocks are computed);
4. the same with --workers 2, a local dask.distributed cluster: its time
   against the threaded run (target: at most 1.3), the two taken in turn,
   the best of each, and the two outputs compared bit for bit;
5. with --zlib also --compression zlib and zstd, for readers without Blosc;
6. the overhead of a block: `klimora grid` in this process on one small
   grid cut into about 256, 1,000, 4,000 and 16,000 blocks, the time of a
   run per block (the chain's own work on so few cells is a small part of
   it); target: flat, the largest at most 1.5 times the smallest.

The grids go to a temporary folder (about 5 GB of disk).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import warnings

import dask
import numpy as np

from klimora import chain as C
from klimora.grid import codecs, example, store

#: 4 GB of output: 15 float64 columns of 128 x 512 x 512 cell-hours.
GRID = (128, 512, 512)
STORED = {"time": 24, "lat": 128, "lon": 128}


def timed(fn, *args, **kwargs):
    """The seconds ``fn(*args, **kwargs)`` takes, and what it gives."""
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return time.perf_counter() - start, result


def rate(cells, seconds):
    return f"{cells / seconds / 1e6:.2f} million cell-hours/s"


def in_memory(cells_shape):
    """1: the chain on an in-memory Dataset in dask chunks."""
    ds = example.weather(*cells_shape, seed=3)
    weather = ds.assign(air_temp=ds.tas - 273.15, humidity=ds.hurs * 100.0,
                        cloud=ds.clt * 8.0, wind=np.hypot(ds.uas, ds.vas))
    # the chain's own names and units, not the CF attributes NumPy carried over
    weather = weather[["air_temp", "humidity", "cloud", "wind"]].astype(float).drop_attrs()
    weather = weather.assign(height=ds.orog.astype(float)).chunk(STORED).persist()
    cells = int(np.prod(cells_shape))
    best = kept = joined = float("inf")
    # The site is the Dataset's: its lat, lon and height; CF times are UTC.
    for _ in range(3):
        best = min(best, timed(lambda: C.chain(weather).compute(scheduler="threads"))[0])
        seconds, in_chunks = timed(lambda: C.chain(weather).persist(scheduler="threads"))
        kept = min(kept, seconds)
        # what compute adds: each column's chunks joined
        joined = min(joined, timed(in_chunks.compute, scheduler="sync")[0])
        del in_chunks
    angles = np.random.default_rng(1).uniform(-np.pi, np.pi, 10**6)
    sine = min(timed(np.sin, angles)[0] for _ in range(5))
    print(f"1. klimora.chain on a chunked in-memory Dataset of {cells:,} cell-hours "
          f"({' x '.join(map(str, cells_shape))}, chunks {STORED['time']} x {STORED['lat']} x "
          f"{STORED['lon']}), threaded: {rate(cells, best)} (target: at least 6, that is "
          f"NumPy's sin elements a second on one core over 17: in this run "
          f"{rate(angles.size / 17, sine)})")
    print(f"   the result kept in its chunks (persist): {rate(cells, kept)}; compute then joins "
          f"each column's chunks into one array, in the calling thread alone (dask's "
          f"concatenate): {joined:.2f} s, {joined / best:.0%} of compute's time")


def codec_table():
    """2: the codecs by name: (numcodecs codec, whether the bytes are
    shuffled first by numcodecs' Shuffle, as HDF5's filter does; Blosc
    shuffles by its own flag)."""
    import numcodecs

    table = {}
    for level in (1, 3):
        table[f"zstd {level}"] = (numcodecs.Zstd(level=level), False)
        table[f"zstd {level}, shuffled"] = (numcodecs.Zstd(level=level), True)
    table["lz4"] = (numcodecs.LZ4(), False)
    table["lz4, shuffled"] = (numcodecs.LZ4(), True)
    for shuffle in (0, 1):
        table["Blosc lz4 1" + (", shuffled" if shuffle else "")] = \
            (numcodecs.Blosc("lz4", 1, shuffle), False)
    table["zlib 1, shuffled"] = (numcodecs.Zlib(level=1), True)
    table["ISA-L 1, shuffled"] = (Deflate("isal.isal_zlib", "compress"), True)
    table["libdeflate 1, shuffled"] = (Deflate("deflate", "zlib_compress"), True)
    return table


class Deflate:
    """A zlib stream at level 1 by another library, as a codec; None where
    that library is not installed."""

    def __init__(self, module, function):
        import importlib

        try:
            self.compress = getattr(importlib.import_module(module), function)
        except ImportError:
            self.compress = None

    def encode(self, data):
        return self.compress(data, 1)


def compression(shape=(24, 128, 128)):
    """2: the codecs on the columns of one block, one core (the thread's own
    CPU time, best of three: the figures hold with the other core busy)."""
    import numcodecs
    from numcodecs import blosc

    blosc.use_threads = False   # one core, as in the writer's threads
    ds = example.weather(*shape, seed=3)
    weather = ds.assign(air_temp=ds.tas - 273.15, humidity=ds.hurs * 100.0,
                        cloud=ds.clt * 8.0, wind=np.hypot(ds.uas, ds.vas))
    # the chain's own names and units, not the CF attributes NumPy carried over
    weather = weather[["air_temp", "humidity", "cloud", "wind"]].astype(float).drop_attrs()
    with warnings.catch_warnings():   # the synthetic humidity's turbidities, said in 1
        warnings.simplefilter("ignore", C.ChainWarning)
        result = C.chain(weather.assign(height=ds.orog.astype(float)))
    columns = [np.ascontiguousarray(result[name].values, dtype=np.float64)
               for name in result.data_vars]
    size = sum(c.nbytes for c in columns)
    scratch = np.empty(max(c.nbytes for c in columns), dtype=np.uint8)
    print(f"2. the codecs on the {len(columns)} float64 columns of one block "
          f"({' x '.join(map(str, shape))}, {size / 1e6:.0f} MB), one core:")
    for name, (codec, shuffled) in codec_table().items():
        if getattr(codec, "compress", True) is None:
            print(f"   {name:22} not installed")
            continue
        best, stored = float("inf"), 0
        for _ in range(3):
            start = time.thread_time()
            stored = 0
            for c in columns:
                if shuffled:
                    c = numcodecs.Shuffle(8).encode(c, out=scratch[:c.nbytes])
                stored += len(codec.encode(c))
            best = min(best, time.thread_time() - start)
        print(f"   {name:22} {size / stored:5.2f} times smaller, {size / best / 1e6:6.0f} MB/s")


def make_input(path, shape):
    ds = example.weather(*shape, seed=5)
    encoding = {name: {"zlib": True, "complevel": 1,
                       "chunksizes": tuple(STORED[d] for d in ds[name].dims)}
                for name in ds.data_vars}
    ds.to_netcdf(path, encoding=encoding)


#: Runs a command and prints its peak resident memory and the CPU seconds
#: it took (user and system, its own and its children's): a small process
#: between, since a child forked from this one (large by now) would count
#: this one's pages as its own until it execs.
LAUNCHER = ("import os, subprocess, sys; child = subprocess.Popen(sys.argv[1:]); "
            "_, status, usage = os.wait4(child.pid, 0); "
            "print(usage.ru_maxrss, usage.ru_utime + usage.ru_stime); "
            "sys.exit(status >> 8)")


def run_grid(source, target, *options):
    """Wall time, peak resident memory and CPU seconds of `klimora grid` in a
    fresh process."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-I", "-c", LAUNCHER, sys.executable, "-I", "-m",
                           "klimora", "grid", "--input", source, "--output", target, *options],
                          capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode:
        sys.exit(f"klimora grid {' '.join(options)} failed: {done.stderr.strip()}")
    peak, cpu = done.stdout.split()
    return seconds, int(peak) * 1024, float(cpu)


#: 4: at most this time of --workers 2 over the threaded run's.
WORKERS_TARGET = 1.3


def against_threaded(source, folder, cells, threaded, runs):
    """4: --workers 2 and the threaded run taken in turn (the machine's load
    then weighs on both alike), the best of each; the outputs compared."""
    distributed = float("inf")
    for run in range(runs):
        if run:
            threaded = min(threaded, run_grid(source, os.path.join(folder, "threaded.nc"),
                                              "--overwrite")[0])
        distributed = min(distributed, run_grid(source, os.path.join(folder, "distributed.nc"),
                                                "--workers", "2", "--overwrite")[0])
    ratio = distributed / threaded
    print(f"4. --workers 2: {distributed:.1f} s, {rate(cells, distributed)}: {ratio:.2f} times "
          f"the threaded run's {threaded:.1f} s (target: at most {WORKERS_TARGET}; best of "
          f"{runs} each, load average {os.getloadavg()[0]:.1f})")
    print(f"TARGET grid-workers {ratio:.3f} {WORKERS_TARGET} "
          f"{'met' if ratio <= WORKERS_TARGET else 'missed'}")
    import xarray as xr

    with xr.open_dataset(os.path.join(folder, "threaded.nc")) as a, \
            xr.open_dataset(os.path.join(folder, "distributed.nc")) as b:
        same = all(np.array_equal(a[n].values.view(np.uint64), b[n].values.view(np.uint64))
                   for n in a.data_vars)
    print(f"   distributed output equals the threaded one bit for bit: {same}")


def breakdown(source, cells):
    """Each stage of `klimora grid` alone, in this process, in seconds."""
    from klimora.grid import columns
    from klimora.cli.grid_command import CHUNK_CELLS

    start = time.perf_counter()
    chunks = store.chunking(source, {}, CHUNK_CELLS)
    ds = store.open_weather(source, chunks)
    out, stacked = columns(ds)
    opening = time.perf_counter() - start
    start = time.perf_counter()
    dask.compute(*[ds[name].data for name in ds.data_vars], scheduler="threads")
    reading = time.perf_counter() - start
    # Closed here, in this thread: a Dataset left to the garbage collector
    # is closed in whatever thread it runs, maybe one where netCDF4 reads
    # (HDF5 is not thread-safe), as in the runs of 6.
    ds.close()
    with store.open_weather(source, chunks) as opened:
        loaded = opened.load().chunk(chunks)
    _, stacked = columns(loaded)
    start = time.perf_counter()
    values = stacked.data.persist(scheduler="threads")
    chain = time.perf_counter() - start
    encoder = codecs.Encoder("netcdf", codecs.DEFAULT,
                             codecs.hdf5_chunks(out[str(stacked["column"][0].values)].chunks))
    regions = list(store.blocks(values.chunks[:-1]))
    start = time.perf_counter()
    encoded = dask.compute(*[dask.delayed(encoder)(values.blocks[(*i, 0)], r)
                             for i, r in regions], scheduler="threads")
    encoding = time.perf_counter() - start
    with tempfile.TemporaryDirectory(dir=os.path.dirname(source)) as folder:
        target = store.NetCDF(out, os.path.join(folder, "out.nc"), codecs.DEFAULT,
                              [str(n) for n in stacked["column"].values])
        start = time.perf_counter()
        for parts in encoded:
            target.store(parts)
        target.close()
        storing = time.perf_counter() - start
    for name, seconds in (("start-up and opening (in this process: imports excluded)", opening),
                          ("reading and decompressing the input, threaded", reading),
                          ("the chain, threaded", chain),
                          (f"encoding ({codecs.DEFAULT}) the output, threaded", encoding),
                          ("storing the encoded chunks, one thread", storing)):
        print(f"     {name}: {seconds:.2f} s ({seconds / cells * 1e9:.0f} ns a cell-hour)")


#: 6: the small grid and the --chunks that cut it into 256 to 16,384 blocks.
OVERHEAD_GRID = (8, 32, 64)
OVERHEAD_CHUNKS = ("time=2,lat=4,lon=8", "time=1,lat=4,lon=4", "time=1,lat=2,lon=2",
                   "time=1,lat=1,lon=1")


def overhead(folder, cuts=OVERHEAD_CHUNKS):
    """6: seconds per block of `klimora grid` in this process, the same grid
    in ever more blocks: what each block costs beyond its cells."""
    from klimora import cli

    source = os.path.join(folder, "small.nc")
    example.weather(*OVERHEAD_GRID, seed=7).to_netcdf(source)
    target = os.path.join(folder, "small-radiation.nc")
    cli.main(["grid", "--input", source, "--output", target,   # imports, unit registry
              "--overwrite"])
    print(f"6. overhead of a block: klimora grid in this process, "
          f"{' x '.join(map(str, OVERHEAD_GRID))} cell-hours:")
    per_block = []
    for chunks in cuts:
        sizes = dict((d, int(n)) for d, n in (item.split("=") for item in chunks.split(",")))
        count = int(np.prod([-(-n // sizes[d]) for d, n in zip(("time", "lat", "lon"),
                                                                OVERHEAD_GRID)]))
        start = time.perf_counter()
        if cli.main(["grid", "--input", source, "--output", target, "--chunks", chunks,
                     "--overwrite"]):
            sys.exit(f"klimora grid --chunks {chunks} failed")
        seconds = time.perf_counter() - start
        per_block.append(seconds / count)
        print(f"   {count:6,} blocks (--chunks {chunks}): {seconds:6.1f} s, "
              f"{seconds / count * 1e3:.2f} ms a block", flush=True)
    print(f"   largest over smallest: {max(per_block) / min(per_block):.2f} "
          "(target: at most 1.5)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--zlib", action="store_true",
                        help="also time --compression zlib and zstd")
    parser.add_argument("--overhead", action="store_true",
                        help="time only the overhead of a block (6)")
    parser.add_argument("--end-to-end", action="store_true",
                        help="time only the codecs (2) and klimora grid end to end (3)")
    parser.add_argument("--workers", type=int, metavar="RUNS",
                        help="time only --workers 2 against the threaded run (4), RUNS of each")
    parser.add_argument("--grid", default="x".join(map(str, GRID)),
                        help="time x lat x lon of the end-to-end grid (default %(default)s)")
    args = parser.parse_args()
    shape = tuple(int(n) for n in args.grid.split("x"))
    cells = int(np.prod(shape))
    if args.overhead:
        with tempfile.TemporaryDirectory(prefix="klimora-grid-bench-") as folder:
            overhead(folder)
        return
    if args.workers:
        with tempfile.TemporaryDirectory(prefix="klimora-grid-bench-") as folder:
            source = os.path.join(folder, "weather.nc")
            make_input(source, shape)
            threaded = run_grid(source, os.path.join(folder, "threaded.nc"))[0]
            against_threaded(source, folder, cells, threaded, args.workers)
        return
    if not args.end_to_end:
        in_memory((96, 256, 256))
    compression()
    with tempfile.TemporaryDirectory(prefix="klimora-grid-bench-") as folder:
        source = os.path.join(folder, "weather.nc")
        make_input(source, shape)
        output = 15 * 8 * cells
        threaded, peak, cpu = run_grid(source, os.path.join(folder, "threaded.nc"))
        print(f"3. klimora grid, NetCDF in, {codecs.DEFAULT} NetCDF out (the default, read "
              f"without plugins): {cells:,} cell-hours ({' x '.join(map(str, shape))}), "
              f"{output / 1e9:.1f} GB of output:")
        print(f"   {threaded:.1f} s, {rate(cells, threaded)} (target: at least 3)")
        print(f"   peak resident memory {peak / 1e9:.2f} GB (target: under 1.5 GB); "
              f"{cpu:.1f} CPU seconds")
        target = os.path.join(folder, "lz4.nc")
        blosc, blosc_peak, blosc_cpu = run_grid(source, target, "--compression", "lz4")
        larger = os.path.getsize(os.path.join(folder, "threaded.nc")) / os.path.getsize(target)
        print(f"   --compression lz4 (Blosc, a filter plugin to read it): {blosc:.1f} s, "
              f"{rate(cells, blosc)}, peak {blosc_peak / 1e9:.2f} GB, {blosc_cpu:.1f} CPU "
              f"seconds; the default takes {threaded / blosc:.2f} times as long and "
              f"{cpu / blosc_cpu:.2f} times the CPU time (the figure that holds on a busy "
              f"machine), its file {larger:.2f} times the size")
        os.remove(target)
        if args.end_to_end:
            return
        print("   where the time goes (each stage alone; together they overlap on two cores):")
        breakdown(source, cells)
        against_threaded(source, folder, cells, threaded, 2)
        if args.zlib:
            for name in ("zlib", "zstd"):
                seconds, _, _ = run_grid(source, os.path.join(folder, f"{name}.nc"),
                                      "--compression", name)
                print(f"5. --compression {name}: {seconds:.1f} s, {rate(cells, seconds)}")
        overhead(folder)


if __name__ == "__main__":
    main()
