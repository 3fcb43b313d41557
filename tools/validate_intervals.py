"""Hourly means as ERA5 gives them, for docs/validation.md (section 4, its
last part): the interval's mean of cos z in closed form (klimora.sunlit)
against earthkit-meteo's numerical one (the function that left thermofeel
for it), the beam normal to the sun worked out from an hour's mean beam on
the ground, and the mean radiant temperature of the chain with a given
hourly global against thermofeel's from the same hourly fluxes.

The reference is the chain itself on instants a minute apart: its columns'
hourly means are the "ERA5" fluxes, and its MRT's hourly mean and the
sunlit mean of its beam are what an interval run should give.  Run from
tools/validate.py (``section(sites, days)``) or on its own.
"""

from __future__ import annotations

import datetime as dt
import warnings
from typing import Any, Sequence

import numpy as np
import pandas as pd
import thermofeel
from earthkit.meteo.solar import cos_solar_zenith_angle_integrated  # type: ignore

from klimora.chain import Site, chain
from klimora.sunlit import sunlit_mean_cos_zenith

WEATHER = {"air_temp": 20.0, "humidity": 60.0, "cloud": 0.0, "wind": 2.0}
GROUND_ALBEDO = 0.2
#: The least interval mean of cos z at which the beam normal is compared:
#: below it the hour holds a few minutes of a sun on the horizon.
LEAST_COS = 0.01


def hours_of(site: tuple[str, float, float, float], date: str) -> pd.DataFrame:
    """One site's UTC day as hour-ending means: the chain on minutes, its
    means, the cos z means three ways, and both interval MRTs."""
    name, lat, lon, height = site
    where = Site(lat, lon, height, zone=0.0)
    minutes = pd.date_range(date, periods=24 * 60, freq="1min") + pd.Timedelta("30s")
    fine = chain(pd.DataFrame(WEATHER, index=minutes), site=where,
                 projection_factor="vdi3789")
    cosz = np.clip(np.cos(np.radians(fine["zenith"].to_numpy())), 0.0, 1.0)
    fine["beam_h"] = fine["direct"].to_numpy() * cosz
    fine["up"] = fine["zenith"] < 90
    hour = np.arange(24 * 60) // 60
    means = fine[["global", "beam_h", "counter", "longwave_up", "mrt"]].groupby(hour).mean()
    beam_up = fine["direct"].where(fine["up"]).groupby(hour).mean().fillna(0.0)
    starts = pd.date_range(date, periods=24, freq="1h")
    ends = starts + pd.Timedelta("1h")
    out = pd.DataFrame({"site": name, "end": ends}, index=range(24))
    out["closed"] = sunlit_mean_cos_zenith(starts.values, ends.values, lat, lon).whole
    out["minutes"] = pd.Series(cosz).groupby(hour).mean().to_numpy()
    begin = [s.to_pydatetime() for s in starts]
    here = np.array([lat]), np.array([lon])
    out["earthkit"] = [float(cos_solar_zenith_angle_integrated(
        b, b + dt.timedelta(hours=1), *here)[0]) for b in begin]
    out["earthkit_fine"] = [float(cos_solar_zenith_angle_integrated(
        b, b + dt.timedelta(hours=1), *here, intervals_per_hour=60)[0]) for b in begin]
    ssrd, fdir = means["global"].to_numpy(), means["beam_h"].to_numpy()
    out["ssrd"] = ssrd
    out["beam_truth"] = beam_up.to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):
        out["beam_closed"] = np.where(out["closed"] > 0, fdir / out["closed"], 0.0)
    out["beam_thermofeel"] = thermofeel.approximate_dsrp(fdir, out["earthkit"].to_numpy())
    out["mrt_truth"] = means["mrt"].to_numpy()
    given = pd.DataFrame({**WEATHER, "global": ssrd}, index=ends)
    out["mrt_klimora"] = chain(given, site=where, time_label="end", interval="1h",
                               projection_factor="vdi3789")["mrt"].to_numpy()
    down, up = means["counter"].to_numpy(), means["longwave_up"].to_numpy()
    out["mrt_thermofeel"] = thermofeel.calculate_mean_radiant_temperature(
        ssrd, ssrd - GROUND_ALBEDO * ssrd, out["beam_thermofeel"].to_numpy(), down, fdir,
        down - up, out["earthkit"].to_numpy()) - 273.15
    return out


def run(sites: Sequence[tuple[str, float, float, float]],
        days: Sequence[tuple[str, str]]) -> pd.DataFrame:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pd.concat([hours_of(site, date) for site in sites for _, date in days],
                         ignore_index=True)


def section(sites: Sequence[tuple[str, float, float, float]],
            days: Sequence[tuple[str, str]]) -> str:
    h = run(sites, days)
    lit = h[h["closed"] > 0]
    divided = lit["earthkit"] > 0.1        # where approximate_dsrp divides by cossza
    rows = []
    for name, _, _, _ in sites:
        s = lit[lit["site"] == name]
        d = divided[lit["site"] == name]
        rows.append([
            name, str(len(s)),
            f"{np.abs(s['closed'] - s['minutes']).max():.1e}",
            f"{np.abs(s['closed'] - s['earthkit_fine']).max():.4f}",
            f"{np.abs(s['earthkit'] - s['earthkit_fine']).max():.4f}",
            f"{np.abs(s['beam_closed'] - s['beam_thermofeel'])[d].max():.1f}",
            f"{np.abs(s['mrt_klimora'] - s['mrt_truth']).max():.2f}",
            f"{np.abs(s['mrt_thermofeel'] - s['mrt_truth'])[d].max():.2f}",
            f"{np.abs(s['mrt_thermofeel'] - s['mrt_truth'])[~d].max():.2f}",
        ])
    header = ["site", "lit hours", "cos z: closed − 1-min mean", "closed − earthkit (60/h)",
              "earthkit 3-point − 60/h", "beam: klimora − thermofeel, cossza > 0.1 (W/m²)",
              "MRT: klimora − truth (K)", "thermofeel − truth, cossza > 0.1 (K)",
              "thermofeel − truth, cossza ≤ 0.1 (K)"]
    table = "\n".join(["| " + " | ".join(header) + " |",
                       "| --- |" + " ---: |" * (len(header) - 1),
                       *("| " + " | ".join(r) + " |" for r in rows)])
    k_err = (lit["mrt_klimora"] - lit["mrt_truth"]).abs()
    worst = lit.loc[k_err.idxmax()]
    rest = k_err[lit["closed"] >= 0.2].max()
    short = (lit["beam_closed"] - lit["beam_thermofeel"])[~divided]
    return f"""### Hourly means, as ERA5 gives them

ERA5's radiation is accumulated: de-accumulated, an hour's `ssrd` and `fdir` are means over
the hour, dark minutes included. To take the beam normal to the sun from them, the chain
needs the hour's mean of max(cos z, 0), which {{mod}}`klimora.sunlit` gives in closed form
([physics](physics.md#the-sun-over-an-interval)); thermofeel's workflow takes it from
earthkit-meteo's `cos_solar_zenith_angle_integrated` (3-point Gauss quadrature, one panel
an hour by default; the function has moved there from thermofeel) and the beam from
`approximate_dsrp(fdir, cossza)`, which divides only where cossza > 0.1. Both are held
against the chain itself on instants a minute apart at the sites and days above (clear
sky, `projection_factor="vdi3789"` for both): the hourly means of its global, beam on the
ground and long-wave fluxes are the "ERA5" fluxes, and the hourly mean of its MRT the
"truth". klimora gets the hourly global (`time_label="end"`, `interval="1h"`), thermofeel
`ssrd`, `fdir`, `strd`, `strr`, `ssr` and its own beam and cossza. Max abs differences
over the {len(lit)} hours with the sun up ({int(divided.sum())} of them with cossza > 0.1):

{table}

**Why.** The closed form agrees with the minute means of the module's own cos z to
{np.abs(lit['closed'] - lit['minutes']).max():.1e} (the minutes' quadrature error), and
with earthkit's to {np.abs(lit['closed'] - lit['earthkit_fine']).max():.4f}: earthkit's
declination and equation of time are its own (section 1 has the module's against SPA).
earthkit's default 3-point rule misses by up to
{np.abs(lit['earthkit'] - lit['earthkit_fine']).max():.4f} in the hours of sunrise and
sunset, where max(cos z, 0) has its kink; a closed form has no such error. With cossza
above 0.1 the two beams, `fdir` over either mean of cos z, differ by those means alone.
Below it thermofeel keeps `fdir`, the beam on the ground, as the beam normal to the sun:
up to {short.max():.0f} W/m² short of the chain's in the {int((~divided).sum())} hours of
sunrise and sunset, and its MRT up to
{np.abs(lit['mrt_thermofeel'] - lit['mrt_truth'])[~divided].max():.1f} K low there.
Elsewhere thermofeel takes one MRT of the hour's mean fluxes at the elevation
arcsin(cossza), where the chain averages the MRT of its sub-steps; the fourth root makes
the two part by up to {np.abs(lit['mrt_thermofeel'] - lit['mrt_truth'])[divided].max():.1f} K
in the low-sun hours and hundredths of a kelvin with the sun high. The chain's own error,
{rest:.2f} K at most with a mean cos z of 0.2 or more, is largest in the hour of sunrise at
{worst['site']} ({k_err.max():.2f} K, {worst['end']:%H:%M} UTC, mean cos z
{worst['closed']:.3f}): it spreads the hour's global as cos z does, while the clear-sky
global rises faster than cos z at a low sun (its clearness grows with the sun's height).
The projection factor is VDI's for both here; with the chain's default `"system"` factor
its MRT is lower with a high sun by what the table above gives for instants.
"""


if __name__ == "__main__":
    import sys

    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))
    import validate  # type: ignore  # noqa: E402
    print(section(validate.SITES, validate.DAYS))
