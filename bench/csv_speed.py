"""`klimora --input` side by side with the floor any CSV-to-CSV tool of its
kind stands on, in one run:

1. 100,000 rows every ten minutes (time, air_temp, humidity, cloud, wind) through
   `python -m klimora --input` in a fresh process, against a fresh process
   that reads the same CSV with pandas and writes a CSV of the output's
   shape (the time stamps and 15 full-precision float columns) with pandas:
   the best wall time of the runs, the two sides taken in turn, and their
   ratio (target: at most 1.2); the same at the default 3 decimals;
2. where the time goes, inside this process (best of the runs): klimora's
   reading and checking of the CSV, the chain alone, and its writing of
   the rows, beside pandas' read_csv and to_csv of the same data;
3. with --large: peak resident memory of `klimora --input` on a CSV of
   10^7 rows written to a temporary folder, the output going to /dev/null
   (target: under 500 MB).  It takes several minutes.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

ROWS = 100_000
LARGE_ROWS = 10_000_000
COLUMNS = 15
#: The ratio of klimora --input's time to pandas' that it should keep within.
TARGET = 1.2

#: The floor: pandas reads the weather and writes as many full-precision
#: floats as klimora does, computed from it by cheap arithmetic.
FLOOR = """
import sys
import numpy as np, pandas as pd
exact = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}
w = pd.read_csv(sys.argv[1], dtype={c: float for c in ("air_temp", "humidity", "cloud", "wind")},
                **exact)
base = (w.air_temp + w.humidity / 7 + w.cloud / 3 + w.wind / 11).to_numpy()
out = pd.DataFrame({"time": w.time, **{f"c{k}": base * (1 + k / 13) + k / 17 for k in range(%d)}})
with open(sys.argv[2], "w") as f:
    out.to_csv(f, index=False, lineterminator="\\n")
""" % COLUMNS


#: The site of the series: Munich.
SITE = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "1")


def weather_csv(path, rows, chunk=1_000_000):
    """Weather every ten minutes from 2000-01-01 (10^7 rows reach 2190),
    written chunk by chunk."""
    rng = np.random.default_rng(7)
    start = pd.Timestamp("2000-01-01")
    with open(path, "w") as f:
        for at in range(0, rows, chunk):
            n = min(chunk, rows - at)
            times = start + pd.to_timedelta(np.arange(at, at + n) * 10, unit="min")
            frame = pd.DataFrame({
                "time": times.strftime("%Y-%m-%dT%H:%M"),
                "air_temp": (10 + 12 * np.sin(np.arange(at, at + n) / 8400)
                             + rng.normal(0, 3, n)).round(1),
                "humidity": rng.uniform(20, 100, n).round(0),
                "cloud": rng.integers(0, 9, n),
                "wind": rng.uniform(0, 12, n).round(1)})
            frame.to_csv(f, index=False, header=at == 0, lineterminator="\n")


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_rss(command):
    """Peak resident memory of a command, in bytes, measured by a process
    of its own whose only child it is."""
    code = ("import resource, subprocess, sys\n"
            "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)\n"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", code, *command], check=True,
                          capture_output=True, text=True)
    return int(done.stdout) * 1024  # ru_maxrss is in KiB on Linux


def best_of(fn, runs):
    """The best time of ``runs`` calls of ``fn``, and what it gave."""
    took = []
    for _ in range(runs):
        start = time.perf_counter()
        done = fn()
        took.append(time.perf_counter() - start)
    return min(took), done


def phases(weather, runs):
    """Inside this process: klimora's reading, chain and writing of the
    rows, beside pandas' read_csv and to_csv of the same data."""
    import warnings

    from klimora.chain import Site, chain
    from klimora.iotools.series_csv import write_series
    from klimora.iotools.weather_csv import SeriesReader, exact_floats

    site = Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0)

    def read():
        with open(weather, "rb") as f:
            return list(SeriesReader(f, weather, site.zone))

    def computed():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return [chain(chunk.frame, site=site) for chunk in chunks]

    def write(decimals):
        with open(os.devnull, "w") as f:
            for chunk, result in zip(chunks, results):
                write_series(f, chunk.stamps, result, ["time", *result.columns], decimals,
                             True)

    def pandas_read():
        return pd.read_csv(weather, dtype={c: float for c in ("air_temp", "humidity", "cloud",
                                                               "wind")}, **exact_floats())

    def pandas_write():
        with open(os.devnull, "w") as f:
            for chunk, result in zip(chunks, results):
                result.assign(time=chunk.stamps).to_csv(f, index=False, lineterminator="\n")

    reading, chunks = best_of(read, runs)
    computing, results = best_of(computed, runs)
    writing, _ = best_of(lambda: write(None), runs)
    writing3, _ = best_of(lambda: write(3), runs)
    theirs_read, _ = best_of(pandas_read, runs)
    theirs_write, _ = best_of(pandas_write, runs)
    ours = reading + computing + writing
    print(f"inside one process, best of {runs} (s):")
    print(f"  klimora: read and check {reading:.3f}, chain {computing:.3f} "
          f"({computing / ours:.0%} of the three), write {writing:.3f} "
          f"(3 decimals {writing3:.3f}); together {ours:.3f}")
    print(f"  pandas:  read_csv {theirs_read:.3f}, to_csv of the same rows {theirs_write:.3f}; "
          f"together {theirs_read + theirs_write:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="runs of each side (default 5)")
    parser.add_argument("--large", action="store_true",
                        help=f"also the peak memory on {LARGE_ROWS:.0e} rows (minutes)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        weather, out = os.path.join(folder, "weather.csv"), os.path.join(folder, "out.csv")
        weather_csv(weather, ROWS)
        klimora = [sys.executable, "-m", "klimora", "--input", weather, *SITE, "--precision",
                   "full"]
        rounded = klimora[:-2]   # the default precision, 3 decimals
        floor = [sys.executable, "-c", FLOOR, weather, out]
        with open(out, "w") as f:  # a check that it runs, and its output's size
            subprocess.run(klimora, check=True, stdout=f)
        shape = pd.read_csv(out, nrows=3).shape[1]
        ours, three, theirs = [], [], []
        for _ in range(args.runs):  # interleaved, so that both see the same machine
            ours.append(timed(klimora))
            three.append(timed(rounded))
            theirs.append(timed(floor))
        k, p = min(ours), min(theirs)
        print(f"{ROWS:,} CSV rows, {shape} output columns, best of {args.runs} runs "
              "(fresh processes, start-up included):")
        for name, runs in (("klimora --input --precision full", ours),
                           ("klimora --input (3 decimals)", three),
                           ("pandas read_csv + to_csv", theirs)):
            print(f"  {name:34s} {min(runs):7.2f} s  (median {statistics.median(runs):.2f})")
        print(f"klimora --input, {ROWS:,} rows, against pandas' own read and write of the same "
              f"file: ratio {k / p:.2f} (target: at most {TARGET}), "
              f"{'met' if k / p <= TARGET else 'NOT met'}")
        print(f"TARGET csv-input {k / p:.3f} {TARGET} {'met' if k / p <= TARGET else 'missed'}")
        phases(weather, args.runs)
        if args.large:
            big = os.path.join(folder, "large.csv")
            weather_csv(big, LARGE_ROWS)
            size = os.path.getsize(big)
            start = time.perf_counter()
            peak = peak_rss([sys.executable, "-m", "klimora", "--input", big, *SITE, "--precision",
                             "full"])
            took = time.perf_counter() - start
            print(f"{LARGE_ROWS:,} CSV rows ({size / 1e6:,.0f} MB) through klimora --input: "
                  f"peak resident memory {peak / 2**20:,.0f} MB (target: under 500 MB), "
                  f"{took:,.0f} s, {LARGE_ROWS / took:,.0f} rows/s")


if __name__ == "__main__":
    main()
