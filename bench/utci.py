"""klimora.ufuncs.utci against the peers' UTCI, per element at 10^6 elements:
pythermalcomfort's utci (target >= 20x) and thermofeel's calculate_utci
(target >= 5x), one run, the ratios side by side.  The peers' inputs are
what each takes (Kelvin for thermofeel, relative humidity for
pythermalcomfort); the values are not compared here (tests/test_utci.py).
Then klimora.ufuncs.pet per point against pythermalcomfort's pet_steady on
200 points (target >= 500x), and on a 777 x 444 grid, in one thread and in
two (target: a step in under 1 s on 2 cores; tests/test_pet.py compares)."""

import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from klimora import ufuncs as U

N = 10**6
RUNS = 5


def median_time(fn, runs=RUNS):
    fn()   # warm: compiled loops, caches, first-touch pages
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


def main():
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(1)
    air = rng.uniform(-50, 50, N)
    mrt = air + rng.uniform(-30, 70, N)
    wind = rng.uniform(0.5, 17, N)
    # within every peer's limits (pythermalcomfort: at most 5 kPa), so that
    # none of them warns or leaves elements out
    saturation = 6.112 * np.exp(17.62 * air / (243.12 + air))
    vapour = rng.uniform(0, 1, N) * np.minimum(saturation, 45.0)
    rh = vapour / saturation * 100
    ours = median_time(lambda: U.utci(air, mrt, wind, vapour))
    ours32 = [x.astype(np.float32) for x in (air, mrt, wind, vapour)]
    ours_f32 = median_time(lambda: U.utci(*ours32))
    print(f"UTCI at {N} elements, per element (median of {RUNS})")
    print(f"   klimora.ufuncs.utci float64 {ours / N * 1e9:8.1f} ns/el")
    print(f"   klimora.ufuncs.utci float32 {ours_f32 / N * 1e9:8.1f} ns/el")
    rows = []
    try:
        from pythermalcomfort.models import utci

        t = median_time(lambda: utci(tdb=air, tr=mrt, v=wind, rh=rh, limit_inputs=True,
                                     round_output=False))
        rows.append(("pythermalcomfort utci", t, 20.0))
    except ImportError:
        print("   pythermalcomfort: not installed")
    try:
        import thermofeel

        air_k, mrt_k = air + 273.15, mrt + 273.15
        t = median_time(lambda: thermofeel.calculate_utci(air_k, wind, mrt_k, ehPa=vapour))
        rows.append(("thermofeel calculate_utci", t, 5.0))
    except ImportError:
        print("   thermofeel: not installed")
    for name, t, target in rows:
        ratio = t / ours
        print(f"   {name:27} {t / N * 1e9:8.1f} ns/el  ratio {ratio:6.1f}x  target >= "
              f"{target:4.1f}x  {'met' if ratio >= target else 'NOT MET'}")

    pet_against_pythermalcomfort()


def pet_against_pythermalcomfort(peer_points=200, shape=(777, 444)):
    """PET per point, ours and pet_steady's, and a grid step in 1 and 2 threads."""
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(2)
    n = shape[0] * shape[1]
    air, mrt = rng.uniform(-10, 45, n), rng.uniform(-10, 80, n)
    wind, rh = rng.uniform(0.1, 10, n), rng.uniform(5, 100, n)
    person = (1013.25,)   # and the standard person
    grid = [x.reshape(shape) for x in (air, mrt, wind, rh)]
    one = median_time(lambda: U.pet(*grid, *person), runs=3)
    halves = [[x[: shape[0] // 2] for x in grid], [x[shape[0] // 2:] for x in grid]]
    with ThreadPoolExecutor(2) as pool:
        two = median_time(lambda: list(pool.map(lambda h: U.pet(*h, *person), halves)), runs=3)
    cpu = time.process_time()
    U.pet(*grid, *person)
    cpu = time.process_time() - cpu   # the CPU's time, whatever else the machine runs
    print(f"PET on a {shape[0]} x {shape[1]} grid (median of 3)")
    print(f"   klimora.ufuncs.pet, 1 thread  {one:6.3f} s  {one / n * 1e9:8.1f} ns/point"
          f"  ({cpu:.3f} s of CPU)")
    print(f"   klimora.ufuncs.pet, 2 threads {two:6.3f} s  target < 1 s  "
          f"{'met' if two < 1.0 else 'NOT MET'}")
    try:
        from pythermalcomfort.models import pet_steady
    except ImportError:
        print("   pythermalcomfort: not installed")
        return
    k = peer_points
    t = median_time(lambda: pet_steady(air[:k], mrt[:k], wind[:k], rh[:k], met=80 / 58.2,
                                       clo=0.9, age=35, weight=75, height=1.75), runs=1)
    ratio = t / k / (one / n)
    print(f"   pythermalcomfort pet_steady ({k} points) {t / k * 1e9:10.0f} ns/point  ratio "
          f"{ratio:7.0f}x  target >= 500x  {'met' if ratio >= 500 else 'NOT MET'}")


if __name__ == "__main__":
    main()
