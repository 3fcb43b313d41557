"""klimora.ufuncs side by side with what users would do without them, in one
run, on float64 inputs in each parameter's usual range:

1. every ufunc at 10^5 elements against np.vectorize over the Strahlkit
   function (target: at most 0.1), and in NumPy float64 sin calls' worth
   per element: its time over np.sin's on an array of as many elements
   (NumPy's own loop on angles of -pi to pi, the floor of a function
   that calls it);
   1b. the floor of the four geometry ufuncs: the time of NumPy's own loops
   for the transcendental functions each formula calls, on the same inputs;
   1c. the four geometry ufuncs on a grid-shaped broadcast (time x lat x
   lon, the hour and the day per time, the latitude per row, the longitude
   per cell) in np.sin calls' worth per element (target: at most 3);
2. the seven branching functions at 10^6 elements against the hand-written
   NumPy versions in bench/handwritten.py, np.where per branch (target: at
   most 1.0);
3. the four element-wise functions at 10^7 elements (beyond the cache), on
   one thread, against the Strahlkit function's own array call (target: at
   most 0.85), with the
   memory each needs beyond its output (target: at most 2 MB), measured as
   the growth of peak resident memory in a fresh process;
4. two threads over eight chunks against one thread (target: at least 1.7).
5. wbgt per point against thermofeel's calculate_wbgt_liljegren, both
   on the same 1,000 random points (target: at least 30 times as fast).

Times are medians of repeated runs.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import handwritten as H  # noqa: E402
from inputs import PARAMETERS  # noqa: E402

import klimora.Strahlkit as S  # noqa: E402
import klimora.ufuncs as U  # noqa: E402

UNUSED = {"MittlStrTemp": (6, 8)}
ELEMENTWISE = ["Zenitwinkel", "DirStrMBew", "AtmosGegenstr", "MittlStrTemp"]


def declination_kernels(dayofyear):
    """The declination's NumPy calls, as (function, argument) pairs."""
    first = np.radians(0.9856 * dayofyear - 2.72)
    second = np.radians(0.9856 * dayofyear - 2.72 - 77.51 + 1.92 * np.sin(first))
    delta = np.degrees(np.arcsin(0.3978 * np.sin(second)))
    return [(np.sin, first), (np.sin, second), (np.arcsin, 0.3978 * np.sin(second)),
            (np.sin, np.radians(delta)), (np.cos, np.radians(delta))], delta


def zenith_kernels(szeit, latitude, dayofyear):
    calls, delta = declination_kernels(dayofyear)
    lat = np.radians(latitude)
    elevation = (-np.cos(lat) * np.cos(szeit * np.pi / 12) * np.cos(np.radians(delta))
                 + np.sin(np.radians(delta)) * np.sin(lat))
    return calls + [(np.sin, lat), (np.cos, lat), (np.cos, szeit * np.pi / 12),
                    (np.arcsin, elevation)]


def azimuth_kernels(szeit, latitude, dayofyear):
    calls, _ = declination_kernels(dayofyear)
    lat, hour = np.radians(latitude), szeit * np.pi / 12
    return calls + [(np.sin, lat), (np.cos, lat), (np.sin, hour), (np.cos, hour),
                    (np.arctan, np.tan(hour))]


def solar_time_kernels(szeit, zone, longitude, dayofyear):
    b = 2 * np.pi * (dayofyear - 81) / 364
    return [(np.sin, 2 * b), (np.cos, b), (np.sin, b)]


def air_mass_kernels(zenith):
    low = zenith[(zenith >= 80) & (zenith < 90)]
    return [(np.cos, np.radians(zenith)), (lambda x: np.power(x, -1.6364), 96.07995 - low)]


#: The transcendental NumPy calls of each geometry formula (a floor: each
#: element's scalar call makes them).
FLOOR_KERNELS = {"Sonnenzeit": solar_time_kernels, "Zenitwinkel": zenith_kernels,
                 "Azimutwinkel": azimuth_kernels, "RelOptLuftmasse": air_mass_kernels}


def inputs(name, n, seed=1):
    rng = np.random.default_rng(seed)
    return [rng.uniform(low, high, n) for k, ((low, high), _) in enumerate(PARAMETERS[name])
            if k not in UNUSED.get(name, ())]


def strahlkit_arguments(name, cols):
    """The ufunc's inputs as the Strahlkit function takes them."""
    args = list(cols)
    for k in UNUSED.get(name, ()):
        args.insert(k, None)
    return args


def median_time(fn, args, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_growth(name, which, n):
    """Bytes of resident memory one call needs beyond its output: the peak
    during the call less the memory before it, in a fresh process whose
    inputs are already made (Linux: the peak is reset through clear_refs)."""
    code = f"""
import sys, numpy as np
sys.path[:0] = {[str(HERE), str(HERE.parent / 'tests')]!r}
from ufuncs import inputs, strahlkit_arguments
import klimora.Strahlkit as S, klimora.ufuncs as U
np.seterr(all="ignore")
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
cols = inputs({name!r}, {n})
fn = U.{name} if {which!r} == "ufunc" else S.{name}
args = cols if {which!r} == "ufunc" else strahlkit_arguments({name!r}, cols)
fn(*(c[:1000] if c is not None else c for c in args))
before = status("VmRSS:")
open("/proc/self/clear_refs", "w").write("5")
result = fn(*args)
print(status("VmHWM:") - before - result.nbytes)
"""
    result = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True,
                            check=True, cwd=HERE)
    return int(result.stdout)


#: WBGT's inputs, in the ufunc's order: air temperature, humidity, wind at
#: 10 m, pressure, global irradiance, diffuse share, cos z.
WBGT_RANGES = [(-10, 45), (5, 100), (0.1, 10), (800, 1050), (0, 1100), (0.1, 1), (0, 1)]


def wbgt_against_thermofeel(runs, results, n=1000):
    print(f"5. wbgt against thermofeel's calculate_wbgt_liljegren, {n} points"
          " (target >= 30 times as fast)")
    try:
        import thermofeel
    except ImportError:
        print("   thermofeel is not installed: skipped")
        return
    rng = np.random.default_rng(4)
    ta, rh, wind, p, solar, diffuse, cza = (rng.uniform(lo, hi, n) for lo, hi in WBGT_RANGES)
    t_u = median_time(U.wbgt, (ta, rh, wind, p, solar, diffuse, cza), runs)
    t_t = median_time(thermofeel.calculate_wbgt_liljegren,
                      (ta + 273.15, rh, p, wind, solar, 1 - diffuse, cza), runs)
    results.append({"table": "wbgt", "function": "wbgt", "ufunc_s": t_u, "other_s": t_t})
    print(f"   {'wbgt':20} {t_u / n * 1e9:7.1f} ns/point  thermofeel {t_t / n * 1e9:7.1f} ns/point"
          f"  x{t_t / t_u:6.1f} (target >= 30)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer runs and elements")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE")
    options = parser.parse_args()
    runs = 3 if options.quick else 7
    small, large = (10**4, 2 * 10**5) if options.quick else (10**5, 10**6)
    huge = 10**6 if options.quick else 10**7
    np.seterr(all="ignore")
    results = []

    print(f"1. Each ufunc against np.vectorize over the Strahlkit function, {small} elements"
          " (target <= 0.1), and in np.sin calls' worth")
    angles = np.random.default_rng(2).uniform(-np.pi, np.pi, small)
    for name in U.__all__:
        if not hasattr(S, name):   # equation_of_time: no Strahlkit function of its own
            continue
        cols = inputs(name, small)
        vectorized = np.vectorize(getattr(S, name), otypes=[float])
        t_u = median_time(getattr(U, name), cols, runs)
        t_v = median_time(vectorized, strahlkit_arguments(name, cols), max(1, runs // 3))
        t_sin = median_time(np.sin, (angles,), runs)
        results.append({"table": "vectorize", "function": name, "ufunc_s": t_u, "other_s": t_v,
                        "sin_s": t_sin})
        print(f"   {name:20} {t_u / small * 1e9:7.1f} ns/el  np.vectorize {t_v / small * 1e9:7.1f}"
              f" ns/el  ratio {t_u / t_v:6.3f}  np.sin calls {t_u / t_sin:5.1f}")

    print("1b. The floor of the geometry ufuncs on the same random inputs: NumPy's own loops"
          " for the transcendental functions each formula calls, alone, on their arguments")
    for name in FLOOR_KERNELS:
        cols = inputs(name, small)
        calls = FLOOR_KERNELS[name](*cols)
        t_floor = sum(median_time(fn, (x,), runs) for fn, x in calls)
        t_u = median_time(getattr(U, name), cols, runs)
        vectorized = np.vectorize(getattr(S, name), otypes=[float])
        t_v = median_time(vectorized, strahlkit_arguments(name, cols), max(1, runs // 3))
        results.append({"table": "floor", "function": name, "ufunc_s": t_u, "floor_s": t_floor,
                        "other_s": t_v, "kernels": len(calls)})
        print(f"   {name:20} {len(calls):2d} calls {t_floor / small * 1e9:7.1f} ns/el: "
              f"{t_floor / t_v:5.3f} of np.vectorize (the ufunc {t_u / t_v:5.3f})")
        print(target_line(f"floor-{name}", t_u / t_floor, 1.15))

    shape = (24, 64, 128) if options.quick else (96, 128, 256)
    cells = int(np.prod(shape))
    print(f"1c. Geometry ufuncs on a grid-shaped broadcast {' x '.join(map(str, shape))}, "
          "in np.sin calls' worth per element (target <= 3)")
    rng = np.random.default_rng(3)
    steps, lats, lons = shape
    hour = np.arange(steps, dtype=float).reshape(-1, 1, 1) % 24
    day = (1 + np.arange(steps) // 24).astype(float).reshape(-1, 1, 1)
    lat = np.linspace(-60, 60, lats).reshape(1, -1, 1)
    lon = rng.uniform(-180, 180, (1, lats, lons))
    solar = U.Sonnenzeit(hour, 0.0, lon, day)
    zenith = U.Zenitwinkel(solar, lat, day)
    grid_calls = {"Sonnenzeit": (hour, 0.0, lon, day), "Zenitwinkel": (solar, lat, day),
                  "Azimutwinkel": (solar, lat, day), "RelOptLuftmasse": (zenith,)}
    cell_angles = rng.uniform(-np.pi, np.pi, cells)
    for name, args in grid_calls.items():
        t_u = median_time(getattr(U, name), args, runs)
        t_sin = median_time(np.sin, (cell_angles,), runs)
        results.append({"table": "grid", "function": name, "ufunc_s": t_u, "sin_s": t_sin})
        print(f"   {name:20} {t_u / cells * 1e9:7.1f} ns/el  np.sin {t_sin / cells * 1e9:5.1f}"
              f" ns/el  np.sin calls {t_u / t_sin:5.2f}")

    print(f"2. Branching functions against hand-written NumPy (np.where), {large} elements"
          " (target <= 1.0)")
    for name in U.__all__:
        if not hasattr(H, name):
            continue
        cols = inputs(name, large)
        t_u, t_h = (median_time(getattr(U, name), cols, runs),
                    median_time(getattr(H, name), cols, runs))
        results.append({"table": "handwritten", "function": name, "ufunc_s": t_u, "other_s": t_h})
        print(f"   {name:20} {t_u * 1e3:7.2f} ms  by hand {t_h * 1e3:7.2f} ms  ratio {t_u / t_h:6.3f}")
        if name == "OberflTemp":
            print(target_line("handwritten-OberflTemp", t_u / t_h, 1.0))

    print(f"3. Element-wise functions against their Strahlkit array call, {huge} elements"
          " (target <= 0.85, <= 2 MB beyond the output)")
    for name in ELEMENTWISE:
        cols = inputs(name, huge)
        t_u = median_time(getattr(U, name), cols, runs)
        t_s = median_time(getattr(S, name), strahlkit_arguments(name, cols), runs)
        m_u, m_s = peak_growth(name, "ufunc", huge), peak_growth(name, "strahlkit", huge)
        results.append({"table": "array call", "function": name, "ufunc_s": t_u, "other_s": t_s,
                        "ufunc_bytes": m_u, "other_bytes": m_s})
        print(f"   {name:20} {t_u * 1e3:7.2f} ms  array call {t_s * 1e3:7.2f} ms  ratio "
              f"{t_u / t_s:6.3f}   memory {m_u / 2**20:6.2f} MB  array call {m_s / 2**20:6.1f} MB")

    print("4. Two threads over eight chunks against one thread (target >= 1.7)")
    name = "Azimutwinkel"
    cols = inputs(name, large)
    chunks = list(zip(*(np.array_split(c, 8) for c in cols)))
    ufunc = getattr(U, name)

    def over(workers):
        with ThreadPoolExecutor(workers) as pool:
            list(pool.map(lambda chunk: ufunc(*chunk), chunks))
    one, two = median_time(over, (1,), runs), median_time(over, (2,), runs)
    results.append({"table": "threads", "function": name, "one_s": one, "two_s": two})
    print(f"   {name:20} one thread {one * 1e3:7.2f} ms  two {two * 1e3:7.2f} ms  "
          f"throughput x{one / two:5.2f} (cores: {os.cpu_count()})")
    wbgt_against_thermofeel(runs, results)
    if options.json:
        Path(options.json).write_text(json.dumps(results, indent=1) + "\n")


def target_line(row, ratio, target):
    """The line bench/targets.py collects: a row of the speed table."""
    return f"TARGET {row} {ratio:.3f} {target} {'met' if ratio <= target else 'missed'}"


if __name__ == "__main__":
    main()
