"""The chain with the thermal indices against the chain without them, in one
run, the two taken in turn (target: at most 2x with all three):

1. on a time series: a DataFrame of minutes at one site;
2. on the in-memory grid: a chunked Dataset, dask's threaded scheduler.

Each index's own share is timed too, so that a miss names its cause.
"""

import argparse
import time
import warnings

import numpy as np
import pandas as pd

from klimora.chain import Site, chain
from klimora.indices import INDICES

SITE = Site(latitude=48.14, longitude=11.58, height=520.0, zone=0.0)
TARGET = 2.0


def series(n):
    times = pd.date_range("2025-06-01", periods=n, freq="min", tz="UTC")
    minutes = np.arange(n)
    return pd.DataFrame({"air_temp": 15 + 10 * np.sin(2 * np.pi * minutes / 1440),
                         "humidity": 60.0, "cloud": 2.0, "wind": 2.0}, index=times)


def grid(shape):
    from klimora.grid import example

    ds = example.weather(*shape, seed=3)
    weather = ds.assign(air_temp=ds.tas - 273.15, humidity=ds.hurs * 100.0,
                        cloud=ds.clt * 8.0, wind=np.hypot(ds.uas, ds.vas))
    # the chain's own names and units, not the CF attributes NumPy carried over
    weather = weather[["air_temp", "humidity", "cloud", "wind"]].astype(float).drop_attrs()
    chunks = {"time": shape[0], "lat": shape[1] // 2, "lon": shape[2]}
    return weather.assign(height=ds.orog.astype(float)).chunk(chunks).persist()


def best_in_turn(runs, **cases):
    """The best time of each case, the cases taken in turn."""
    best = dict.fromkeys(cases, float("inf"))
    for case in cases.values():
        case()   # warm
    for _ in range(runs):
        for name, case in cases.items():
            start = time.perf_counter()
            case()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def report(title, best, count, unit):
    plain = best["none"]
    print(f"{title}: without the indices {plain / count * 1e9:.0f} ns a{unit}")
    for name, seconds in best.items():
        if name == "none":
            continue
        ratio = seconds / plain
        met = "" if name != "all" else \
            f" (target: at most {TARGET:g}x: {'met' if ratio <= TARGET else 'missed'})"
        print(f"   with {name:16} {seconds / count * 1e9:7.0f} ns a{unit}  {ratio:5.2f}x{met}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=10**5, help="minutes (default 10^5)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each case (default 3)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    frame = series(args.steps)
    cases = {"none": lambda: chain(frame, site=SITE),
             **{name: (lambda name=name: chain(frame, site=SITE, indices=(name,)))
                for name in INDICES},
             "all": lambda: chain(frame, site=SITE, indices=INDICES)}
    report(f"1. the chain on a DataFrame of {args.steps:,} minutes",
           best_in_turn(args.runs, **cases), args.steps, " step")
    try:
        import dask  # noqa: F401
    except ImportError:
        print("2. the in-memory grid: dask is not installed")
        return
    shape = (24, 64, 128)
    weather = grid(shape)
    cells = int(np.prod(shape))
    cases = {"none": lambda: chain(weather).compute(scheduler="threads"),
             "all": lambda: chain(weather, indices=INDICES).compute(scheduler="threads")}
    report(f"2. the chain on a chunked in-memory Dataset of {cells:,} cell-hours, threaded",
           best_in_turn(args.runs, **cases), cells, " cell-hour")


if __name__ == "__main__":
    main()
