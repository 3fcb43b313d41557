"""Random arguments for the model's functions: usual ranges, branch
boundaries, special values, and every kind of number a caller may pass."""

import math

import numpy as np

SPECIAL = [0, 0.0, -0.0, 1, -1, 0.5, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324,
           True, False]

# Per parameter: (low, high) of the usual range, and values worth hitting
# exactly (branch boundaries and their neighbours).
HOURS = ((-30, 60), [0, 6, 12, 18, 24, 48, -24, 11.999999999999998, 24.000000000000004])
LATITUDE = ((-100, 100), [0, -0.0, 90, -90, 50, -50, 10])
DAY = ((-5, 400), [1, 15, 79, 80, 81, 172, 355, 365, 366, 197.5])
ZENITH = ((-10, 185), [0, -0.0, 80, 79.99999999999999, 80.00000000000001, 85, 89.9, 90,
                       89.99999999999999, 90.00000000000001, 90.05, 90.5, 90.95, 91,
                       91.00000000000001, 91.05, -1, -0.1, 95, 180]
          + [90 + k / 10 for k in range(11)])
PARAMETERS = {
    "Sonnenzeit": [HOURS, ((-12, 14), [0, 1, 2, -5]), ((-200, 200), [0, 15, 180, -180]), DAY],
    "Zenitwinkel": [HOURS, LATITUDE, DAY],
    "Azimutwinkel": [HOURS, LATITUDE, DAY],
    "LinkeTruebung": [DAY, LATITUDE,
                      ((0, 130), [85, 84.9, 84.99999999999999, 87.5, 90, 92, 94, 94.875, 95,
                                  99, 100, 99.99999999999999, 120])],
    "RelOptLuftmasse": [ZENITH],
    "MaxDirekteStrahlung": [DAY, ((-500, 5000), [0, 500, 1000, 8434.5]), ZENITH,
                            ((0, 10), [1, 3]), ((0, 60), [1, 26.31, 999, 1.1547])],
    "MaxGlobalstrahlung": [DAY, ((-500, 5000), [0, 1000, 8434.5]), ZENITH, ((0, 10), [1, 3])],
    "DirStrMBew": [((-100, 1500), [0, 800]), ((-3, 11), [0, 2, 4, 8])],
    "AtmosGegenstr": [((-60, 60), [0, 20, -273.15]), ((0, 45), [0, 10]),
                      ((-2, 10), [0, 4, 8])],
    "OberflTemp": [((-300, 900), [0, 400, -50]), ((-60, 60), [20, 10]),
                   ((-3, 25), [0, 1, 2, -6.2 / 4.26]),
                   ((-3, 3), [0, 0.0, -0.0, False, -0.9, -0.9000000000000001, -2, 0.5, 1])],
    "MittlStrTemp": [ZENITH, ((0, 500), [0, 200]), ((0, 500), [0, 200]), ((0, 500), [0]),
                     ((0, 500), [0]), ((0, 1100), [0]), ((-1, 1), [None, "any"]),
                     ((0, 1), [0, 0.3, 1]), ((-1, 1), [None, "any"])],
}
# Functions without a truth test work element by element on arrays.
ELEMENTWISE = {"Zenitwinkel", "DirStrMBew", "AtmosGegenstr", "MittlStrTemp"}


def number(rng, spec):
    (low, high), exact = spec
    r = rng.random()
    if r < 0.3:
        return exact[rng.integers(len(exact))]
    if r < 0.4:
        return SPECIAL[rng.integers(len(SPECIAL))]
    x = float(rng.uniform(low, high))
    return float(round(x)) if r < 0.5 else x


def dress(rng, x):
    """x as one of the kinds of number a caller may pass."""
    if not isinstance(x, float) or isinstance(x, bool):
        return x
    r = rng.random()
    if r < 0.45:
        return x
    if r < 0.6:
        return np.float64(x)
    if r < 0.7 and math.isfinite(x) and abs(x) < 2**62:
        return int(x) if r < 0.65 else np.int64(int(x))
    if r < 0.78:
        with np.errstate(all="ignore"):
            return np.float32(x)
    if r < 0.86:
        return np.array([x])
    if r < 0.9:
        return np.array(x)
    return x


def arguments(rng, name):
    args = [dress(rng, number(rng, spec)) for spec in PARAMETERS[name]]
    if name in ELEMENTWISE and rng.random() < 0.2:
        shapes = [(3,), (2, 3), (1, 3), (2, 1), (4,), ()]
        for k in range(len(args)):
            if rng.random() < 0.5 and not isinstance(args[k], (str, type(None))):
                shape = shapes[rng.integers(len(shapes))]
                args[k] = rng.uniform(*PARAMETERS[name][k][0], size=shape)
    return args


DIRECT_KINDS = ("float", "int", "float64")


def direct_kind(rng, x):
    """x as a Python float, a Python int or a NumPy float64 (the kinds the
    module computes with directly), where it can be one."""
    if not isinstance(x, float) or isinstance(x, bool):
        return x
    r = rng.random()
    if r < 0.2 and math.isfinite(x) and abs(x) < 2**53:
        return int(x)
    if r < 0.55:
        return np.float64(x)
    return x


SUBNORMAL = [5e-324, -5e-324, 2.2250738585072014e-308 / 3, 1e-310]


def direct_arguments(rng, name):
    specs = PARAMETERS[name]
    args = []
    for spec in specs:
        x = number(rng, spec)
        if rng.random() < 0.02:
            x = SUBNORMAL[rng.integers(len(SUBNORMAL))]
        args.append(direct_kind(rng, x))
    return args
