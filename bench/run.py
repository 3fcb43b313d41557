"""Times every function of klimora.Strahlkit side by side with the same
formulas in Python with NumPy (tests/reference.py), in one run.

Python floats and ints and NumPy float64 scalars are computed directly on
doubles; float32 scalars and arrays show the ordinary path on Python objects
(--generic: every case on the ordinary path).

For each case: the module's time per call, the reference's, and their ratio,
as the median of repeated runs with the spread (lowest to highest run).
"""

import argparse
import json
import statistics
import sys
import time
import types
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import reference as R  # noqa: E402

from klimora import Strahlkit as S  # noqa: E402

f8 = np.float64
N = 100_000
rng = np.random.default_rng(1)
DAYS = rng.uniform(1, 365, N)
HOURS = rng.uniform(0, 24, N)
LATS = rng.uniform(-60, 60, N)
ZENITH = rng.uniform(0, 89, N)

# (function, case, arguments)
CASES = [
    ("Sonnenzeit", "floats", (10.5, 1, 11.58, 172)),
    ("Sonnenzeit", "float64", (f8(10.5), f8(1), f8(11.58), f8(172))),
    ("Sonnenzeit", "fold", (0.2, 1, 11.58, 172)),
    ("Zenitwinkel", "floats", (10.5, 48.1, 172)),
    ("Zenitwinkel", "float64", (f8(10.5), f8(48.1), f8(172))),
    ("Zenitwinkel", "float32", (np.float32(10.5), np.float32(48.1), np.float32(172))),
    ("Zenitwinkel", f"array {N}", (HOURS, LATS, DAYS)),
    ("Azimutwinkel", "morning", (10.5, 48.1, 172)),
    ("Azimutwinkel", "afternoon", (15.5, 48.1, 172)),
    ("Azimutwinkel", "float64", (f8(10.5), f8(48.1), f8(172))),
    ("LinkeTruebung", "dry", (172, 48.1, 60.0)),
    ("LinkeTruebung", "moist", (172, 48.1, 90.0)),
    ("LinkeTruebung", "moist int", (172, 48.1, 90)),
    ("LinkeTruebung", "saturated", (172, 48.1, 100)),
    ("LinkeTruebung", "float64", (f8(172), f8(48.1), f8(60))),
    ("LinkeTruebung", "float32", (np.float32(172), np.float32(48.1), np.float32(60))),
    ("RelOptLuftmasse", "secant", (40.0,)),
    ("RelOptLuftmasse", "Kasten-Young", (85.0,)),
    ("RelOptLuftmasse", "table", (90.37,)),
    ("RelOptLuftmasse", "outside", (120.0,)),
    ("RelOptLuftmasse", "float64", (f8(40.0),)),
    ("MaxDirekteStrahlung", "sun up", (172, 520, 40.0, 3.2, 1.3)),
    ("MaxDirekteStrahlung", "sun low", (172, 520, 87.0, 3.2, 18.0)),
    ("MaxDirekteStrahlung", "sun down", (172, 520, 95.0, 3.2, 999)),
    ("MaxDirekteStrahlung", "float64", tuple(map(f8, (172, 520, 40.0, 3.2, 1.3)))),
    ("MaxGlobalstrahlung", "sun up", (172, 520, 40.0, 3.2)),
    ("MaxGlobalstrahlung", "sun down", (172, 520, 95.0, 3.2)),
    ("MaxGlobalstrahlung", "float64", tuple(map(f8, (172, 520, 40.0, 3.2)))),
    ("DirStrMBew", "floats", (800.0, 2)),
    ("DirStrMBew", "float64", (f8(800.0), f8(2))),
    ("DirStrMBew", f"array {N}", (ZENITH * 10, HOURS / 3)),
    ("AtmosGegenstr", "floats", (20.0, 14.0, 2)),
    ("AtmosGegenstr", "float64", (f8(20.0), f8(14.0), f8(2))),
    ("AtmosGegenstr", "float32", (np.float32(20.0), np.float32(14.0), np.float32(2))),
    ("AtmosGegenstr", f"array {N}", (LATS / 2, HOURS, HOURS / 3)),
    ("OberflTemp", "day", (400.0, 20.0, 2.0, 1.0)),
    ("OberflTemp", "night", (-50.0, 10.0, 1.0, 0.5)),
    ("OberflTemp", "float64", tuple(map(f8, (400.0, 20.0, 2.0, 1.0)))),
    ("OberflTemp", "float32", tuple(map(np.float32, (400.0, 20.0, 2.0, 1.0)))),
    ("MittlStrTemp", "floats", (40.0, 150.0, 200.0, 300.0, 100.0, 600.0, None, 0.2, None)),
    ("MittlStrTemp", "float64", tuple(map(f8, (40.0, 150.0, 200.0, 300.0, 100.0, 600.0)))
     + (None, f8(0.2), None)),
    ("MittlStrTemp", f"array {N}", (ZENITH, HOURS * 10, HOURS * 10, HOURS * 10, HOURS,
                                    HOURS * 30, None, 0.2, None)),
]


def per_call(fn, args, seconds):
    """Seconds per call, as a list of repeated measurements."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn(*args)
        elapsed = time.perf_counter() - start
        if elapsed > seconds / 10:
            break
        number *= 4
    runs = []
    for _ in range(7):
        start = time.perf_counter()
        for _ in range(number):
            fn(*args)
        runs.append((time.perf_counter() - start) / number)
    return runs


def show(t):
    return f"{t * 1e9:9.0f} ns" if t < 1e-5 else f"{t * 1e6:9.1f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=0.25,
                        help="time per measurement series (default 0.25)")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the results to FILE as a list of records")
    parser.add_argument("--generic", action="store_true",
                        help="time the ordinary path on every case: np is then a copy of "
                             "NumPy's namespace, in the module and the reference alike")
    parser.add_argument("functions", nargs="*", help="only these functions")
    options = parser.parse_args()
    np.seterr(all="ignore")
    if options.generic:
        copy = types.ModuleType("numpy")
        copy.__dict__.update(vars(np))
        S.np = R.np = copy
    print(f"{'function':20} {'case':14} {'module':>12} {'spread':>9} {'reference':>12} "
          f"{'spread':>9} {'ratio':>7}")
    records = []
    for name, case, args in CASES:
        if options.functions and name not in options.functions:
            continue
        native = per_call(getattr(S, name), args, options.seconds)
        ref = per_call(getattr(R, name), args, options.seconds)
        m, r = statistics.median(native), statistics.median(ref)
        spread = lambda runs, mid: f"±{(max(runs) - min(runs)) / 2 / mid * 100:.0f}%"  # noqa: E731
        print(f"{name:20} {case:14} {show(m)} {spread(native, m):>9} {show(r)} "
              f"{spread(ref, r):>9} {m / r:7.3f}")
        records.append({"function": name, "case": case, "module_s": m, "reference_s": r,
                        "ratio": m / r, "array": case.startswith("array"),
                        "generic": options.generic or "float32" in case})
    # The speed table's two rows of scalar calls on doubles (float32 and
    # --generic take the ordinary path, shown above but not in the rows):
    # those whose reference takes a microsecond or more, and the cheap ones
    # below (the sun below the horizon, saturated turbidity), where the call
    # itself is most of the time.
    scalar = [r for r in records if not r["array"] and not r["generic"]]
    for row, cases, target in (("scalar", [r for r in scalar if r["reference_s"] >= 1e-6], 0.10),
                               ("scalar-cheap", [r for r in scalar if r["reference_s"] < 1e-6],
                                0.5)):
        if cases:
            worst = max(cases, key=lambda r: r["ratio"])
            print(f"worst of {len(cases)} {row} cases: {worst['function']} {worst['case']}")
            print(target_line(row, worst["ratio"], target))
    if options.json:
        Path(options.json).write_text(json.dumps(records, indent=1) + "\n")


def target_line(row, ratio, target):
    """The line bench/targets.py collects: a row of the speed table."""
    return f"TARGET {row} {ratio:.3f} {target} {'met' if ratio <= target else 'missed'}"


if __name__ == "__main__":
    main()
