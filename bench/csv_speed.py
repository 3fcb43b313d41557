"""`klimora --input` side by side with the floor any CSV-to-CSV tool of its
kind stands on, in one run:

1. 100,000 rows every ten minutes (time, air_temp, humidity, cloud, wind) through
   `python -m klimora --input` in a fresh process, against a fresh process
   that reads the same CSV with pandas and writes a CSV of the output's
   shape (the time stamps and 15 full-precision float columns) with pandas:
   median wall time of the runs, and their ratio (target: at most 3);
2. with --large: peak resident memory of `klimora --input` on a CSV of
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
        floor = [sys.executable, "-c", FLOOR, weather, out]
        with open(out, "w") as f:  # a check that it runs, and its output's size
            subprocess.run(klimora, check=True, stdout=f)
        shape = pd.read_csv(out, nrows=3).shape[1]
        ours, theirs = [], []
        for _ in range(args.runs):  # interleaved, so that both see the same machine
            ours.append(timed(klimora))
            theirs.append(timed(floor))
        k, p = statistics.median(ours), statistics.median(theirs)
        print(f"{ROWS:,} CSV rows, {shape} output columns, median of {args.runs} runs "
              "(fresh processes, start-up included):")
        print(f"  klimora --input                 {k:7.2f} s  (spread {min(ours):.2f}-"
              f"{max(ours):.2f})")
        print(f"  pandas read_csv + to_csv        {p:7.2f} s  (spread {min(theirs):.2f}-"
              f"{max(theirs):.2f})")
        print(f"  ratio {k / p:.2f} (target: at most 3)")
        print(f"TARGET csv-input {k / p:.3f} 1.2 {'met' if k / p <= 1.2 else 'missed'}")
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
