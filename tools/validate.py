"""klimora against its peers: writes docs/validation.md and docs/validation-*.png.

Run by ``make validate``.  The chain (klimora.chain.chain) runs over five
sites, three days and every ten minutes of each day, in UTC; its columns are
held against pvlib (solar position, air mass, Ineichen clear sky), thermofeel
(mean radiant temperature from the same fluxes) and pythermalcomfort
(SolarCal's projected area factor and direct-beam increment of the mean
radiant temperature).  Every figure on the page is computed in this run.

Section 5, the chain against measured radiation (the station files of
pvlib's source distribution), is tools/validate_measured.py's; the end of
section 4, hourly means as ERA5 gives them against thermofeel and
earthkit-meteo, tools/validate_intervals.py's.

pvlib, thermofeel and pythermalcomfort are development dependencies
(requirements-dev.txt); the package itself imports none of them.
"""

from __future__ import annotations

from typing import Any

import time

START = time.perf_counter()

import importlib.metadata  # noqa: E402
import importlib.util  # noqa: E402
import pathlib  # noqa: E402
import platform  # noqa: E402
import sys  # noqa: E402
import warnings  # noqa: E402

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pvlib  # type: ignore[import-untyped]  # noqa: E402
import thermofeel  # noqa: E402
from pythermalcomfort.models import solar_gain  # noqa: E402

from klimora import model as M  # noqa: E402
from klimora import ufuncs as U  # noqa: E402
from klimora.chain import Site, chain, equation_of_time, projection_scale  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

#: name, latitude (deg N), longitude (deg E), height (m)
SITES = (
    ("Munich", 48.14, 11.58, 520.0),
    ("Singapore", 1.35, 103.82, 15.0),
    ("Sydney", -33.87, 151.21, 40.0),
    ("Denver", 39.74, -104.99, 1600.0),
    ("La Rinconada", -14.6, -69.4, 5000.0),
)
HIGH_SITE = "La Rinconada"
#: label, UTC date
DAYS = (
    ("March equinox", "2025-03-20"),
    ("June solstice", "2025-06-21"),
    ("December solstice", "2025-12-21"),
)
STEP_MINUTES = 10
#: The same weather at every site and step: clear sky, so that the beam is
#: at full strength (DirStrMBew of 0 oktas is the clear-sky beam).
WEATHER = {"air_temp": 20.0, "humidity": 60.0, "cloud": 0.0, "wind": 2.0}
CLOUDY = 2.0           # the chain's default cloud, for the MRT's second run
GROUND_ALBEDO = 0.2     # the chain's default
BODY_ALBEDO = 0.3       # the chain's default
ZENITH_BANDS = ((0, 60), (60, 70), (70, 80), (80, 90))
ELEVATION_BANDS = ((0, 15), (15, 30), (30, 45), (45, 60), (60, 75), (75, 90))
HIGH_SUN = 45.0         # elevation (deg) from which the sun counts as high
SHARP = np.linspace(0.0, 180.0, 13)   # SolarCal's sun-to-front angles, averaged over


def version(name: str) -> str:
    return importlib.metadata.version(name)


def fmt(x: float, digits: int = 2) -> str:
    if x is None or not np.isfinite(x):
        return "–"
    return f"{x:.{digits}f}"


def signed(x: float, digits: int = 2) -> str:
    if not np.isfinite(x):
        return "–"
    return f"{x:+.{digits}f}"


def pct(x: float, digits: int = 1) -> str:
    return f"{100 * x:+.{digits}f} %"


def table(header: list[str], rows: list[list[str]], align: str = "") -> str:
    align = align or "l" + "r" * (len(header) - 1)
    marks = {"l": "---", "r": "---:", "c": ":---:"}
    lines = ["| " + " | ".join(header) + " |",
             "| " + " | ".join(marks[a] for a in align) + " |"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def agree(x: float) -> str:
    """How closely two results agree, relative."""
    return "exactly (no difference at all)" if x == 0 else f"to {x:.1e} (relative)"


def wrap180(a: Any) -> Any:
    return (a + 180.0) % 360.0 - 180.0


def save(fig: Any, name: str) -> str:
    path = DOCS / f"validation-{name}.png"
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path.name


# ---------------------------------------------------------------------------
# The runs: the chain with both projection factors, pvlib's solar position.

def run_all(weather: dict[str, float] = WEATHER) -> pd.DataFrame:
    parts = []
    for site_name, lat, lon, height in SITES:
        site = Site(lat, lon, height, zone=0.0)   # the times are UTC
        for day_name, date in DAYS:
            times = pd.date_range(date, periods=24 * 60 // STEP_MINUTES,
                                  freq=f"{STEP_MINUTES}min")
            frame = pd.DataFrame(weather, index=times)
            system = chain(frame, site=site, projection_factor="system")
            vdi = chain(frame, site=site, projection_factor="vdi3789")
            pos = pvlib.solarposition.get_solarposition(times.tz_localize("UTC"), lat, lon,
                                                        altitude=height, method="nrel_numpy")
            part = system.copy()
            part["mrt_vdi"] = vdi["mrt"].to_numpy()
            part["pv_zenith"] = pos["zenith"].to_numpy()
            part["pv_apparent_zenith"] = pos["apparent_zenith"].to_numpy()
            part["pv_azimuth"] = pos["azimuth"].to_numpy()
            part["pv_eot"] = pos["equation_of_time"].to_numpy()
            part["site"], part["day"], part["date"] = site_name, day_name, date
            part["latitude"], part["longitude"], part["height"] = lat, lon, height
            part["doy"] = float(times[0].day_of_year)
            part["utc_hour"] = (times.hour + times.minute / 60).to_numpy()
            parts.append(part)
    return pd.concat(parts).reset_index(names="time")


# ---------------------------------------------------------------------------
# 1. Solar position

def spa_declination(date: str) -> tuple[float, float, float]:
    """Geocentric declination of NREL SPA at 12 UTC, and its lowest and
    highest value over the UTC day."""
    times = pd.date_range(date, periods=25, freq="h", tz="UTC")
    unixtime = times.as_unit("ns").asi8 / 1e9
    delta_t = pvlib.spa.calculate_deltat(times.year.to_numpy(), times.month.to_numpy())
    _, _, delta = pvlib.spa.solar_position_numpy(unixtime, 0.0, 0.0, 0.0, 1013.25, 12.0,
                                                 delta_t, 0.5667, 1, sst=True)
    return float(delta[12]), float(np.min(delta)), float(np.max(delta))


def module_declination(doy: float) -> float:
    """The declination that Zenitwinkel implies: at true solar noon the
    zenith angle is |latitude - declination|, so at +-30 deg the
    difference of the two zenith angles is twice the declination."""
    return float((U.Zenitwinkel(12.0, -30.0, doy) - U.Zenitwinkel(12.0, 30.0, doy)) / 2)


def solar_position(df: pd.DataFrame) -> dict[str, Any]:
    df = df.assign(dz=df["zenith"] - df["pv_zenith"],
                   daz=wrap180(df["azimuth"] - df["pv_azimuth"]))
    sun = df[df["pv_zenith"] < 85]
    rows, per_site = [], {}
    for site_name, *_ in SITES:
        d = df[df["site"] == site_name]
        s = sun[sun["site"] == site_name]
        worst = s.loc[s["daz"].abs().idxmax()]
        per_site[site_name] = dict(dz_med=d["dz"].abs().median(), dz_max=d["dz"].abs().max(),
                                   daz_med=s["daz"].abs().median(),
                                   daz_max=s["daz"].abs().max(),
                                   daz_max_zenith=worst["pv_zenith"])
        p = per_site[site_name]
        rows.append([site_name, fmt(p["dz_med"], 3), fmt(p["dz_max"], 3), fmt(p["daz_med"], 3),
                     fmt(p["daz_max"], 3), fmt(p["daz_max_zenith"], 1)])
    site_table = table(["site", "zenith: median abs (deg)", "zenith: max abs (deg)",
                        "azimuth: median abs (deg)", "azimuth: max abs (deg)",
                        "zenith at azimuth max (deg)"], rows)

    day_rows, per_day = [], {}
    for day_name, date in DAYS:
        d = df[df["day"] == day_name]
        doy = float(d["doy"].iloc[0])
        dec_k = module_declination(doy)
        dec_spa, dec_lo, dec_hi = spa_declination(date)
        eot_k = float(equation_of_time(doy)) * 60
        noon = d[d["utc_hour"] == 12.0]
        eot_spa = float(noon["pv_eot"].iloc[0])
        per_day[day_name] = dict(dec_k=dec_k, dec_spa=dec_spa, dec_range=dec_hi - dec_lo,
                                 eot_k=eot_k, eot_spa=eot_spa,
                                 dz_med=d["dz"].abs().median(), dz_max=d["dz"].abs().max())
        p = per_day[day_name]
        day_rows.append([f"{day_name} ({date}, day {int(doy)})", fmt(dec_k, 3), fmt(dec_spa, 3),
                         signed(dec_k - dec_spa, 3), fmt(dec_hi - dec_lo, 3), fmt(eot_k, 2),
                         fmt(eot_spa, 2), signed(eot_k - eot_spa, 2),
                         signed(0.25 * (eot_k - eot_spa), 3)])
    day_table = table(["day", "declination, module (deg)", "declination, SPA at 12 UTC (deg)",
                       "difference (deg)", "SPA's change over the day (deg)",
                       "equation of time, module (min)", "equation of time, SPA (min)",
                       "difference (min)", "as hour angle (deg)"], day_rows)

    day_sun = df[df["pv_zenith"] < 90]
    refraction = (day_sun["pv_zenith"] - day_sun["pv_apparent_zenith"]).max()
    figures = dict(
        dz_med=df["dz"].abs().median(), dz_max=df["dz"].abs().max(),
        daz_med=sun["daz"].abs().median(), daz_max=sun["daz"].abs().max(),
        daz_max_wide=sun.loc[sun["pv_zenith"] > 10, "daz"].abs().max(),
        refraction=refraction, n=len(df), n_sun=len(sun))
    worst = sun.loc[sun["daz"].abs().idxmax()]
    figures["daz_worst"] = f"{worst['site']}, {worst['day']}, zenith {worst['pv_zenith']:.1f} deg"

    # plot: differences over the UTC day, one line per site and day
    fig, axes = plt.subplots(1, 2, figsize=(9, 3.6), sharex=True)
    colours = dict(zip([s[0] for s in SITES], plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    styles = dict(zip([d[0] for d in DAYS], ["-", "--", ":"]))
    for (site_name, day_name), d in df.groupby(["site", "day"], sort=False):
        axes[0].plot(d["utc_hour"], d["dz"], styles[day_name], color=colours[site_name], lw=1)
        s = d["daz"].where(d["pv_zenith"] < 85)
        axes[1].plot(d["utc_hour"], s, styles[day_name], color=colours[site_name], lw=1)
    axes[0].set_title("zenith: klimora − SPA (deg)", fontsize=10)
    axes[1].set_title("azimuth: klimora − SPA (deg), zenith < 85°", fontsize=10)
    for ax in axes:
        ax.set_xlabel("UTC hour")
        ax.axhline(0, color="0.6", lw=0.6)
        ax.grid(alpha=0.3)
        ax.set_xticks(range(0, 25, 6))
    handles = [Line2D([], [], color=c, lw=1.5) for c in colours.values()]
    handles += [Line2D([], [], color="0.3", ls=ls, lw=1) for ls in styles.values()]
    fig.legend(handles, list(colours) + list(styles), loc="lower center", ncol=8, fontsize=7,
               frameon=False)
    fig.tight_layout(rect=(0, 0.08, 1, 1))
    png = save(fig, "solar-position")
    return dict(site_table=site_table, day_table=day_table, per_day=per_day, png=png, **figures)


# ---------------------------------------------------------------------------
# 2. Air mass

def air_mass() -> dict[str, Any]:
    z = np.round(np.arange(0.0, 91.0 + 1e-9, 0.01), 2)
    with np.errstate(invalid="ignore", divide="ignore"):
        km = U.RelOptLuftmasse(z)
        ky = pvlib.atmosphere.get_relative_airmass(z, "kastenyoung1989")
        sec = pvlib.atmosphere.get_relative_airmass(z, "simple")
    below = z < 80
    band = (z >= 80) & (z <= 90)
    just_below = float(U.RelOptLuftmasse(np.nextafter(80.0, 0.0)))
    at80 = float(U.RelOptLuftmasse(80.0))
    past = float(U.RelOptLuftmasse(np.nextafter(91.0, 92.0)))
    figures = dict(
        secant_below=np.max(np.abs(km[below] / sec[below] - 1)),
        ky_band=np.max(np.abs(km[band & (z < 90)] / ky[band & (z < 90)] - 1)),
        ky90=float(pvlib.atmosphere.get_relative_airmass(90.0, "kastenyoung1989")),
        over_ky_below=np.max(km[below] / ky[below] - 1),
        over_ky_60=float(U.RelOptLuftmasse(60.0) / pvlib.atmosphere.get_relative_airmass(
            60.0, "kastenyoung1989") - 1),
        just_below=just_below, at80=at80, drop=at80 / just_below - 1,
        at90=float(U.RelOptLuftmasse(90.0)), at91=float(U.RelOptLuftmasse(91.0)), past=past,
        pv_nan_past_90=bool(np.all(np.isnan(ky[z > 90]))),
    )
    rows = []
    for angle in (0.0, 30.0, 60.0, 70.0, 75.0, 79.99, 80.0, 85.0, 88.0, 90.0, 90.5, 91.0):
        k = float(U.RelOptLuftmasse(angle))
        with np.errstate(invalid="ignore", divide="ignore"):
            y = float(pvlib.atmosphere.get_relative_airmass(angle, "kastenyoung1989"))
            s = float(pvlib.atmosphere.get_relative_airmass(angle, "simple"))
        rows.append([fmt(angle, 2), fmt(k, 4), fmt(y, 4), fmt(s, 4) if s < 1e3 else "–",
                     pct(k / y - 1, 2) if np.isfinite(y) else "–",
                     pct(k / s - 1, 2) if np.isfinite(s) and s < 1e3 else "–"])
    tab = table(["zenith (deg)", "klimora", "Kasten–Young 1989", "secant",
                 "klimora / Kasten–Young − 1", "klimora / secant − 1"], rows)

    fig, axes = plt.subplots(2, 1, figsize=(7, 5.2), sharex=True,
                             height_ratios=[2, 1])
    ax = axes[0]
    ax.semilogy(z, np.where(km < 999, km, np.nan), color="C0", lw=2,
                label="klimora RelOptLuftmasse")
    ax.semilogy(z, ky, color="C1", lw=1, ls="--", label="pvlib kastenyoung1989")
    ax.semilogy(z, np.where(z < 89.5, sec, np.nan), color="C2", lw=1, ls=":",
                label="pvlib simple (secant)")
    ax.set_ylabel("relative air mass")
    ax.set_ylim(0.9, 80)
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3, which="both")
    ax = axes[1]
    with np.errstate(invalid="ignore"):
        ax.plot(z, 100 * (km / ky - 1), color="C0", lw=1.5, label="klimora / Kasten–Young − 1")
        ax.plot(z, 100 * (sec / ky - 1), color="C2", lw=1, ls=":",
                label="secant / Kasten–Young − 1")
    ax.axvline(80, color="0.5", lw=0.6)
    ax.set_ylim(-1, 6)
    ax.set_xlim(0, 91)
    ax.set_ylabel("%")
    ax.set_xlabel("zenith angle (deg)")
    ax.legend(fontsize=8, loc="upper left")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    png = save(fig, "air-mass")
    return dict(table=tab, png=png, **figures)


# ---------------------------------------------------------------------------
# 3. Clear sky

def pressure_ratio(height: Any) -> Any:
    """The module's pressure correction, exp(-h / 8434.5 m)."""
    return np.exp(-np.asarray(height, dtype=float) / 8434.5)


def clear_sky(df: pd.DataFrame) -> dict[str, Any]:
    d = df[df["zenith"] < 90].copy()
    z, h, tl, doy = (d[c].to_numpy() for c in ("zenith", "height", "linke", "doy"))
    cosz = np.cos(np.radians(z))
    # the module's extraterrestrial irradiance: the direct beam of an atmosphere
    # without turbidity (Linke factor 0)
    ext = U.MaxDirekteStrahlung(doy, h, 0.0, 0.0, 1.0)
    ext_pv = pvlib.irradiance.get_extra_radiation(doy)
    am_rel = pvlib.atmosphere.get_relative_airmass(z, "kastenyoung1989")
    am_abs = pvlib.atmosphere.get_absolute_airmass(am_rel, pvlib.atmosphere.alt2pres(h))
    cs = pvlib.clearsky.ineichen(z, am_abs, tl, altitude=h, dni_extra=ext)
    d["pv_ghi"], d["pv_dni"] = np.asarray(cs["ghi"]), np.asarray(cs["dni"])
    d["ratio_ghi"] = d["global_max"] / d["pv_ghi"]
    d["ratio_dni"] = d["direct_max"] / d["pv_dni"]
    d["beam_h"] = d["direct_max"] * cosz
    d["beam_over"] = d["beam_h"] > d["global_max"]

    # the forms the module's clear-sky outputs follow, checked on every step:
    # the beam's Rayleigh thickness is 1/(9.4 + 0.9 m) below 85 deg of zenith
    # and 0.0548 - 0.0028 (z - 85) from 85 deg on
    p = pressure_ratio(h)
    am = d["air_mass"].to_numpy()
    rayleigh = np.where(z < 85, 1 / (9.4 + 0.9 * am), 0.0548 - 0.0028 * (z - 85))
    direct_form = ext * np.exp(-tl * am * p * rayleigh)
    global_form = 0.84 * ext * cosz * np.exp(-0.027 * tl * p / cosz)
    with np.errstate(invalid="ignore", divide="ignore"):
        res = np.abs(d["direct_max"].to_numpy() / direct_form - 1)
        res_direct_low = float(np.max(res[z < 85]))
        res_direct_high = float(np.max(res[z >= 85]))
        big = d["global_max"].to_numpy() > 1.0
        res_global = float(np.max(np.abs(d["global_max"].to_numpy()[big] / global_form[big] - 1)))

    # the beam's steps where the air mass (80 deg) and the Rayleigh thickness
    # (85 deg) change formula: day 172, sea level, Linke factor 4
    def beam(angle: float) -> float:
        return float(U.MaxDirekteStrahlung(172, 0.0, angle, 4.0, U.RelOptLuftmasse(angle)))
    step80 = beam(80.0) / beam(np.nextafter(80.0, 0.0)) - 1
    step85 = beam(85.0) / beam(np.nextafter(85.0, 0.0)) - 1
    rayleigh85 = (1 / (9.4 + 0.9 * float(U.RelOptLuftmasse(np.nextafter(85.0, 0.0)))), 0.0548)

    # with the sun overhead the beam on the ground exceeds the global
    # irradiance when exp(-x/10.3) > 0.84 exp(-0.027 x), x = TL p/p0
    threshold = -np.log(0.84) / (1 / 10.3 - 0.027)

    low = d[d["site"] != HIGH_SITE]
    high = d[d["site"] == HIGH_SITE]
    rows, bands = [], {}
    for lo, hi in ZENITH_BANDS:
        a = low[(low["zenith"] >= lo) & (low["zenith"] < hi)]
        b = high[(high["zenith"] >= lo) & (high["zenith"] < hi)]
        both = d[(d["zenith"] >= lo) & (d["zenith"] < hi)]
        bands[(lo, hi)] = dict(
            ghi_med=a["ratio_ghi"].median(), ghi_lo=a["ratio_ghi"].quantile(0.05),
            ghi_hi=a["ratio_ghi"].quantile(0.95), dni_med=a["ratio_dni"].median(),
            high_ghi=b["ratio_ghi"].median(), high_dni=b["ratio_dni"].median(),
            over=both["beam_over"].mean(), n=len(a), n_high=len(b))
        q = bands[(lo, hi)]
        rows.append([f"{lo}–{hi}", str(q["n"]), fmt(q["ghi_med"], 3),
                     f"{fmt(q['ghi_lo'], 3)}–{fmt(q['ghi_hi'], 3)}", fmt(q["dni_med"], 3),
                     str(q["n_high"]), fmt(q["high_ghi"], 3), fmt(q["high_dni"], 3),
                     f"{100 * q['over']:.1f} %"])
    band_table = table(["zenith (deg)", "steps (four lower sites)",
                        "global: klimora / Ineichen, median", "5–95 %",
                        "direct normal: klimora / Ineichen, median",
                        f"steps ({HIGH_SITE}, 5000 m)", "global ratio at 5000 m",
                        "direct normal ratio at 5000 m",
                        "steps with beam on the ground > global (all sites)"], rows)

    # by site and day: the turbidity decides
    srows, per = [], []
    for (site_name, day_name), g in d.groupby(["site", "day"], sort=False):
        x = float(g["linke"].iloc[0] * pressure_ratio(g["height"].iloc[0]))
        up = g[g["zenith"] < 60]
        o = g[g["beam_over"]]
        per.append(dict(x=x, share=g["beam_over"].mean(), zmin=o["zenith"].min()))
        srows.append([site_name, day_name, fmt(g["linke"].iloc[0], 2), fmt(x, 2),
                      fmt(up["ratio_ghi"].median(), 3) if len(up) else "–",
                      fmt(up["ratio_dni"].median(), 3) if len(up) else "–",
                      f"{100 * g['beam_over'].mean():.0f} %",
                      fmt(o["zenith"].min(), 1) if len(o) else "–"])
    site_table = table(["site", "day", "Linke", "Linke · p/p0",
                        "global ratio, zenith < 60°", "direct normal ratio, zenith < 60°",
                        "daylight steps with beam > global", "from zenith (deg)"], srows,
                       align="llrrrrrr")
    per = pd.DataFrame(per)
    clear = per[per["x"] >= threshold]
    turbid_zmin = float(clear["zmin"].min())

    over = d[d["beam_over"]]
    clipped = d[d["beam_over"] & (d["diffuse"] == 0.0)]
    hs = high[high["zenith"] < 60]
    hcos = np.cos(np.radians(hs["zenith"]))
    hext = U.MaxDirekteStrahlung(hs["doy"].to_numpy(), 5000.0, 0.0, 0.0, 1.0)
    figures = dict(
        n_day=len(d), over_share=d["beam_over"].mean(), n_over=len(over),
        over_clipped=len(clipped), threshold=threshold, turbid_zmin=turbid_zmin,
        n_turbid=len(clear), n_cases=len(per),
        over_excess=(over["beam_h"] - over["global_max"]).max() if len(over) else np.nan,
        ext_diff=np.max(np.abs(ext / ext_pv - 1)),
        res_direct_low=res_direct_low, res_direct_high=res_direct_high, res_global=res_global,
        step80=step80, step85=step85, rayleigh85=rayleigh85,
        linke_lo=d["linke"].min(), linke_hi=d["linke"].max(),
        overall_ghi_0_60=bands[(0, 60)]["ghi_med"],
        high_ghi_0_60=bands[(0, 60)]["high_ghi"],
        ineichen_high_clearness=float(np.median(hs["pv_ghi"] / (hext * hcos))),
        klimora_high_clearness=float(np.median(hs["global_max"] / (hext * hcos))),
        cg1_high=0.868 + 5.09e-5 * 5000.0,
        ratio_peak=float(d.loc[d["zenith"] < 89, "ratio_ghi"].quantile(0.99)),
        ratio_89=float(d.loc[d["zenith"] >= 89, "ratio_ghi"].median()),
    )
    zb = d.assign(bin=np.floor(d["zenith"])).groupby("bin")["ratio_ghi"].median()
    zb = zb[zb.index < 89]
    figures["ratio_peak_bin"] = float(zb.idxmax())
    figures["ratio_peak_value"] = float(zb.max())
    figures["site_table"] = site_table
    up = d[d["zenith"] < 60]
    figures["by_site"] = ", ".join(
        f"{name} ({height:.0f} m) {up.loc[up['site'] == name, 'ratio_ghi'].median():.3f}"
        for name, _, _, height in SITES)

    # pressure: the module's exp(-h/8434.5) against pvlib's standard atmosphere
    prow = []
    for height in sorted({s[3] for s in SITES}):
        k = float(pressure_ratio(height))
        s = float(pvlib.atmosphere.alt2pres(height) / 101325.0)
        prow.append([fmt(height, 0), fmt(k, 4), fmt(s, 4), pct(k / s - 1, 1)])
    pressure_table = table(["height (m)", "klimora p/p0 = exp(−h/8434.5 m)",
                            "pvlib alt2pres / 101325 Pa", "difference"], prow)
    standard = pvlib.atmosphere.alt2pres(5000.0) / 101325.0
    figures["p_high"] = float(pressure_ratio(5000.0) / standard - 1)

    # turbidity against humidity
    rh = np.round(np.arange(0.0, 100.0 + 1e-9, 0.1), 1)
    cases = (("day 172, 48.14 N", 172, 48.14), ("day 355, 48.14 N", 355, 48.14),
             ("day 172, 33.87 S", 172, -33.87))
    curves = {label: U.LinkeTruebung(doy_, lat, rh) for label, doy_, lat in cases}
    bounded = {label: M.bounded_turbidity(doy_, lat, rh) for label, doy_, lat in cases}
    trow = []
    for value in (0.0, 50.0, 84.9, 85.0, 88.0, 90.0, 91.4, 91.5, 92.0, 94.0, 94.9, 95.0, 100.0):
        i = int(round(value * 10))
        trow.append([fmt(value, 1)] + [fmt(curves[label][i], 2) for label, _, _ in cases]
                    + [fmt(bounded[label][i], 2) for label, _, _ in cases])
    linke_table = table(["RH (%)"] + [f"LinkeTruebung, {label}" for label, _, _ in cases]
                        + [f"default (bounded), {label}" for label, _, _ in cases], trow)
    beyond = curves[cases[0][0]] > M.TURBIDITY_BEYOND_CLIMATOLOGY
    figures["bounded_from"] = float(rh[np.argmax(beyond)])
    first = curves[cases[0][0]]
    figures["linke_below85"] = float(first[0])
    figures["linke_at85"] = float(first[850])
    figures["linke_at90"] = float(first[900])
    figures["linke_at95"] = float(first[950])
    figures["linke_flat_below85"] = bool(np.all(first[:850] == first[0]))
    figures["linke_flat_above95"] = bool(np.all(first[950:] == first[950]))
    figures["linke_cap_from"] = float(rh[np.argmax(first >= first[-1])])
    figures["linke_same_above85"] = bool(all(np.array_equal(c[850:], first[850:])
                                             for c in curves.values()))
    # what a turbidity of 95 % humidity leaves of the beam at noon in Munich on 21 June
    zen = float(U.Zenitwinkel(12.0, 48.14, 172))
    m = float(U.RelOptLuftmasse(zen))
    rh60 = U.LinkeTruebung(172, 48.14, 60.0)
    figures["beam_rh60"] = float(U.MaxDirekteStrahlung(172, 520.0, zen, rh60, m))
    figures["beam_rh95"] = float(U.MaxDirekteStrahlung(172, 520.0, zen, first[950], m))
    figures["global_rh95"] = float(U.MaxGlobalstrahlung(172, 520.0, zen, first[950]))

    # plot: ratio against zenith, one colour per site
    fig, axes = plt.subplots(1, 2, figsize=(9, 3.6))
    for i, (site_name, *_rest) in enumerate(SITES):
        s = d[d["site"] == site_name]
        axes[0].plot(s["zenith"], s["ratio_ghi"], ".", ms=2.5, color=f"C{i}", label=site_name)
        axes[1].plot(s["zenith"], s["global_max"] - s["beam_h"], ".", ms=2.5, color=f"C{i}")
    axes[0].set_ylim(0, 1.6)
    axes[0].axhline(1, color="0.5", lw=0.6)
    axes[0].set_title("global: klimora / Ineichen (same Linke, altitude)", fontsize=10)
    axes[0].legend(fontsize=7, markerscale=3)
    axes[1].set_title("klimora global − its beam on the ground (W/m²)",
                      fontsize=10)
    axes[1].axhline(0, color="0.5", lw=0.6)
    for ax in axes:
        ax.set_xlabel("zenith angle (deg)")
        ax.grid(alpha=0.3)
        ax.set_xlim(0, 90)
    fig.tight_layout()
    png_ratio = save(fig, "clear-sky")

    fig, ax = plt.subplots(figsize=(5.5, 3.2))
    for (label, _, _), style in zip(cases, ("-", "--", ":")):
        ax.plot(rh, curves[label], style, lw=2.2 if style == "--" else 1.3, label=label)
    ax.set_yscale("log")
    ticks = [1.5, 2, 3, 5, 10, 20, 40]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_xlabel("relative humidity (%)")
    ax.set_ylabel("LinkeTruebung")
    ax.axvline(85, color="0.6", lw=0.6)
    ax.axvline(95, color="0.6", lw=0.6)
    ax.plot(rh, bounded[cases[0][0]], color="k", lw=0.9,
            label=f"default (bounded), {cases[0][0]}")
    ax.legend(fontsize=7)
    ax.grid(alpha=0.3, which="both")
    fig.tight_layout()
    png_linke = save(fig, "linke")
    return dict(band_table=band_table, pressure_table=pressure_table, linke_table=linke_table,
                bands=bands, png_ratio=png_ratio, png_linke=png_linke, **figures)


# ---------------------------------------------------------------------------
# 4. Mean radiant temperature

def fp_system(elevation: Any) -> Any:
    g = elevation
    return 0.308 * np.cos(np.radians(g * (0.998 - np.sqrt(g) / 50000)))


def fp_vdi(elevation: Any) -> Any:
    g = elevation
    return 0.308 * np.cos(np.radians(g * (0.998 - g ** 2 / 50000)))


def solarcal(elevation: Any, beam: Any) -> tuple[Any, Any]:
    """SolarCal (pythermalcomfort.models.solar_gain), standing person, beam
    only (sky view 0, whole body in the sun, no glazing, absorptivity 0.7):
    the rise of the mean radiant temperature, averaged over the sun's angle
    to the person's front (0-180 deg, trapezoids), and the projected area
    factor it used (fp = erf * 0.95 / (0.7 * 0.725 * beam))."""
    el = np.clip(np.asarray(elevation, dtype=float), 0.0, 90.0)
    beam = np.broadcast_to(np.asarray(beam, dtype=float), el.shape)
    weights = np.gradient(SHARP)
    weights = weights / weights.sum()
    weights[[0, -1]] /= 2
    weights = weights / weights.sum()
    dmrt = np.zeros(el.shape)
    fp = np.zeros(el.shape)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for w, sharp in zip(weights, SHARP):
            r = solar_gain(sol_altitude=el, sharp=sharp, sol_radiation_dir=beam,
                           sol_transmittance=1.0, f_svv=0.0, f_bes=1.0, asw=0.7,
                           posture="standing", round_output=False)
            dmrt += w * np.asarray(r.delta_mrt)
            with np.errstate(invalid="ignore", divide="ignore"):
                fp += w * np.asarray(r.erf) * 0.95 / (0.7 * 0.725 * beam)
    return dmrt, fp


def thermofeel_mrt(d: pd.DataFrame) -> Any:
    """thermofeel's mean radiant temperature (deg C) from the chain's fluxes."""
    cosz = np.clip(np.cos(np.radians(d["zenith"].to_numpy())), 0.0, 1.0)
    direct, diffuse, glob = (d[c].to_numpy() for c in ("direct", "diffuse", "global"))
    down, up = d["counter"].to_numpy(), d["longwave_up"].to_numpy()
    beam_h = direct * cosz
    # thermofeel's inputs from the chain's fluxes (W/m2):
    ssrd = diffuse + beam_h               # down-welling short-wave: diffuse + beam on the ground
    fdir = beam_h                         # its direct part, so ssrd - fdir = the chain's diffuse
    ssr = ssrd - GROUND_ALBEDO * glob     # net short-wave, so ssrd - ssr = albedo * global
    strd = down                           # down-welling long-wave
    strr = down - up                      # net long-wave, so strd - strr = the chain's L_up
    dsrp = direct                         # direct beam, normal to it
    return thermofeel.calculate_mean_radiant_temperature(ssrd, ssr, dsrp, strd, fdir, strr,
                                                         cosz) - 273.15


def mean_radiant(df: pd.DataFrame, cloudy: pd.DataFrame) -> dict[str, Any]:
    d = df[df["zenith"] < 90].copy()
    z = d["zenith"].to_numpy()
    direct, diffuse, glob = (d[c].to_numpy() for c in ("direct", "diffuse", "global"))
    down, up = d["counter"].to_numpy(), d["longwave_up"].to_numpy()
    tf = thermofeel_mrt(d)
    d["tf_mrt"] = tf
    d["d_system"] = d["mrt"] - tf
    d["d_vdi"] = d["mrt_vdi"] - tf
    d["elevation"] = 90.0 - d["zenith"]

    # night: the beam is zero, every factor gives the same
    night = df[df["zenith"] >= 90]
    night_diff = float(np.max(np.abs(night["mrt"] - night["mrt_vdi"])))

    # the rise of the mean radiant temperature through the beam alone
    sky, ground = 0.5 * down, 0.5 * up
    dstr = 0.5 * diffuse + 0.5 * GROUND_ALBEDO * glob
    sun = np.minimum(z, 90.0)
    base = U.MittlStrTemp(sun, sky, ground, 0.0, dstr, 0.0, BODY_ALBEDO)
    d["rise_system"] = U.MittlStrTemp(sun, sky, ground, 0.0, dstr, direct, BODY_ALBEDO) - base
    d["rise_vdi"] = U.MittlStrTemp(sun, sky, ground, 0.0, dstr,
                                   direct * projection_scale(sun, "vdi3789"), BODY_ALBEDO) - base
    rise_sc, _ = solarcal(d["elevation"].to_numpy(), direct)
    d["rise_solarcal"] = rise_sc

    rows = []
    for lo, hi in ELEVATION_BANDS:
        b = d[(d["elevation"] >= lo) & (d["elevation"] < hi)]
        if not len(b):
            rows.append([f"{lo}–{hi}", "0"] + ["–"] * 6)
            continue
        rows.append([f"{lo}–{hi}", str(len(b)),
                     f"{signed(b['d_system'].median())} ({signed(b['d_system'].min())} to "
                     f"{signed(b['d_system'].max())})",
                     f"{signed(b['d_vdi'].median(), 3)} (max abs {fmt(b['d_vdi'].abs().max(), 3)})",
                     fmt(b["rise_system"].median(), 1), fmt(b["rise_vdi"].median(), 1),
                     fmt(b["rise_solarcal"].median(), 1)])
    tab = table(["sun elevation (deg)", "steps", "system − thermofeel (K): median (range)",
                 "vdi3789 − thermofeel (K)", "beam's rise of MRT, system (K)",
                 "beam's rise, vdi3789 (K)", "beam's rise, SolarCal (K)"], rows)

    high = d[d["elevation"] >= HIGH_SUN]
    higher = d[d["elevation"] >= 60]
    low = d[d["elevation"] < 15]
    g = np.array([15.0, 30.0, 45.0, 60.0, 75.0, 89.0])
    figures = dict(
        n=len(d), night_diff=night_diff,
        high_lo=high["d_system"].min(), high_hi=high["d_system"].max(),
        high_med=high["d_system"].median(),
        higher_lo=higher["d_system"].min(), higher_hi=higher["d_system"].max(),
        higher_med=higher["d_system"].median(),
        low_lo=low["d_system"].min(),
        vdi_max=d["d_vdi"].abs().max(),
        all_lo=d["d_system"].min(), all_hi=d["d_system"].max(),
        fp_ratio={int(x): float(fp_system(x) / fp_vdi(x)) for x in g},
        sc_vs_vdi=float((high["rise_solarcal"] / high["rise_vdi"]).median()),
        sc_vs_system=float((high["rise_solarcal"] / high["rise_system"]).median()),
        mrt_max=d["mrt_vdi"].max(),
    )
    # the same with the chain's default cloud, which weakens the beam
    c = cloudy[(cloudy["zenith"] < 90) & (cloudy["zenith"] <= 90 - HIGH_SUN)]
    c_tf = thermofeel_mrt(c)
    c_sys, c_vdi = c["mrt"] - c_tf, c["mrt_vdi"] - c_tf
    c60 = c["zenith"] <= 30
    figures.update(cloudy_lo=c_sys.min(), cloudy_hi=c_sys.max(), cloudy_vdi=c_vdi.abs().max(),
                   cloudy60_lo=c_sys[c60].min(), cloudy60_hi=c_sys[c60].max())
    worst = d.loc[d["d_system"].idxmin()]
    figures["worst"] = (f"{worst['site']}, {worst['day']}, sun at {worst['elevation']:.1f} deg, "
                        f"beam {worst['direct']:.0f} W/m²")

    # plot: projected area factors, and the MRT differences
    el = np.linspace(0.5, 89.5, 179)
    _, fp_sc = solarcal(el, np.full(el.shape, 1000.0))
    fp_each = np.empty((len(SHARP),) + el.shape)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for k, sharp in enumerate(SHARP):
            r = solar_gain(sol_altitude=el, sharp=sharp, sol_radiation_dir=1000.0,
                           sol_transmittance=1.0, f_svv=0.0, f_bes=1.0, asw=0.7,
                           posture="standing", round_output=False)
            fp_each[k] = np.asarray(r.erf) * 0.95 / (0.7 * 0.725 * 1000.0)
    figures["fp_overhead"] = (float(fp_system(90.0)), float(fp_vdi(90.0)), float(fp_sc[-1]),
                              float(el[-1]))
    fig, axes = plt.subplots(1, 2, figsize=(9, 3.6))
    ax = axes[0]
    ax.plot(el, fp_system(el), lw=1.8, label="klimora system (√γ/50000)")
    ax.plot(el, fp_vdi(el), lw=1.8, ls="--", label="VDI 3789 / thermofeel (γ²/50000)")
    ax.plot(el, fp_sc, lw=1.2, color="C2", label="SolarCal standing, mean over orientation")
    ax.fill_between(el, fp_each.min(axis=0), fp_each.max(axis=0),
                    color="C2", alpha=0.15, lw=0, label="SolarCal, range over orientation")
    ax.set_xlabel("sun elevation γ (deg)")
    ax.set_ylabel("projected area factor fp")
    ax.set_xlim(0, 90)
    ax.set_ylim(0, 0.36)
    ax.legend(fontsize=7, loc="lower left")
    ax.grid(alpha=0.3)
    ax = axes[1]
    ax.plot(d["elevation"], d["d_system"], ".", ms=3, label="system − thermofeel")
    ax.plot(d["elevation"], d["d_vdi"], "x", ms=3, mew=0.6, label="vdi3789 − thermofeel")
    ax.set_xlabel("sun elevation (deg)")
    ax.set_ylabel("MRT difference (K)")
    ax.set_xlim(0, 90)
    ax.legend(fontsize=7, markerscale=3)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    png = save(fig, "mrt")
    return dict(table=tab, png=png, **figures)


# ---------------------------------------------------------------------------
# The page

def tool(name: str) -> Any:
    """The module tools/``name``.py (run with -I, this script's folder is
    not on sys.path: the module is loaded from its file)."""
    path = pathlib.Path(__file__).resolve().parent / f"{name}.py"
    found = importlib.util.spec_from_file_location(name, path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module    # dataclasses look their module up by name
    found.loader.exec_module(module)
    return module


def measured_section() -> str:
    """Section 5, by tools/validate_measured.py."""
    return str(tool("validate_measured").section())


def intervals_section() -> str:
    """The end of section 4, hourly means, by tools/validate_intervals.py."""
    return str(tool("validate_intervals").section(SITES, DAYS))


def indices_section() -> str:
    """Section 6, the thermal indices, by tools/validate_indices.py."""
    return str(tool("validate_indices").section())


def page(df: pd.DataFrame, sp: dict[str, Any], am: dict[str, Any], cs: dict[str, Any],
         mrt: dict[str, Any], measured: str, seconds: float) -> str:
    versions = {name: version(name) for name in
                ("klimora", "pvlib", "thermofeel", "pythermalcomfort", "numpy", "pandas",
                 "matplotlib")}
    sites = ", ".join(f"{n} ({abs(la):.2f}° {'N' if la >= 0 else 'S'}, "
                      f"{abs(lo):.2f}° {'E' if lo >= 0 else 'W'}, {h:.0f} m)"
                      for n, la, lo, h in SITES)
    days = ", ".join(f"{name} ({date})" for name, date in DAYS)
    b = cs["bands"]
    eq = sp["per_day"][DAYS[0][0]]
    dec_err = max(abs(p["dec_k"] - p["dec_spa"]) for p in sp["per_day"].values())
    eot_err = max(abs(p["eot_k"] - p["eot_spa"]) for p in sp["per_day"].values())
    fr = mrt["fp_ratio"]
    out = f"""# Validation: klimora against pvlib, thermofeel and pythermalcomfort

This page is written by `make validate` (`tools/validate.py`); every figure on
it was computed in that run. To reproduce: `make validate`.

Versions: klimora {versions['klimora']}, pvlib {versions['pvlib']}, thermofeel
{versions['thermofeel']}, pythermalcomfort {versions['pythermalcomfort']}
(numpy {versions['numpy']}, pandas {versions['pandas']}, matplotlib
{versions['matplotlib']}, Python {platform.python_version()}). The peers are
development dependencies (`requirements-dev.txt`); the package does not import them.

**Setting.** `klimora.chain.chain` runs on a pandas DataFrame indexed by UTC
times (`Site(latitude, longitude, height, zone=None)`), every
{STEP_MINUTES} minutes of the UTC day, {len(df)} steps in all, at five sites — {sites} — on
three days — {days}. The weather is the same everywhere: {WEATHER['air_temp']:g} °C,
{WEATHER['humidity']:g} % relative humidity, {WEATHER['cloud']:g} oktas (clear sky, so the
beam is the clear-sky beam), wind {WEATHER['wind']:g} m/s, the chain's defaults otherwise
(ground albedo {GROUND_ALBEDO}, body albedo {BODY_ALBEDO}). Single functions are called
through `klimora.ufuncs`.

None of the differences below is a fault of the code: each is a choice of model, and the
sections say which.

## 1. Solar position against NREL SPA

klimora's `zenith` and `azimuth` columns against `pvlib.solarposition.get_solarposition(...,
method='nrel_numpy')`, geometric (unrefracted) zenith; the azimuth only where SPA's zenith is
below 85° ({sp['n_sun']} of {sp['n']} steps).

![Zenith and azimuth differences over the UTC day](validation-solar-position.png)

{sp['site_table']}

Over all sites and days the zenith differs by {fmt(sp['dz_med'], 3)}° typically (median of
the absolute difference) and {fmt(sp['dz_max'], 3)}° at most; the azimuth by
{fmt(sp['daz_med'], 3)}° typically and {fmt(sp['daz_max'], 2)}° at most ({sp['daz_worst']}:
with the sun near the zenith a small error of position is a large error of azimuth;
with the zenith above 10° the azimuth differs by {fmt(sp['daz_max_wide'], 2)}° at most).

**Why.** The module takes the sun's declination and the equation of time from short
approximations in the day of the year — one declination for the whole day, the same every
year — and forms the hour angle from the true solar time that the chain builds with
`equation_of_time` (UTC + longitude/15 h + equation of time). SPA computes the apparent
position at the exact instant from the full ephemeris (Julian date, ΔT, nutation,
aberration). The two parts of the difference, day by day:

{sp['day_table']}

The declination alone differs by up to {fmt(dec_err, 3)}°, and at the equinox SPA's declination moves by
{fmt(eq['dec_range'], 3)}° within the UTC day while the module holds one value; the
equation of time differs by up to {fmt(eot_err, 2)} min, which is
{fmt(0.25 * eot_err, 3)}° of hour angle. The module has no refraction: near the horizon the
apparent zenith that SPA also gives is up to {fmt(sp['refraction'], 2)}° smaller than the
geometric one compared here; against the apparent zenith the differences at the horizon
would be that much larger.

## 2. Relative optical air mass

`klimora.ufuncs.RelOptLuftmasse` on zenith angles 0–91° in steps of 0.01°, against
`pvlib.atmosphere.get_relative_airmass(z, 'kastenyoung1989')` and `'simple'` (the secant).

![Air mass against zenith angle](validation-air-mass.png)

{am['table']}

**The choice.** Below 80° the module uses the secant of the plane-parallel atmosphere:
it agrees with pvlib's `simple` {agree(am['secant_below'])}. From 80° to 90° it
uses Kasten and Young (1989): it agrees with pvlib's `kastenyoung1989`
{agree(am['ky_band'])} below 90°, and at 90° it gives {am['at90']:.2f} (Kasten–Young {am['ky90']:.4f}).
The secant is above Kasten–Young at every angle (by {pct(am['over_ky_60'], 2)} at 60°) and by
up to {pct(am['over_ky_below'], 2)} just below 80°, so where the formulas hand over the air
mass drops from {fmt(am['just_below'], 4)} to {fmt(am['at80'], 4)}, by {pct(am['drop'], 2)}:
the clear-sky direct beam (`MaxDirekteStrahlung` takes the air mass) steps up there. Past 90°
the module goes on to {fmt(am['at91'], 2)} at 91° and gives
the marker {am['past']:.0f} beyond; pvlib gives {'NaN' if am['pv_nan_past_90'] else 'values'}
past 90°.

## 3. Clear-sky irradiance against Ineichen

klimora's `global_max` and `direct_max` against `pvlib.clearsky.ineichen` with the same Linke
turbidity (the chain's `linke` column, {fmt(cs['linke_lo'], 2)}–{fmt(cs['linke_hi'], 2)} here),
the same altitude, apparent zenith = klimora's `zenith`, absolute air mass from
`kastenyoung1989` on that zenith and `alt2pres(altitude)`, and `dni_extra` = the module's
extraterrestrial irradiance (`MaxDirekteStrahlung` with a Linke factor of 0; it differs from
pvlib's `get_extra_radiation` by {pct(cs['ext_diff'], 2)} at most), so that only the
atmosphere differs. {cs['n_day']} daylight steps (zenith < 90°).

![Clear-sky global ratio and global minus beam against zenith](validation-clear-sky.png)

Left: klimora's clear-sky global over Ineichen's; right: klimora's global less its own beam
on the ground, direct_max · cos z (below 0 the chain clips the diffuse to 0).

{cs['band_table']}

With the sun above 30° of elevation (zenith 0–60°) klimora's clear-sky global is
{fmt(cs['overall_ghi_0_60'], 3)} of Ineichen's (median) at the four lower sites and
{fmt(cs['high_ghi_0_60'], 3)} at 5000 m; by site: {cs['by_site']}. Towards the horizon the ratio rises
({fmt(b[(60, 70)]['ghi_med'], 3)}, {fmt(b[(70, 80)]['ghi_med'], 3)} and
{fmt(b[(80, 90)]['ghi_med'], 3)} in the bands 60–70°, 70–80°, 80–90°; the median of one-degree
bins peaks at {fmt(cs['ratio_peak_value'], 2)} at {cs['ratio_peak_bin']:.0f}–{cs['ratio_peak_bin'] + 1:.0f}°)
and in the last degree it collapses (median {fmt(cs['ratio_89'], 3)} at 89–90°).

**Why: the model's forms.** On every daylight step the module's outputs follow these forms
(largest relative residual {cs['res_direct_low']:.1e} for the beam below 85° of zenith,
{cs['res_direct_high']:.1e} from 85° on, {cs['res_global']:.1e} for the global irradiance
above 1 W/m²), with E0 the extraterrestrial irradiance, TL the Linke factor, m the relative
air mass and p/p0 = exp(−h/8434.5 m):

- direct normal: E0 · exp(−TL · m · (p/p0) · δR), with the Rayleigh optical thickness
  δR = 1/(9.4 + 0.9 m) below 85° of zenith and δR = 0.0548 − 0.0028 (z − 85°) from 85° on;
- global: 0.84 · E0 · cos z · exp(−0.027 · TL · (p/p0) / cos z).

Ineichen's global is cg1 · E0 · cos z · exp(−cg2 · AM · (fh1 + fh2 (TL − 1))) with
cg1 = 0.868 + 5.09·10⁻⁵ h, cg2 = 0.0387 + 3.92·10⁻⁵ h, fh1 = exp(−h/8000 m),
fh2 = exp(−h/1250 m) and AM the pressure-corrected Kasten–Young air mass. At sea level and
high sun the two nearly cancel (0.84 against 0.868 in front, 0.027 against 0.0387 per unit
of TL and air mass in the exponent). Towards the horizon Ineichen's larger coefficient
attenuates more, so klimora's global is the larger; in the last degree klimora's exponent,
which grows like 1/cos z without bound where the air mass stays finite (about 38 at 90°),
takes over and its global drops to zero first.

The beam has two steps of its own, both model choices: at 80° the air mass hands over from
the secant to Kasten–Young (section 2) and the beam rises by {pct(cs['step80'], 1)}; at 85°
δR changes from {cs['rayleigh85'][0]:.5f} to {cs['rayleigh85'][1]:.4f} and the beam changes by
{pct(cs['step85'], 1)} (day 172, sea level, TL 4).

**Beam against global.** The beam and the global come from two separate formulas that are
not tied to each other. With the sun overhead the beam on the ground exceeds the global
irradiance whenever TL · p/p0 is below {cs['threshold']:.2f} (where
exp(−x/10.3) > 0.84 exp(−0.027 x)); it does so near the horizon at any turbidity. Over the
run that is {cs['n_over']} of {cs['n_day']} daylight steps ({100 * cs['over_share']:.1f} %),
by at most {fmt(cs['over_excess'], 1)} W/m²; on the {cs['n_turbid']} of {cs['n_cases']}
site-days with TL · p/p0 ≥ {cs['threshold']:.2f} only from {fmt(cs['turbid_zmin'], 1)}° of zenith on.
There the chain clips the diffuse irradiance to 0 ({cs['over_clipped']} of those steps have
diffuse = 0 in the chain's output), so the global is then all beam, and the beam on the
ground is more than the global that the chain reports.

{cs['site_table']}

**Height.** The module reduces the pressure by a scale height of 8434.5 m; pvlib's standard
atmosphere falls faster:

{cs['pressure_table']}

At 5000 m the module's air is {pct(cs['p_high'], 1)} denser than the standard atmosphere,
and the height enters klimora's global only through p/p0 in the exponent, while Ineichen
also raises its factor cg1 to {cs['cg1_high']:.3f} at 5000 m. With the sun above 30° at
La Rinconada Ineichen's global is {fmt(cs['ineichen_high_clearness'], 3)} times the
extraterrestrial irradiance on the horizontal (median; above 1, more than reaches the top
of the atmosphere), klimora's {fmt(cs['klimora_high_clearness'], 3)}: most of the ratio of
{fmt(cs['high_ghi_0_60'], 3)} at 5000 m is Ineichen's altitude terms outside the heights
they were fitted for, not klimora.

**Turbidity steps.** `LinkeTruebung` depends on the day, the hemisphere (not the latitude
within it: Singapore at 1.35° N gets Munich's values) and the relative humidity. Below 85 %
it does not depend on the humidity
({'constant' if cs['linke_flat_below85'] else 'not constant'}: {fmt(cs['linke_below85'], 2)} at day 172, 48.14° N); at 85 % it steps
to {fmt(cs['linke_at85'], 2)}, {'the same on every day and in both hemispheres' if cs['linke_same_above85'] else 'differing by day and hemisphere'} from there on, rises steeply
({fmt(cs['linke_at90'], 2)} at 90 %) and reaches its cap of {fmt(cs['linke_at95'], 2)} at
{fmt(cs['linke_cap_from'], 1)} % ({'constant' if cs['linke_flat_above95'] else 'not constant'} up to 100 %). The direct beam at noon in Munich on 21 June
falls from {fmt(cs['beam_rh60'], 0)} W/m² at 60 % to {fmt(cs['beam_rh95'], 1)} W/m² at 95 %
(global {fmt(cs['global_rh95'], 0)} W/m²). The steps are the model's and carry into every
clear-sky figure of `turbidity="model"`; the comparison above uses 60 %. The chain's default,
`turbidity="bounded"`, takes these values up to 7 (from {fmt(cs['bounded_from'], 1)} % on they are
above it) and the model's dry-air value of the day and hemisphere beyond: the last columns and
the black line (sections 5.1 and 5.7 say why).

![LinkeTruebung against relative humidity](validation-linke.png)

{cs['linke_table']}

## 4. Mean radiant temperature against thermofeel and SolarCal

thermofeel's `calculate_mean_radiant_temperature` (Di Napoli et al. 2020) is the same
half-sky, half-ground budget as `MittlStrTemp` with emissivity 0.97 and short-wave
absorptivity 0.7, so it is fed the chain's own fluxes ({mrt['n']} daylight steps):

| thermofeel input | from the chain's columns | so that thermofeel sees |
|---|---|---|
| `ssrd` (down-welling short-wave) | `diffuse` + `direct` · cos z | |
| `fdir` (its direct part) | `direct` · cos z | `ssrd − fdir` = `diffuse` |
| `ssr` (net short-wave) | `ssrd` − {GROUND_ALBEDO} · `global` | reflected = albedo · `global`, as the chain |
| `dsrp` (direct beam, normal) | `direct` | |
| `strd` (down-welling long-wave) | `counter` | |
| `strr` (net long-wave) | `counter` − `longwave_up` | `strd − strr` = `longwave_up` |
| `cossza` | cos(`zenith`), at least 0 | elevation γ = arcsin(cossza) |

`ssrd` is built from the diffuse and the beam rather than taken from `global`, because
where the chain clips the diffuse to 0 (section 3) `global − direct · cos z` would be
negative.

thermofeel weights the beam with fp = 0.308 cos(γ (0.998 − γ²/50000)), the factor of VDI
3789 for a standing person; klimora's `MittlStrTemp` builds in
0.308 cos(γ (0.998 − √γ/50000)) (`projection_factor="system"`), and the chain's
`projection_factor="vdi3789"` rescales the beam to the published one.

![Projected area factors and MRT differences against sun elevation](validation-mrt.png)

{mrt['table']}

**The choice.** With `"vdi3789"` klimora and thermofeel agree to {mrt['vdi_max']:.1e} K:
the budgets are the same, term by term. With the system's factor (√γ where the published
factor has γ²) klimora gives a smaller projected area the higher the sun — fp(system)/fp(VDI)
is {', '.join(f"{fr[k]:.3f} at {k}°" for k in fr)}; with the sun overhead
the system's factor is {mrt['fp_overhead'][0]:.4f}, VDI's {mrt['fp_overhead'][1]:.4f} and
SolarCal's {mrt['fp_overhead'][2]:.4f} (at {mrt['fp_overhead'][3]:g}°) — so its MRT is lower:
with the sun {HIGH_SUN:g}° or more above the horizon by {fmt(-mrt['high_hi'], 1)} to
{fmt(-mrt['high_lo'], 1)} K (median {fmt(-mrt['high_med'], 1)} K), with the sun 60° or more
by {fmt(-mrt['higher_hi'], 1)} to {fmt(-mrt['higher_lo'], 1)} K (median
{fmt(-mrt['higher_med'], 1)} K); the largest difference is at {mrt['worst']}. Over all
daylight steps the difference runs from {signed(mrt['all_lo'], 2)} to
{signed(mrt['all_hi'], 2)} K. At night the beam is zero and both factors give the same
({mrt['night_diff']:.1e} K apart). The difference scales with the beam: with the chain's
default cloud of {CLOUDY:g} oktas (the beam reduced by `DirStrMBew`) it is
{fmt(-mrt['cloudy_hi'], 1)} to {fmt(-mrt['cloudy_lo'], 1)} K with the sun {HIGH_SUN:g}° or more
high and {fmt(-mrt['cloudy60_hi'], 1)} to {fmt(-mrt['cloudy60_lo'], 1)} K with it 60° or more
(`"vdi3789"` against thermofeel: {mrt['cloudy_vdi']:.1e} K).

pythermalcomfort has no MRT from radiant fluxes; its SolarCal model (`solar_gain`,
ASHRAE 55) gives the rise of the MRT through the sun. The table's last three columns hold
the rise through the beam alone: klimora's MRT with and without `direct`, and SolarCal for
a standing person with the same beam, absorptivity 0.7, sky view 0 (its diffuse and
reflected terms are its own fixed shares of the beam, so they are left out) and the sun's
angle to the person's front averaged over 0–180°. SolarCal tabulates its own fp (the green
curve, from its `erf`: close to VDI's) and linearises the long-wave exchange with
6 W/m²K where klimora's fourth power gives about 4 σ T³ ({4 * 5.67e-8 * 303.15 ** 3:.1f} W/m²K at
30 °C, {4 * 5.67e-8 * 323.15 ** 3:.1f} at 50 °C, the MRT of a sunlit person), so a watt
of sun raises klimora's MRT less; with the sun {HIGH_SUN:g}° or more high SolarCal's rise is
{fmt(mrt['sc_vs_vdi'], 2)} times klimora's with the VDI factor and
{fmt(mrt['sc_vs_system'], 2)} times klimora's with the system's (medians).

{measured}
---
Run time of `tools/validate.py`: {seconds:.1f} s.
"""
    return out


def main() -> None:
    DOCS.mkdir(exist_ok=True)
    df = run_all()
    cloudy = run_all({**WEATHER, "cloud": CLOUDY})
    sp = solar_position(df)
    am = air_mass()
    cs = clear_sky(df)
    mrt = mean_radiant(df, cloudy)
    measured = intervals_section() + "\n" + measured_section() + "\n" + indices_section()
    seconds = time.perf_counter() - START
    text = page(df, sp, am, cs, mrt, measured, seconds)
    (DOCS / "validation.md").write_text(text, encoding="utf-8")
    print(f"wrote {DOCS / 'validation.md'} and {len(list(DOCS.glob('validation-*.png')))} plots "
          f"in {seconds:.1f} s")


if __name__ == "__main__":
    main()
