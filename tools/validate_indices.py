"""Section 6 of docs/validation.md: the thermal indices against the peers
that carry the same models, over random inputs across each model's domain,
in one run (tools/validate.py calls :func:`section`).

- UTCI (klimora.ufuncs.utci) against thermofeel's calculate_utci and
  pythermalcomfort's utci (round_output=False), the operational polynomial;
- PET (klimora.comfort.pet) against pythermalcomfort's pet_steady where its
  solver converges, and Hoeppe's (1999) published values;
- WBGT and the globe temperature (klimora.ufuncs.wbgt, globe_temperature)
  against thermofeel's Liljegren implementation.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np

from klimora import ufuncs as U
from klimora.comfort import pet

#: Random points of each comparison (pet_steady takes about a millisecond a point).
POINTS = {"utci": 100_000, "pet": 400, "wbgt": 20_000}
#: Hoeppe (1999), table 1: (air degC, mean radiant degC, wind m/s, vapour hPa, PET degC).
HOEPPE = [("typical room", 21.0, 21.0, 0.1, 12.0, 21.0),
          ("winter, sunny", -5.0, 40.0, 0.5, 2.0, 10.0),
          ("winter, shade", -5.0, -5.0, 5.0, 2.0, -13.0),
          ("summer, sunny", 30.0, 60.0, 1.0, 21.0, 43.0),
          ("summer, shade", 30.0, 30.0, 1.0, 21.0, 29.0)]


def saturation(t: Any) -> Any:
    """Saturation vapour pressure over water, hPa (Hardy 1998, ITS-90), as
    pythermalcomfort turns relative humidity into a pressure."""
    tk = np.asarray(t, dtype=float) + 273.15
    g = [-2836.5744, -6028.076559, 19.54263612, -0.02737830188, 0.000016261698,
         7.0229056e-10, -1.8680009e-13]
    ln = 2.7150305 * np.log(tk) + sum(c * tk ** (k - 2) for k, c in enumerate(g))
    return np.exp(ln) * 0.01


def utci_rows(rng: np.random.Generator) -> list[list[str]]:
    import thermofeel
    from pythermalcomfort.models import utci

    n = POINTS["utci"]
    air = rng.uniform(-50, 50, n)
    mrt = air + rng.uniform(-30, 70, n)
    wind = rng.uniform(0.5, 17, n)
    rh = rng.uniform(0, 100, n)
    vapour = saturation(air) * rh / 100
    ours = U.utci(air, mrt, wind, vapour)
    tf = thermofeel.calculate_utci(air + 273.15, wind, mrt + 273.15, ehPa=vapour) - 273.15
    ptc = utci(tdb=air, tr=mrt, v=wind, rh=rh, limit_inputs=False, round_output=False).utci
    return [["UTCI", "thermofeel `calculate_utci`", f"{n:,}", f"{np.abs(ours - tf).max():.1e}",
             "1e-6"],
            ["UTCI", "pythermalcomfort `utci`", f"{n:,}", f"{np.abs(ours - ptc).max():.1e}",
             "1e-6"]]


def wbgt_rows(rng: np.random.Generator) -> list[list[str]]:
    import thermofeel
    import thermofeel.liljegren as L

    n = POINTS["wbgt"]
    domain = [(-10, 45), (5, 100), (0.1, 10), (800, 1050), (0, 1100), (0.1, 1), (0, 1)]
    ta, rh, wind, p, solar, diffuse, cza = (rng.uniform(lo, hi, n) for lo, hi in domain)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = U.wbgt(ta, rh, wind, p, solar, diffuse, cza)
        theirs = thermofeel.calculate_wbgt_liljegren(ta + 273.15, rh, p, wind, solar,
                                                     1 - diffuse, cza) - 273.15
        globe = U.globe_temperature(ta, rh, wind, p, solar, diffuse, cza)
        speed = L.wind_speed_2m(np.maximum(wind, L.MIN_WIND_10M), cza, solar)
        fdir = np.where(cza < L.CZA_MIN, 0.0, np.clip(1 - diffuse, 0.0, 0.9))
        their_globe = L.solve_globe(ta + 273.15, rh / 100, p, speed, solar, fdir, cza)
    both = np.isfinite(ours) & np.isfinite(theirs)
    globes = np.isfinite(globe) & np.isfinite(their_globe)
    return [["WBGT", "thermofeel `calculate_wbgt_liljegren`", f"{both.sum():,}",
             f"{np.abs(ours - theirs)[both].max():.4f}", "0.05"],
            ["globe temperature", "thermofeel `solve_globe`", f"{globes.sum():,}",
             f"{np.abs(globe - their_globe)[globes].max():.4f}", "0.05"]]


def pet_rows(rng: np.random.Generator) -> tuple[list[list[str]], float]:
    import sys

    import scipy.optimize
    from pythermalcomfort.models import pet_steady

    module = sys.modules[pet_steady.__module__]
    ends: list[bool] = []

    class Watched:
        """pet_steady's fsolve, noting whether each call ends on a root."""

        @staticmethod
        def fsolve(f: Any, x0: Any, args: Any = (), **_: Any) -> Any:
            x, info, flag, _ = scipy.optimize.fsolve(f, x0, args=args, full_output=True)
            ends.append(flag == 1 and np.abs(info["fvec"]).max() < 1e-6)
            return x

    n = POINTS["pet"]
    air = rng.uniform(-10, 45, n)
    mrt = rng.uniform(-10, 80, n)
    wind = rng.uniform(0.1, 10, n)
    rh = rng.uniform(5, 100, n)
    ours = pet(air, mrt, wind, rh, 1013.25)
    theirs, converged = np.full(n, np.nan), np.zeros(n, dtype=bool)
    person = dict(met=80.0 / 58.2, clo=0.9, age=35.0, sex="male", weight=75.0, height=1.75,
                  position="sitting")
    kept, module.optimize = module.optimize, Watched
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for k in range(n):
                ends.clear()
                theirs[k] = float(pet_steady(air[k], mrt[k], wind[k], rh[k], **person).pet)
                converged[k] = all(ends)
    finally:
        module.optimize = kept
    diff = np.abs(ours - theirs)[converged]
    share = float(converged.mean())
    rows = [["PET", "pythermalcomfort `pet_steady`, where its solver ends on a root",
             f"{int(converged.sum()):,} of {n:,}", f"{diff.max():.4f}", "0.01"]]
    return rows, share


def hoeppe_rows() -> list[list[str]]:
    rows = []
    for name, air, mrt, wind, vapour, published in HOEPPE:
        rh = 100 * vapour / float(saturation(air))
        got = float(pet(air, mrt, wind, rh, 1013.25))
        rows.append([name, f"{air:g}", f"{mrt:g}", f"{wind:g}", f"{vapour:g}", f"{published:g}",
                     f"{got:.1f}"])
    return rows


def table(header: list[str], rows: list[list[str]]) -> str:
    return "\n".join(["| " + " | ".join(header) + " |",
                      "| --- |" + " ---: |" * (len(header) - 1),
                      *("| " + " | ".join(r) + " |" for r in rows)])


def section() -> str:
    rng = np.random.default_rng(2026)
    peers = utci_rows(rng) + wbgt_rows(rng)
    pet_peer, share = pet_rows(rng)
    peers += pet_peer
    return f"""## 6. The thermal indices against the peers

Random points across each model's domain — UTCI: air −50 to 50 °C, mean
radiant temperature less air −30 to 70 K, wind at 10 m 0.5 to 17 m/s,
relative humidity 0–100 %; WBGT: air −10 to 45 °C, humidity 5–100 %, wind
0.1–10 m/s, pressure 800–1050 hPa, global 0–1100 W/m², diffuse share
0.1–1, cos z 0–1; PET: air −10 to 45 °C, mean radiant temperature −10 to
80 °C, wind 0.1–10 m/s, humidity 5–100 %, 1013.25 hPa, the standard person
sitting. Largest difference (K) where both give a value:

{table(["index", "peer", "points", "largest difference (K)", "tolerance (K)"], peers)}

UTCI is the same polynomial as both peers carry; the differences are the
order of its 210 terms' rounding. WBGT and the globe follow thermofeel's
choices where Liljegren et al. (2008) leave them (the wind profile, the
direct share's cap); thermofeel's damped iteration stops within 0.02 K of
the fixed point that klimora's secant steps reach, which is the difference.
PET agrees with `pet_steady` to the 0.01 K it rounds to wherever its MINPACK
solver ends on a root ({share:.0%} of the points here); elsewhere it stops
near a jump of the balance (a sweating skin at the air's vapour pressure),
where klimora gives the jump's temperature (physics, section 9).

Höppe's (1999) table against `klimora.comfort.pet` (the standard person):

{table(["climate", "air (°C)", "MRT (°C)", "wind (m/s)", "vapour (hPa)",
        "PET published (°C)", "klimora (°C)"], hoeppe_rows())}

The published values were computed with Höppe's original MEMI; the
corrections of Walther and Goestchel (2018), which pythermalcomfort and
klimora carry, lower PET in the sun, most where the mean radiant temperature
is far above the air.
"""


if __name__ == "__main__":
    print(section())
