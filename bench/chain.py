"""klimora.chain on a time series, side by side with pvlib in one run:

1. the whole chain on a DataFrame of 10^6 minutes at one site (15
   columns, the weather a daily cycle of air temperature under a constant
   humidity, cloud and wind), against pvlib's solar position ("ephemeris")
   with its Ineichen clear sky (the Linke climatology) on the same steps:
   the ratio of the times (target: at most 0.4);
2. where the chain's time goes: the times' parts (UTC hour, local day of
   the year, zone offset), each ufunc, the NumPy work between them and
   the DataFrame, as nanoseconds a step, measured in the same run.

Times are the best of several runs, the two sides taken in turn.
"""

import argparse
import collections
import time
import warnings

import numpy as np
import pandas as pd

import klimora.model as M
import klimora.times as T
from klimora.chain import Site, chain

SITE = Site(latitude=48.14, longitude=11.58, height=520.0, zone=0.0)
#: At most this ratio of the chain's time over pvlib's.
TARGET = 0.4


def weather(n):
    times = pd.date_range("2025-01-01", periods=n, freq="min", tz="UTC")
    minutes = np.arange(n)
    return pd.DataFrame({"air_temp": 15 + 10 * np.sin(2 * np.pi * minutes / 1440),
                         "humidity": 60.0, "cloud": 2.0, "wind": 2.0}, index=times)


def best(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def against_pvlib(frame, runs):
    import pvlib

    place = pvlib.location.Location(SITE.latitude, SITE.longitude, altitude=SITE.height)

    def ours():
        chain(frame, site=SITE)

    def theirs():
        sun = pvlib.solarposition.get_solarposition(frame.index, SITE.latitude, SITE.longitude,
                                                    SITE.height, method="ephemeris")
        place.get_clearsky(frame.index, model="ineichen", solar_position=sun)

    ours(), theirs()
    t_ours, t_theirs = float("inf"), float("inf")
    for _ in range(runs):
        t_ours = min(t_ours, best(ours, 1))
        t_theirs = min(t_theirs, best(theirs, 1))
    return t_ours, t_theirs


class Timed:
    """klimora.model's ufuncs module with every call timed."""

    def __init__(self, ufuncs, spent):
        self.ufuncs, self.spent = ufuncs, spent

    def __getattr__(self, name):
        function = getattr(self.ufuncs, name)

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.spent[name] += time.perf_counter() - start
        return timed


def breakdown(frame):
    """Seconds spent in each part of one chain run, and the whole."""
    spent = collections.Counter()
    ufuncs, time_parts = M.U, T.time_parts

    def timed_parts(*args):
        start = time.perf_counter()
        try:
            return time_parts(*args)
        finally:
            spent["times (UTC hour, day of the year, offset)"] += time.perf_counter() - start

    import klimora.chain as C
    M.U = Timed(ufuncs, spent)
    C.time_parts = timed_parts
    try:
        start = time.perf_counter()
        chain(frame, site=SITE)
        whole = time.perf_counter() - start
    finally:
        M.U, C.time_parts = ufuncs, time_parts
    return spent, whole


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=10**6, help="minutes (default 10^6)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each side (default 5)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    frame = weather(args.steps)
    n = args.steps
    t_ours, t_theirs = against_pvlib(frame, args.runs)
    print(f"1. klimora.chain on a DataFrame of {n:,} minutes, 15 columns: "
          f"{t_ours / n * 1e9:.0f} ns a step; pvlib ephemeris + Ineichen "
          f"{t_theirs / n * 1e9:.0f} ns a step: ratio {t_ours / t_theirs:.2f} "
          f"(target: at most {TARGET})")
    print(f"TARGET chain-pvlib {t_ours / t_theirs:.3f} {TARGET} "
          f"{'met' if t_ours / t_theirs <= TARGET else 'missed'}")
    spent, whole = min((breakdown(frame) for _ in range(3)), key=lambda r: r[1])
    print(f"2. where the chain's {whole / n * 1e9:.0f} ns a step go:")
    for name, seconds in spent.most_common():
        print(f"   {name:44} {seconds / n * 1e9:6.1f} ns")
    rest = whole - sum(spent.values())
    print(f"   {'NumPy between the ufuncs, the frame':44} {rest / n * 1e9:6.1f} ns")


if __name__ == "__main__":
    main()
