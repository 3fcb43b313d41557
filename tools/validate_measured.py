"""klimora's chain against measured radiation: section 5 of docs/validation.md
and docs/validation-measured-*.png.

The measurements are the station files that pvlib ships with its source
distribution (tests/data): BSRN, SURFRAD, MIDC, SRML, CRN and SOLRAD samples.
The sdist is fetched once with pip into build/validation-data (gitignored)
and read with pvlib.iotools.  Without it (no network) the section says what
was skipped, and `make validate` goes on.

For every station the chain runs as a user would run it: the station's
position, height and zone, its measured air temperature, humidity, wind and
albedo where the file has them, times at the middle of each averaging
interval.  Its columns are held against the measurements under clear sky
(pvlib.clearsky.detect_clearsky) and under all skies, beside peer models on
the same steps: pvlib's Ineichen (Linke climatology), simplified Solis and
Haurwitz, Erbs, DISC and DIRINT for the all-sky split of the measured global,
Brutsaert (1975), Prata (1996) and Dilley & O'Brien (1998) for the long-wave
flux from the sky, and the ground at air temperature for the flux from below.

``python tools/validate_measured.py`` runs this part alone and writes the
section to build/validation-measured.md; tools/validate.py embeds it.
"""

from __future__ import annotations

import dataclasses
import importlib.metadata
import inspect
import pathlib
import subprocess
import sys
import tarfile
import time
import warnings
from typing import Any, Callable, Optional

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pvlib  # noqa: E402
from pvlib import iotools  # noqa: E402

from klimora import model as klimora_model  # noqa: E402
from klimora import quantities as Q  # noqa: E402
from klimora import ufuncs as U  # noqa: E402
from klimora.chain import SIGMA, Site, chain  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
DATA = ROOT / "build" / "validation-data"
PVLIB_VERSION = importlib.metadata.version("pvlib")
SDIST = DATA / f"pvlib-{PVLIB_VERSION}.tar.gz"
FILES = DATA / "files"

EPS = 0.97             # long-wave emissivity of the ground, as the chain's
DAY_ZENITH = 85.0      # steps with the sun at least 5 deg high
CLEAR_WINDOW = 10      # minutes, detect_clearsky's window
MAX_DIFFUSE_SHARE = 0.4  # of the global, on a clear step where the diffuse is measured
PLOT_POINTS = 3000     # at most this many points per series in a plot

# ---------------------------------------------------------------------------
# The files in pvlib's sdist (tests/data), measured and model-derived

#: file: (network, what it holds)
MEASURED_FILES = {
    "bsrn-pay0616.dat.gz": ("BSRN", "Payerne, June 2016, 1-min: global, direct, diffuse, "
                            "long-wave down and up, reflected short-wave, air temperature, "
                            "humidity, pressure"),
    "bsrn-lr0100-pay0616.dat": ("BSRN", "the same month, logical record 0100 only (the "
                                "first file holds it too; not used twice)"),
    "surfrad-slv16001.dat": ("SURFRAD", "Alamosa (San Luis Valley), 1 January 2016, 1-min: "
                             "global, direct, diffuse, long-wave down and up, upwelling "
                             "short-wave, air temperature, humidity, wind, pressure"),
    "midc_raw_20181018.txt": ("MIDC", "UAT (University of Arizona, Tucson), 18 October 2018, "
                              "1-min: global, direct, diffuse, air temperature, humidity, "
                              "wind, pressure"),
    "midc_raw_short_header_20191115.txt": ("MIDC", "UTPASRL (Edinburg, Texas), 15 November "
                                           "2019, 1-min: global, direct, diffuse, long-wave "
                                           "down; no air temperature or humidity"),
    "midc_20181014.txt": ("MIDC", "NWTC (M2 tower, Boulder County), 14 October 2018, 1-min: "
                          "global (PSP) and air temperature at 2, 50 and 80 m"),
    "SRML-day-EUPO1801.txt": ("SRML", "Eugene, Oregon, 1 January 2018, 1-min: global and "
                              "two direct normal instruments"),
    "CRNS0101-05-2019-AZ_Tucson_11_W.txt": ("USCRN", "Tucson 11 W, 1 January 2019, 4 "
                                            "five-minute rows: global, infrared surface "
                                            "temperature, air temperature, humidity, wind"),
    "CRN_with_problems.txt": ("USCRN", "Titusville 7 E, 6 July 2020, 2 five-minute rows "
                              "(a file of pvlib's reader tests)"),
    "abq19056.dat": ("SOLRAD", "Albuquerque, 25 February 2019, 4 one-minute rows near sunset"),
    "msn19056.dat": ("SOLRAD", "Madison, 25 February 2019, 4 one-minute rows after sunset"),
}
#: file: what it is; none of these is used for a figure
MODEL_FILES = {
    "723170TYA.CSV": "TMY3 (Greensboro): typical year, irradiance largely modelled",
    "703165TY.csv": "TMY3 (Sand Point, Alaska): typical year, irradiance largely modelled",
    "12839.tm2": "TMY2 (Miami): typical year, irradiance largely modelled",
    "NLD_Amsterdam062400_IWEC.epw": "EPW, IWEC typical year: irradiance modelled from cloud "
                                    "observations",
    "tmy_45.000_8.000_2005_2023.csv": "PVGIS typical year: satellite-derived",
    "pvgis_hourly_Timeseries_45.000_8.000_SA_30deg_0deg_2016_2016.csv":
        "PVGIS hourly: satellite-derived",
    "test_psm3_2017.csv": "NSRDB PSM3: satellite-derived",
    "test_psm4_2023.csv": "NSRDB PSM4: satellite-derived",
    "cams_radiation_1min_verbose.csv": "CAMS radiation service: satellite-derived",
    "cams_mcclear_1min_verbose.csv": "CAMS McClear: a clear-sky model",
    "BIRD_08_16_2012.csv": "Bird clear-sky model output",
    "detect_clearsky_data.csv": "a constructed series for detect_clearsky's tests",
}


def fetch_files() -> tuple[dict[str, pathlib.Path], list[str], list[str]]:
    """The measured files, extracted from pvlib's sdist into build/validation-data:
    (file name -> path, model-derived file names present, notes on what was skipped)."""
    skipped: list[str] = []
    if not SDIST.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        command = [sys.executable, "-m", "pip", "download", "--no-binary", ":all:",
                   "--no-deps", "--disable-pip-version-check", "--quiet",
                   f"pvlib=={PVLIB_VERSION}", "-d", str(DATA)]
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=900)
        except (OSError, subprocess.TimeoutExpired) as e:
            return {}, [], [f"pvlib's sdist could not be fetched ({e}); every measured file "
                            "was skipped"]
        if done.returncode != 0 or not SDIST.exists():
            last = (done.stderr.strip().splitlines() or ["no message"])[-1]
            return {}, [], [f"`pip download pvlib=={PVLIB_VERSION}` failed ({last}); every "
                            "measured file was skipped"]
    try:
        return extract(skipped)
    except (tarfile.TarError, OSError, EOFError) as e:
        SDIST.unlink(missing_ok=True)    # a broken download: fetched anew next time
        return {}, [], [f"pvlib's sdist could not be read ({e}); every measured file was "
                        "skipped"]


def extract(skipped: list[str]) -> tuple[dict[str, pathlib.Path], list[str], list[str]]:
    """The measured files out of the sdist (only those), and the names of the
    model-derived ones it holds."""
    paths: dict[str, pathlib.Path] = {}
    FILES.mkdir(parents=True, exist_ok=True)
    with tarfile.open(SDIST) as tar:
        members = {pathlib.PurePosixPath(m.name).name: m for m in tar.getmembers()
                   if ("/tests/data/" in m.name or "/pvlib/data/" in m.name) and m.isfile()}
        for name in MEASURED_FILES:
            member = members.get(name)
            if member is None:
                skipped.append(f"`{name}` is not in pvlib {PVLIB_VERSION}'s sdist")
                continue
            target = FILES / name
            if not target.exists() or target.stat().st_size != member.size:
                source = tar.extractfile(member)
                assert source is not None
                target.write_bytes(source.read())
            paths[name] = target
        models = [name for name in MODEL_FILES if name in members]
    return paths, models, skipped


# ---------------------------------------------------------------------------
# Stations: one reader per file

@dataclasses.dataclass
class Station:
    """One station's file, read: measurements on a UTC index of the file's own
    time stamps, and what the chain is told about the place."""

    key: str
    name: str
    network: str
    file: str
    latitude: float
    longitude: float
    height: float
    zone: float                 # the local standard time, hours east of UTC (for the local day)
    label: str                  # "start", "end" or "instant": what a time stamp marks
    label_source: str
    step: pd.Timedelta
    data: pd.DataFrame          # ghi dni dhi lwd lwu temp_air humidity wind pressure surface_ir
    position_source: str
    albedo: Optional[float] = None
    notes: list[str] = dataclasses.field(default_factory=list)

    @property
    def middle(self) -> pd.DatetimeIndex:
        """The middle of each averaging interval."""
        shift = {"start": 0.5, "end": -0.5, "instant": 0.0}[self.label]
        return pd.DatetimeIndex(self.data.index + shift * self.step)


def frame(index: pd.DatetimeIndex, **columns: Any) -> pd.DataFrame:
    """The measurements on a UTC index: every known column, NaN where absent."""
    names = ("ghi", "dni", "dhi", "lwd", "lwu", "temp_air", "humidity", "wind", "pressure",
             "surface_ir", "uw_solar")
    out = pd.DataFrame(index=index.tz_convert("UTC"))
    for name in names:
        value = columns.get(name)
        out[name] = np.nan if value is None else np.asarray(value, dtype=float)
    return out


def measured_albedo(data: pd.DataFrame, zenith: Any) -> Optional[float]:
    """Median of upwelling over global short-wave with the sun above 20 deg."""
    ok = (zenith < 70) & (data["ghi"] > 100) & np.isfinite(data["uw_solar"])
    if ok.sum() < 30:
        return None
    return float(np.clip((data["uw_solar"] / data["ghi"])[ok].median(), 0.0, 1.0))


def read_bsrn(path: pathlib.Path) -> Station:
    d, meta = iotools.read_bsrn(path, logical_records=("0100", "0300"))
    data = frame(d.index, ghi=d["ghi"], dni=d["dni"], dhi=d["dhi"], lwd=d["lwd"], lwu=d["lwu"],
                 temp_air=d["temp_air"], humidity=d["relative_humidity"],
                 pressure=d["pressure"], uw_solar=d["gri"])
    return Station("Payerne", "Payerne (MeteoSwiss)", "BSRN", path.name, meta["latitude"],
                   meta["longitude"], float(meta["altitude"]), 1.0, "start",
                   "BSRN: time labels mark the start of an interval (pvlib's read_bsrn)",
                   pd.Timedelta("1min"), data, "the file's header",
                   notes=["no wind in the file: the chain's default wind (2 m/s)"])


def read_surfrad(path: pathlib.Path) -> Station:
    d, meta = iotools.read_surfrad(path)
    data = frame(d.index, ghi=d["ghi"], dni=d["dni"], dhi=d["dhi"], lwd=d["dw_ir"],
                 lwu=d["uw_ir"], temp_air=d["temp_air"], humidity=d["relative_humidity"],
                 wind=d["wind_speed"], pressure=d["pressure"], uw_solar=d["uw_solar"])
    # the header gives the longitude as degrees west without a sign: Alamosa is at 105.9 W
    longitude = -abs(float(meta["longitude"]))
    station = Station("Alamosa", "Alamosa, San Luis Valley", "SURFRAD", path.name,
                      float(meta["latitude"]), longitude, float(meta["elevation"]), -7.0, "end",
                      "", pd.Timedelta("1min"), data,
                      "the file's header (longitude given without its sign: taken as west)")
    station.label_source = surfrad_label(d, station)
    return station


def surfrad_label(d: pd.DataFrame, station: Station) -> str:
    """Which instant the file's own zenith column belongs to: the median
    difference to SPA in the morning and in the afternoon balance only at
    that instant."""
    best = None
    for seconds in (-30, 0, 30):
        times = d.index + pd.Timedelta(seconds=seconds)
        spa = pvlib.solarposition.get_solarposition(times, station.latitude, station.longitude,
                                                    altitude=station.height)
        diff = d["solar_zenith"].to_numpy() - spa["zenith"].to_numpy()
        day = spa["zenith"].to_numpy() < DAY_ZENITH
        noon = np.argmin(spa["zenith"].to_numpy())
        am = np.nanmedian(diff[day & (np.arange(len(d)) < noon)])
        pm = np.nanmedian(diff[day & (np.arange(len(d)) > noon)])
        if best is None or abs(am - pm) < best[0]:
            best = (abs(am - pm), seconds, am, pm)
    assert best is not None
    return (f"SURFRAD 1-min means; the file's own zenith column matches NREL SPA at the time "
            f"stamp {best[1]:+d} s (morning and afternoon medians {best[2]:+.3f}° and "
            f"{best[3]:+.3f}°), so a stamp marks the end of its minute")


def read_midc_uat(path: pathlib.Path) -> Station:
    d = iotools.read_midc(path, raw_data=True)
    data = frame(d.index, ghi=d["Global Horiz (platform) [W/m^2]"],
                 dni=d["Direct Normal [W/m^2]"], dhi=d["Diffuse Horiz [W/m^2]"],
                 temp_air=d["Air Temperature [deg C]"], humidity=d["Rel Humidity [%]"],
                 wind=d["Avg Wind Speed @ 3m [m/s]"], pressure=d["Station Pressure [mBar]"])
    return Station("Tucson", "UAT, University of Arizona, Tucson", "MIDC", path.name,
                   32.2297, -110.9553, 786.0, -7.0, "instant",
                   "MIDC: not stated in the file; taken as the instant of the stamp (half a "
                   "minute moves the sun by at most 0.125°)", pd.Timedelta("1min"), data,
                   "not in the file: MIDC's site UAT (its columns are pvlib's map for UAT)")


def read_midc_utpasrl(path: pathlib.Path) -> Station:
    # the file has more cells per line than names in its header: index_col=False
    d = iotools.read_midc(path, raw_data=True, index_col=False)
    data = frame(d.index, ghi=d["Global Horizontal [W/m^2]"], dni=d["Direct Normal [W/m^2]"],
                 dhi=d["Diffuse Horizontal [W/m^2]"], lwd=d["Downwelling IR [W/m^2]"])
    return Station("Edinburg", "UTPASRL, Edinburg, Texas", "MIDC", path.name,
                   26.3059, -98.1716, 45.0, -6.0, "instant",
                   "MIDC: not stated in the file; taken as the instant of the stamp",
                   pd.Timedelta("1min"), data,
                   "not in the file: MIDC's site UTPASRL (its columns are pvlib's map for "
                   "UTPASRL)",
                   notes=["no air temperature or humidity (the only temperatures are of the "
                          "instruments): the chain's defaults (20 °C, 60 %); its long-wave "
                          "fluxes are not compared here"])


def read_midc_nwtc(path: pathlib.Path) -> Station:
    d = iotools.read_midc(path)
    data = frame(d.index, ghi=d["Global PSP [W/m^2]"], temp_air=d["Temperature @ 2m [deg C]"])
    return Station("NWTC", "NWTC M2 tower, Boulder County", "MIDC", path.name,
                   39.9106, -105.2347, 1855.0, -7.0, "instant",
                   "MIDC: not stated in the file; taken as the instant of the stamp",
                   pd.Timedelta("1min"), data,
                   "not in the file: MIDC's site NWTC (temperatures at 2, 50 and 80 m and a "
                   "PSP global are the M2 tower's columns in pvlib's map)",
                   notes=["no humidity or wind: the chain's defaults (60 %, 2 m/s)"])


def read_srml(path: pathlib.Path) -> Station:
    d = iotools.read_srml(path)
    data = frame(d.index, ghi=d["ghi_0"], dni=d["dni_0"])
    return Station("Eugene", "Eugene, University of Oregon", "SRML", path.name,
                   44.0467, -123.0743, 150.0, -8.0, "start",
                   "SRML stamps mark the end of a minute; pvlib's read_srml moves them back "
                   "by one interval, to its start", pd.Timedelta("1min"), data,
                   "not in the file: SRML's station EU (Eugene)",
                   notes=["no air temperature, humidity or wind: the chain's defaults"])


def read_crn(path: pathlib.Path) -> Station:
    d = iotools.read_crn(path)
    data = frame(d.index, ghi=d["ghi"], temp_air=d["temp_air"], humidity=d["relative_humidity"],
                 wind=d["wind_speed"], surface_ir=d["SURFACE_TEMPERATURE"])
    name = "Tucson 11 W" if "Tucson" in path.name else "Titusville 7 E"
    zone = -7.0 if "Tucson" in path.name else -5.0
    return Station(f"CRN {name}", name, "USCRN", path.name, float(d["latitude"].iloc[0]),
                   float(d["longitude"].iloc[0]), np.nan, zone, "end",
                   "USCRN: five-minute means labelled by the end of the interval (pvlib's "
                   "read_crn)", pd.Timedelta("5min"), data, "the file's rows")


def read_solrad(path: pathlib.Path) -> Station:
    d, meta = iotools.read_solrad(path)
    data = frame(d.index, ghi=d["ghi"], dni=d["dni"], dhi=d["dhi"],
                 lwd=d["dpir"] if "dpir" in d else None)
    return Station(f"SOLRAD {meta['station_name']}", meta["station_name"], "SOLRAD", path.name,
                   meta["latitude"], meta["longitude"], meta["altitude"], float(meta["TZ"]),
                   "end", "NOAA's format as SURFRAD's", pd.Timedelta("1min"), data,
                   "the file's header")


READERS: dict[str, Callable[[pathlib.Path], Station]] = {
    "bsrn-pay0616.dat.gz": read_bsrn,
    "surfrad-slv16001.dat": read_surfrad,
    "midc_raw_20181018.txt": read_midc_uat,
    "midc_raw_short_header_20191115.txt": read_midc_utpasrl,
    "midc_20181014.txt": read_midc_nwtc,
    "SRML-day-EUPO1801.txt": read_srml,
    "CRNS0101-05-2019-AZ_Tucson_11_W.txt": read_crn,
    "CRN_with_problems.txt": read_crn,
    "abq19056.dat": read_solrad,
    "msn19056.dat": read_solrad,
}
#: Files of a handful of rows: listed row by row, no statistics.
SHORT = ("CRNS0101-05-2019-AZ_Tucson_11_W.txt", "CRN_with_problems.txt", "abq19056.dat",
         "msn19056.dat")


# ---------------------------------------------------------------------------
# Peers

def vapour_pressure(temp_air: Any, humidity: Any) -> Any:
    """hPa, by the Magnus formula over water (as the chain forms it)."""
    return np.clip(humidity, 0, 100) / 100 * 6.112 * np.exp(17.62 * temp_air / (243.12 + temp_air))


def brutsaert(temp_air: Any, humidity: Any) -> Any:
    """Brutsaert (1975), Water Resour. Res. 11: eps = 1.24 (e/T)^(1/7), e in hPa."""
    t = temp_air + 273.15
    e = vapour_pressure(temp_air, humidity)
    return 1.24 * (e / t) ** (1 / 7) * SIGMA * t ** 4


def prata(temp_air: Any, humidity: Any) -> Any:
    """Prata (1996), Q. J. R. Meteorol. Soc. 122: w = 46.5 e/T (cm, e in hPa),
    eps = 1 - (1 + w) exp(-(1.2 + 3 w)^0.5)."""
    t = temp_air + 273.15
    w = 46.5 * vapour_pressure(temp_air, humidity) / t
    return (1 - (1 + w) * np.exp(-np.sqrt(1.2 + 3 * w))) * SIGMA * t ** 4


def dilley_obrien(temp_air: Any, humidity: Any) -> Any:
    """Dilley and O'Brien (1998), Q. J. R. Meteorol. Soc. 124:
    L = 59.38 + 113.7 (T/273.16)^6 + 96.96 sqrt(w/25), w = 4650 e/T (kg/m2, e in kPa)."""
    t = temp_air + 273.15
    w = 4650 * vapour_pressure(temp_air, humidity) / 10 / t
    return 59.38 + 113.7 * (t / 273.16) ** 6 + 96.96 * np.sqrt(w / 25)


def ground_at_air_temperature(temp_air: Any, lwd_measured: Any) -> Any:
    """Long-wave flux from a ground at air temperature, emissivity 0.97,
    reflecting 3 % of the measured flux from the sky."""
    return EPS * SIGMA * (temp_air + 273.15) ** 4 + (1 - EPS) * lwd_measured


def clear_sky_peers(station: Station, times: pd.DatetimeIndex, sun: pd.DataFrame,
                    pressure: Any) -> dict[str, pd.DataFrame]:
    """pvlib's clear-sky models as a user calls them: Ineichen with the Linke
    climatology, simplified Solis (precipitable water from the measured air
    temperature and humidity, Gueymard 1994, else 1 cm; aod700 0.1),
    Haurwitz."""
    place = pvlib.location.Location(station.latitude, station.longitude, tz="UTC",
                                    altitude=station.height)
    data = station.data
    if data["temp_air"].notna().any() and data["humidity"].notna().any():
        pw = pvlib.atmosphere.gueymard94_pw(data["temp_air"].to_numpy(),
                                            np.clip(data["humidity"].to_numpy(), 1, 100))
        pw = np.where(np.isfinite(pw), pw, 1.0)
    else:
        pw = 1.0
    out = {}
    out["Ineichen"] = place.get_clearsky(times, model="ineichen", solar_position=sun)
    out["simplified Solis"] = place.get_clearsky(times, model="simplified_solis",
                                                 solar_position=sun, precipitable_water=pw,
                                                 pressure=pressure)
    out["Haurwitz"] = place.get_clearsky(times, model="haurwitz", solar_position=sun)
    return out


def separation_peers(ghi: pd.Series, sun: pd.DataFrame, pressure: Any,
                     temp_dew: Any) -> dict[str, pd.DataFrame]:
    """Direct normal and diffuse from the measured global: Erbs, DISC, DIRINT."""
    z = sun["zenith"]
    times = ghi.index
    cosz = np.cos(np.radians(z.clip(upper=90)))
    out = {}
    erbs = pvlib.irradiance.erbs(ghi, z, times)
    out["Erbs"] = pd.DataFrame({"dni": erbs["dni"], "dhi": erbs["dhi"]})
    disc = pvlib.irradiance.disc(ghi, z, times, pressure=pressure)
    out["DISC"] = pd.DataFrame({"dni": disc["dni"], "dhi": ghi - disc["dni"] * cosz})
    dirint = pvlib.irradiance.dirint(ghi, z, times, pressure=pressure, temp_dew=temp_dew)
    out["DIRINT"] = pd.DataFrame({"dni": dirint, "dhi": ghi - dirint * cosz})
    return out


# ---------------------------------------------------------------------------
# The chain and its variants

PARAMETERS = inspect.signature(chain).parameters
SURFACES: dict[str, float] = dict(getattr(klimora_model, "SURFACES", {}))


@dataclasses.dataclass(frozen=True)
class Variant:
    """One way of running the chain: keyword arguments, changes to the weather,
    and whether the times are the raw stamps."""

    key: str
    label: str
    kwargs: tuple[tuple[str, Any], ...] = ()
    needs: tuple[str, ...] = ()          # parameters of chain() it needs
    raw_stamps: bool = False
    linke_cap: Optional[float] = None
    bowen: Optional[float] = None

    def available(self) -> bool:
        if self.linke_cap is not None and "linke" not in Q.WEATHER:
            return False
        return all(name in PARAMETERS for name in self.needs)


def variants() -> list[Variant]:
    out = [Variant("chain", "klimora chain (defaults)"),
           Variant("model", "chain, `turbidity=\"model\"` (the former default)",
                   (("turbidity", "model"),), ("turbidity",)),
           Variant("instants", "chain, interval stamps taken as instants", raw_stamps=True),
           Variant("time_label", "chain, `time_label` of the file on its own stamps",
                   needs=("time_label",), raw_stamps=True),
           Variant("climatology", "chain, `turbidity=\"climatology\"`",
                   (("turbidity", "climatology"),), ("turbidity",)),
           Variant("residual", "chain, `diffuse_model=\"residual\"`",
                   (("diffuse_model", "residual"),), ("diffuse_model",)),
           Variant("linke7", "chain, column `linke` = min(model turbidity, 7)", linke_cap=7.0),
           Variant("bowen1", "chain, `bowen` = 1 (the former default)", bowen=1.0)]
    for name in SURFACES:
        out.append(Variant(f"surface:{name}", f"chain, `surface=\"{name}\"` "
                           f"(Bowen {SURFACES[name]:g})", (("surface", name),), ("surface",)))
    if not SURFACES:
        out.append(Variant("surface:grass", "chain, `surface=\"grass\"`",
                           (("surface", "grass"),), ("surface",)))
    return out


def run_chain(station: Station, variant: Variant, weather: pd.DataFrame,
              default_linke: Optional[pd.Series] = None) -> pd.DataFrame:
    """The chain on the station's steps (index: the interval middles)."""
    w = weather.copy()
    kwargs = dict(variant.kwargs)
    if variant.raw_stamps:
        w.index = station.data.index
        if variant.key == "time_label":
            kwargs["time_label"] = station.label
            if station.label != "instant":    # instants have no interval, and refuse one
                kwargs["interval"] = station.step
    if variant.linke_cap is not None:
        assert default_linke is not None
        w["linke"] = np.minimum(default_linke.to_numpy(), variant.linke_cap)
    if variant.bowen is not None:
        w["bowen"] = variant.bowen
    height = station.height if np.isfinite(station.height) else 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = chain(w, site=Site(latitude=station.latitude, longitude=station.longitude,
                                    height=height, zone=station.zone), **kwargs)
    result.index = weather.index
    return result


def chain_weather(station: Station) -> pd.DataFrame:
    """What a user gives the chain from the file: the measured air temperature,
    humidity and wind where there are any, and the measured albedo."""
    d = station.data
    w = pd.DataFrame(index=station.middle)
    if d["temp_air"].notna().any():
        w["air_temp"] = d["temp_air"].to_numpy()
    if d["humidity"].notna().any():
        # the chain takes up to 105 % (fog) as 100; sensors' wilder values are clipped
        w["humidity"] = np.clip(d["humidity"].to_numpy(), 0.0, 105.0)
    if d["wind"].notna().any():
        w["wind"] = d["wind"].to_numpy()
    if station.albedo is not None:
        w["albedo"] = station.albedo
    return w


def cloud_from_clearness(ghi: Any, global_max: Any, zenith: Any) -> Any:
    """Cloud (oktas) that the chain's own Kasten-Czeplak reduction turns the
    clear-sky global into the measured one: G/Gmax = 1 - 0.75 (N/8)^3.4."""
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        k = np.clip(ghi / global_max, 0.25, 1.0)
        cloud = 8 * ((1 - k) / 0.75) ** (1 / 3.4)
    ok = (zenith < DAY_ZENITH) & (global_max > 20) & np.isfinite(ghi)
    return np.where(ok, np.clip(cloud, 0.0, 8.0), np.nan)


# ---------------------------------------------------------------------------
# One station: every model on every step

QUANTITIES = {   # key: (title, unit, measured column, chain column)
    "ghi": ("Global irradiance (GHI)", "W/m²", "ghi", "global"),
    "dni": ("Direct normal irradiance (DNI)", "W/m²", "dni", "direct"),
    "dhi": ("Diffuse irradiance (DHI)", "W/m²", "dhi", "diffuse"),
    "lwd": ("Long-wave flux from the sky (LW↓)", "W/m²", "lwd", "counter"),
    "lwu": ("Long-wave flux from the ground (LW↑)", "W/m²", "lwu", "longwave_up"),
    "ts": ("Radiometric surface temperature", "°C", "ts", "surface_temp"),
}
PLOT_NAMES = {"ghi": "ghi", "dni": "dni", "dhi": "dhi", "lwd": "longwave-down",
              "lwu": "longwave-up", "ts": "surface-temperature"}
#: the chain's variants shown for each quantity
VARIANTS_FOR = {
    "ghi": ("chain", "model", "instants", "time_label", "climatology", "linke7"),
    "dni": ("chain", "model", "instants", "time_label", "climatology", "residual", "linke7"),
    "dhi": ("chain", "model", "instants", "time_label", "climatology", "residual", "linke7"),
    "lwd": ("chain", "model", "climatology", "linke7"),
    "lwu": ("chain", "model", "climatology", "linke7", "bowen1", "surface:"),
    "ts": ("chain", "model", "climatology", "bowen1", "surface:"),
}
#: peers for each quantity, clear sky and all sky
PEERS = {
    ("ghi", "clear"): ("Ineichen", "simplified Solis", "Haurwitz"),
    ("dni", "clear"): ("Ineichen", "simplified Solis"),
    ("dhi", "clear"): ("Ineichen", "simplified Solis"),
    ("dni", "all"): ("Erbs", "DISC", "DIRINT"),
    ("dhi", "all"): ("Erbs", "DISC", "DIRINT"),
    ("lwd", "clear"): ("Brutsaert 1975", "Prata 1996", "Dilley & O'Brien 1998"),
    ("lwd", "all"): ("Brutsaert 1975", "Prata 1996", "Dilley & O'Brien 1998"),
    ("lwu", "clear"): ("ground at air temperature",),
    ("lwu", "all"): ("ground at air temperature",),
    ("ts", "clear"): ("ground at air temperature",),
    ("ts", "all"): ("ground at air temperature",),
}
PEER_LABELS = {
    "Ineichen": "pvlib Ineichen, Linke climatology",
    "simplified Solis": "pvlib simplified Solis",
    "Haurwitz": "pvlib Haurwitz",
    "Erbs": "pvlib Erbs (from measured GHI)",
    "DISC": "pvlib DISC (from measured GHI)",
    "DIRINT": "pvlib DIRINT (from measured GHI)",
    "Brutsaert 1975": "Brutsaert (1975)",
    "Prata 1996": "Prata (1996)",
    "Dilley & O'Brien 1998": "Dilley & O'Brien (1998)",
    "ground at air temperature": "ground at air temperature, ε 0.97",
}


@dataclasses.dataclass
class Evaluated:
    station: Station
    steps: pd.DataFrame                        # measured, sun, flags
    models: dict[tuple[str, str], pd.DataFrame]  # (quantity, sky) -> model columns
    clear_steps: int
    day_steps: int
    failed: dict[str, str]


def evaluate(station: Station, variant_list: list[Variant]) -> Evaluated:
    d = station.data
    times = station.middle
    sun = pvlib.solarposition.get_solarposition(times, station.latitude, station.longitude,
                                                altitude=station.height, method="nrel_numpy")
    zenith = sun["zenith"].to_numpy()
    pressure = (d["pressure"].to_numpy() * 100 if d["pressure"].notna().any()
                else pvlib.atmosphere.alt2pres(station.height))
    if station.albedo is None:
        station.albedo = measured_albedo(d, zenith)
    steps = pd.DataFrame(index=times)
    for name in ("ghi", "dni", "dhi", "lwd", "lwu", "temp_air", "humidity"):
        steps[name] = d[name].to_numpy()
    steps["zenith"] = zenith
    # radiometric surface temperature: measured (CRN), or from the measured
    # long-wave fluxes with emissivity 0.97
    ts = ((d["lwu"] - (1 - EPS) * d["lwd"]) / (EPS * SIGMA)) ** 0.25 - 273.15
    steps["ts"] = np.where(d["surface_ir"].notna(), d["surface_ir"], ts.to_numpy())

    peers = clear_sky_peers(station, times, sun, pressure)
    ghi_ref = peers["Ineichen"]["ghi"]
    day = zenith < DAY_ZENITH
    steps["day"] = day & np.isfinite(steps["ghi"])
    # a cloud over the sun can leave the global smooth: where the diffuse is
    # measured, a clear step also has a diffuse share of at most MAX_DIFFUSE_SHARE
    with np.errstate(invalid="ignore", divide="ignore"):
        share = (steps["dhi"] / steps["ghi"]).to_numpy()
    beam_seen = np.isnan(steps["dhi"].to_numpy()) | (share <= MAX_DIFFUSE_SHARE)
    steps["clear"] = detect_clear(steps["ghi"], ghi_ref, station) & steps["day"] & beam_seen

    temp_dew = None
    if d["temp_air"].notna().any() and d["humidity"].notna().any():
        temp_dew = dew_point(d["temp_air"].to_numpy(), d["humidity"].to_numpy())
    ghi_meas = steps["ghi"].clip(lower=0)
    split = separation_peers(ghi_meas, sun, pressure, temp_dew)

    models: dict[tuple[str, str], pd.DataFrame] = {}
    for q in QUANTITIES:
        for sky in ("clear", "all"):
            models[(q, sky)] = pd.DataFrame(index=times)

    # peers
    for name in ("Ineichen", "simplified Solis", "Haurwitz"):
        for q in ("ghi", "dni", "dhi"):
            if q in peers[name]:
                models[(q, "clear")][name] = peers[name][q].to_numpy()
    for name, values in split.items():
        for q in ("dni", "dhi"):
            models[(q, "all")][name] = values[q].to_numpy()
    t, rh = steps["temp_air"].to_numpy(), steps["humidity"].to_numpy()
    for name, f in (("Brutsaert 1975", brutsaert), ("Prata 1996", prata),
                    ("Dilley & O'Brien 1998", dilley_obrien)):
        for sky in ("clear", "all"):
            models[("lwd", sky)][name] = f(t, rh)
    for sky in ("clear", "all"):
        models[("lwu", sky)]["ground at air temperature"] = ground_at_air_temperature(
            t, steps["lwd"].to_numpy())
        models[("ts", sky)]["ground at air temperature"] = t

    # the chain
    weather = chain_weather(station)
    clear_weather = weather.assign(cloud=0.0)
    failed: dict[str, str] = {}
    # the model's own turbidity (LinkeTruebung as it is), which the capped
    # variant bounds and the turbidity finding counts
    model_variant = next((v for v in variant_list if v.key == "model" and v.available()),
                         variant_list[0])
    base = run_chain(station, model_variant, clear_weather)
    steps["linke"] = base["linke"].to_numpy()
    steps["linke_default"] = run_chain(station, variant_list[0], clear_weather)["linke"].to_numpy()
    steps["linke_beam"] = beam_turbidity(station, steps)
    for v in variant_list:
        if not v.available():
            continue
        try:
            clear = run_chain(station, v, clear_weather, base["linke"])
            cloud = cloud_from_clearness(steps["ghi"].to_numpy(), clear["global_max"].to_numpy(),
                                         zenith)
            allsky = run_chain(station, v, weather.assign(cloud=cloud, **{"global": ghi_meas}),
                               base["linke"])
        except (ValueError, TypeError) as e:
            failed[v.key] = " ".join(str(e).split())
            continue
        for q, (_, _, _, column) in QUANTITIES.items():
            models[(q, "clear")][v.key] = clear[column].to_numpy()
            models[(q, "all")][v.key] = allsky[column].to_numpy()
    return Evaluated(station, steps, models, int(steps["clear"].sum()), int(steps["day"].sum()),
                     failed)


def beam_turbidity(station: Station, steps: pd.DataFrame) -> Any:
    """The Linke turbidity that the measured direct normal irradiance gives in
    the module's own beam formula, E0 exp(-TL m (p/p0) dR): the ratio of
    log(E0/DNI) to log(E0/beam at TL 1), on the steps with the sun above 5 deg."""
    doy = np.asarray((station.middle + pd.Timedelta(hours=station.zone)).dayofyear, float)
    zenith = steps["zenith"].to_numpy()
    height = station.height if np.isfinite(station.height) else 0.0
    with np.errstate(invalid="ignore", divide="ignore"):
        air_mass = U.RelOptLuftmasse(zenith)
        top = U.MaxDirekteStrahlung(doy, height, zenith, 0.0, air_mass)
        one = U.MaxDirekteStrahlung(doy, height, zenith, 1.0, air_mass)
        tl = np.log(top / steps["dni"].to_numpy()) / np.log(top / one)
    return np.where((zenith < DAY_ZENITH) & np.isfinite(tl), tl, np.nan)


def dew_point(temp_air: Any, humidity: Any) -> Any:
    """Dew point (deg C) from the Magnus formula."""
    with np.errstate(invalid="ignore", divide="ignore"):
        g = np.log(np.clip(humidity, 1, 100) / 100) + 17.62 * temp_air / (243.12 + temp_air)
        return 243.12 * g / (17.62 - g)


def detect_clear(ghi: pd.Series, reference: pd.Series, station: Station) -> pd.Series:
    """pvlib.clearsky.detect_clearsky (Reno and Hansen 2016) on 1-min data,
    10-minute windows, against Ineichen with the Linke climatology; only for
    regular 1-min series."""
    if station.step != pd.Timedelta("1min") or len(ghi) < 3 * CLEAR_WINDOW:
        return pd.Series(False, index=ghi.index)
    measured = ghi.fillna(-999.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        flags = pvlib.clearsky.detect_clearsky(measured, reference, window_length=CLEAR_WINDOW)
    return pd.Series(np.asarray(flags, dtype=bool), index=ghi.index) & ghi.notna()


# ---------------------------------------------------------------------------
# Statistics

def statistics(measured: Any, modelled: Any) -> dict[str, float]:
    """n, bias, RMSE, and RMSE relative to the mean measured value."""
    m, x = np.asarray(measured, dtype=float), np.asarray(modelled, dtype=float)
    if not len(m):
        return dict(n=0, bias=np.nan, rmse=np.nan, rrmse=np.nan, mean=np.nan)
    err = x - m
    rmse = float(np.sqrt(np.mean(err ** 2)))
    mean = float(np.mean(m))
    return dict(n=len(m), bias=float(np.mean(err)), rmse=rmse,
                rrmse=rmse / mean if mean > 0 else np.nan, mean=mean)


def common_steps(ev: Evaluated, q: str, sky: str) -> pd.DataFrame:
    """The steps on which the measured value and every model of the table are
    finite: daylight steps, and clear ones for clear sky."""
    table = ev.models[(q, sky)]
    mask = ev.steps["clear"] if sky == "clear" else ev.steps["day"]
    measured = ev.steps[QUANTITIES[q][2]]
    out = table[mask.to_numpy()].copy()
    out.insert(0, "measured", measured[mask.to_numpy()].to_numpy())
    return out.dropna()


def median_peer(stats: dict[str, dict[str, float]], peers: tuple[str, ...]) -> dict[str, float]:
    got = [stats[p] for p in peers if p in stats]
    if not got:
        return dict(n=0, bias=np.nan, rmse=np.nan, rrmse=np.nan, mean=np.nan)
    return {k: float(np.median([g[k] for g in got])) for k in got[0]}


# ---------------------------------------------------------------------------
# Tables and plots

def fmt(x: float, digits: int = 1) -> str:
    return "–" if x is None or not np.isfinite(x) else f"{x:.{digits}f}"


def signed(x: float, digits: int = 1) -> str:
    return "–" if x is None or not np.isfinite(x) else f"{x:+.{digits}f}"


def percent(x: float) -> str:
    return "–" if x is None or not np.isfinite(x) else f"{100 * x:.1f} %"


def md_table(header: list[str], rows: list[list[str]], align: str = "") -> str:
    align = align or "l" + "r" * (len(header) - 1)
    marks = {"l": "---", "r": "---:"}
    lines = ["| " + " | ".join(header) + " |",
             "| " + " | ".join(marks[a] for a in align) + " |"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def model_keys(q: str, sky: str, frames: list[pd.DataFrame]) -> list[str]:
    """The table's rows: the chain's variants for the quantity that ran, then the peers."""
    present = set().union(*(f.columns for f in frames)) if frames else set()
    keys = []
    for k in VARIANTS_FOR[q]:
        if k.endswith(":"):
            keys += sorted((c for c in present if c.startswith(k)),
                           key=lambda c: SURFACES.get(c.split(":")[1], 0))
        elif k in present:
            keys.append(k)
    keys += [p for p in PEERS.get((q, sky), ()) if p in present]
    return keys


@dataclasses.dataclass
class QuantityResult:
    q: str
    sky: str
    keys: list[str]
    pooled: dict[str, dict[str, float]]
    per_station: dict[str, dict[str, dict[str, float]]]   # station -> key -> stats
    points: dict[str, pd.DataFrame]                        # station -> common steps


def quantity_result(evaluated: list[Evaluated], q: str, sky: str) -> Optional[QuantityResult]:
    """Statistics of one quantity under one sky, per station and pooled; each
    station's steps are those where every model of the table is finite."""
    per: dict[str, pd.DataFrame] = {}
    for ev in evaluated:
        if ev.steps[QUANTITIES[q][2]].notna().sum() == 0:
            continue
        keys = model_keys(q, sky, [ev.models[(q, sky)]])
        if not keys or not any(k in PEERS.get((q, sky), ()) for k in keys):
            continue
        steps = common_steps(ev, q, sky)[["measured"] + keys]
        if len(steps) >= 10:
            per[ev.station.key] = steps
    if not per:
        return None
    keys = model_keys(q, sky, list(per.values()))
    keys = [k for k in keys if all(k in f for f in per.values())] + \
        [k for k in keys if not all(k in f for f in per.values())]
    per_station = {name: {k: statistics(f["measured"], f[k]) for k in keys if k in f}
                   for name, f in per.items()}
    pooled_keys = [k for k in keys if all(k in f for f in per.values())]
    everything = pd.concat([f[["measured"] + pooled_keys] for f in per.values()])
    pooled = {k: statistics(everything["measured"], everything[k]) for k in pooled_keys}
    return QuantityResult(q, sky, keys, pooled, per_station, per)


def label_of(key: str, labels: dict[str, str]) -> str:
    return labels.get(key) or PEER_LABELS.get(key, key)


def quantity_table(r: QuantityResult, labels: dict[str, str]) -> str:
    relative = r.q != "ts"
    stations = list(r.per_station)
    header = ["model", "steps", "bias", "RMSE"] + (["rRMSE"] if relative else [])
    header += [f"{s}: {'rRMSE' if relative else 'RMSE'}" for s in stations]
    rows = []
    peers = PEERS.get((r.q, r.sky), ())
    median_row_done = False
    for k in r.keys:
        if k in peers and not median_row_done:
            rows.append(median_row(r, peers, stations, relative))
            median_row_done = True
        p = r.pooled.get(k)
        row = [label_of(k, labels), str(p["n"]) if p else "–",
               signed(p["bias"]) if p else "–", fmt(p["rmse"]) if p else "–"]
        if relative:
            row.append(percent(p["rrmse"]) if p else "–")
        for s in stations:
            st = r.per_station[s].get(k)
            row.append("–" if st is None else (percent(st["rrmse"]) if relative
                                               else fmt(st["rmse"])))
        rows.append(row)
    return md_table(header, rows)


def median_row(r: QuantityResult, peers: tuple[str, ...], stations: list[str],
               relative: bool) -> list[str]:
    m = median_peer(r.pooled, peers)
    row = ["**median of the peers**", str(int(m["n"])) if m["n"] else "–", signed(m["bias"]),
           fmt(m["rmse"])]
    if relative:
        row.append(percent(m["rrmse"]))
    for s in stations:
        ms = median_peer(r.per_station[s], peers)
        row.append(percent(ms["rrmse"]) if relative else fmt(ms["rmse"]))
    return row


def steps_line(r: QuantityResult) -> str:
    return ", ".join(f"{s} {len(f)}" for s, f in r.points.items())


def plot_quantity(q: str, results: dict[str, Optional[QuantityResult]]) -> Optional[str]:
    """Measured against modelled, clear sky left and all sky right: the chain,
    the chain with the turbidity climatology, and the first peer."""
    panels = [(sky, results.get(sky)) for sky in ("clear", "all") if results.get(sky)]
    if not panels:
        return None
    title, unit = QUANTITIES[q][0], QUANTITIES[q][1]
    fig, axes = plt.subplots(1, len(panels), figsize=(4.2 * len(panels), 3.6), squeeze=False)
    rng = np.random.default_rng(1)
    for ax, (sky, r) in zip(axes[0], panels):
        assert r is not None
        data = pd.concat(r.points.values())
        peer = next((p for p in PEERS.get((q, sky), ()) if p in data), None)
        series = [(peer, PEER_LABELS.get(peer or "", ""), "0.55")] if peer else []
        if q == "dhi":
            series.append(("residual", "chain, diffuse_model=\"residual\"", "C2"))
        series += [("climatology", "chain, turbidity=\"climatology\"", "C1"),
                   ("chain", "klimora chain (defaults)", "C0")]
        lo, hi = np.nanmin(data["measured"]), np.nanmax(data["measured"])
        for key, name, colour in series:
            if key not in data:
                continue
            d = data[["measured", key]].dropna()
            if len(d) > PLOT_POINTS:
                d = d.iloc[np.sort(rng.choice(len(d), PLOT_POINTS, replace=False))]
            ax.plot(d["measured"], d[key], ".", ms=1.5, alpha=0.5, color=colour, label=name)
            lo, hi = min(lo, d[key].min()), max(hi, d[key].max())
        ax.plot([lo, hi], [lo, hi], color="k", lw=0.6)
        ax.set_title(f"{'clear sky' if sky == 'clear' else 'all sky, daylight'}", fontsize=9)
        ax.set_xlabel(f"measured ({unit})", fontsize=8)
        ax.set_ylabel(f"modelled ({unit})", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=6, markerscale=5, loc="upper left")
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    name = f"validation-measured-{PLOT_NAMES[q]}.png"
    fig.savefig(DOCS / name, dpi=72)
    plt.close(fig)
    return name


# ---------------------------------------------------------------------------
# Targets

TARGET_DEFAULT = ("ghi", "dni", "dhi", "lwd", "lwu")
TARGET_CLIMATOLOGY = ("ghi", "dni", "dhi", "lwd", "lwu")


def target_rows(clear: dict[str, Optional[QuantityResult]],
                unavailable: dict[str, str]) -> tuple[list[list[str]], list[bool]]:
    rows, verdicts = [], []
    for key, quantities, what in (("chain", TARGET_DEFAULT, "defaults"),
                                  ("climatology", TARGET_CLIMATOLOGY,
                                   "`turbidity=\"climatology\"`")):
        for q in quantities:
            r = clear.get(q)
            name = QUANTITIES[q][0]
            if r is None:
                rows.append([name, what, "–", "–", "no measured clear-sky steps", "–"])
                continue
            if key != "chain" and key in unavailable:
                rows.append([name, what, "–", "–", f"cannot be judged: {unavailable[key]}",
                             "–"])
                continue
            peers = PEERS[(q, "clear")]
            mine = r.pooled.get(key, {}).get("rrmse", np.nan)
            theirs = median_peer(r.pooled, peers)["rrmse"]
            met = bool(np.isfinite(mine) and mine <= theirs)
            verdicts.append(met)
            per = []
            for s, stats in r.per_station.items():
                if key in stats:
                    ok = stats[key]["rrmse"] <= median_peer(stats, peers)["rrmse"]
                    per.append(f"{s} {'yes' if ok else 'no'}")
            rows.append([name, what, percent(mine), percent(theirs),
                         "**met**" if met else "**missed**", ", ".join(per)])
    return rows, verdicts


def default_targets(clear: dict[str, Optional[QuantityResult]]) -> tuple[str, list[bool]]:
    """The defaults' turbidity against the measured clear sky: pooled GHI and
    DNI no worse than the best peer, DHI no worse than `turbidity="model"`
    (the former default), and no station worse than the peers' median on GHI
    or DNI."""
    rows, verdicts = [], []
    for q in ("ghi", "dni", "dhi"):
        r = clear.get(q)
        if r is None or "chain" not in r.pooled:
            continue
        peers = PEERS[(q, "clear")]
        mine = r.pooled["chain"]["rrmse"]
        if q == "dhi":
            if "model" not in r.pooled:
                continue
            goal, against = r.pooled["model"]["rrmse"], "`turbidity=\"model\"`"
        else:
            best = min((p for p in peers if p in r.pooled), key=lambda p: r.pooled[p]["rrmse"])
            goal, against = r.pooled[best]["rrmse"], f"best peer ({PEER_LABELS[best]})"
        met = bool(mine <= goal)
        per = []
        for st, stats in r.per_station.items():
            median = median_peer(stats, peers)["rrmse"]
            ok = stats["chain"]["rrmse"] <= median
            if q != "dhi":
                met = met and bool(ok)
            per.append(f"{st} {percent(stats['chain']['rrmse'])} ≤ {percent(median)}: "
                       f"{'yes' if ok else 'no'}")
        verdicts.append(met)
        rows.append([QUANTITIES[q][0], percent(mine), f"{percent(goal)}, {against}",
                     "**met**" if met else "**missed**", "; ".join(per)])
    table = md_table(["quantity", "defaults, pooled rRMSE", "no worse than", "target",
                      "per station: defaults ≤ peers' median?"], rows, "lrlll")
    return table, verdicts


# ---------------------------------------------------------------------------
# A humid typical year: the turbidity and the mean radiant temperature

TMY_FILE = "723170TYA.CSV"


def humid_year() -> str:
    """Greensboro's TMY3 year (pvlib's data) through the chain from its
    weather alone, with each turbidity: the hours beyond 7 and what the
    bound does to the beam and the mean radiant temperature."""
    path = pathlib.Path(pvlib.__file__).parent / "data" / TMY_FILE
    if not path.exists():
        return f"pvlib {PVLIB_VERSION} does not ship `{TMY_FILE}`: not run."
    tmy, meta = iotools.read_tmy3(path, map_variables=True, coerce_year=2025)
    weather = pd.DataFrame({"air_temp": tmy["temp_air"], "humidity": tmy["relative_humidity"],
                            "wind": tmy["wind_speed"], "cloud": tmy["TotCld (tenths)"] * 0.8})
    site = Site(latitude=meta["latitude"], longitude=meta["longitude"],
                height=meta["altitude"], zone=meta["TZ"])
    runs: dict[str, pd.DataFrame] = {}
    for key in ("bounded", "model", "climatology"):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                runs[key] = chain(weather, site=site, time_label="end", interval="1h",
                                  turbidity=key)
        except (ValueError, ImportError) as e:
            return f"The humid year could not be run with `turbidity=\"{key}\"`: {e}."
    beyond = (runs["model"]["linke"] > klimora_model_cap()).to_numpy()
    sun = (runs["model"]["zenith"] < 90).to_numpy()
    clearish = (weather["cloud"] <= 2).to_numpy()
    rows = []
    for key, run in runs.items():
        over = int((run["linke"] > klimora_model_cap()).sum())
        on = beyond & sun
        rows.append([f"`turbidity=\"{key}\"`" + (" (default)" if key == "bounded" else ""),
                     str(over), fmt(run["linke"][on].median(), 2),
                     fmt(run["global"][on].mean()), fmt(run["direct"][on].mean()),
                     fmt(run["mrt"][on].mean()), fmt(run["mrt"][on & clearish].mean()),
                     fmt(run["mrt"][sun].mean())])
    table = md_table(["turbidity", "hours with TL > 7", "TL, median", "global, mean (W/m²)",
                      "direct normal, mean (W/m²)", "MRT, mean (°C)",
                      "MRT, mean, cloud ≤ 2 oktas (°C)",
                      "MRT, mean of all daylight hours (°C)"],
                     rows, "lrrrrrrr")
    change = (runs["bounded"]["mrt"] - runs["model"]["mrt"])[beyond & sun]
    lines = [
        f"Greensboro, North Carolina ({meta['latitude']:.2f}° N, "
        f"{-meta['longitude']:.2f}° W, {meta['altitude']:.0f} m), pvlib's TMY3 file "
        f"`{TMY_FILE}`: a typical year of a humid subtropical climate. The chain is run as a "
        "user without irradiance would run it, from the file's air temperature, humidity, "
        "wind and total cloud (tenths × 0.8 as oktas) alone, hourly means (`time_label=\"end\"`, "
        f"`interval=\"1h\"`), once with each turbidity. {int(beyond.sum())} of its "
        f"{len(weather)} hours have a model turbidity above {klimora_model_cap():g}, "
        f"{int((beyond & sun).sum())} of them with the sun up; the columns from the third on "
        "are over those daylit hours (the turbidity's a median, the others means), the last "
        "over every daylit hour of the year.",
        "",
        table,
        "",
        f"On those {int((beyond & sun).sum())} hours the default's mean radiant temperature "
        f"is {signed(change.median())} K from `turbidity=\"model\"`'s (median; 90th "
        f"percentile {signed(change.quantile(0.9))} K, at most {signed(change.max())} K): "
        "the beam that the humidity branch took from a clear humid morning is back. "
        + (f"On the other {int((~beyond).sum())} hours the two runs are the same, bit for bit."
           if runs["bounded"][~beyond].equals(runs["model"][~beyond]) else
           f"On the other {int((~beyond).sum())} hours the two runs differ too."),
    ]
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The short files, row by row

def short_rows(stations: list[Station]) -> str:
    rows = []
    for st in stations:
        times = st.middle
        sun = pvlib.solarposition.get_solarposition(times, st.latitude, st.longitude)
        weather = chain_weather(st)
        clear = run_chain(st, Variant("chain", ""), weather.assign(cloud=0.0))
        cloud = cloud_from_clearness(st.data["ghi"].to_numpy(), clear["global_max"].to_numpy(),
                                     sun["zenith"].to_numpy())
        given = weather.assign(cloud=cloud, **{"global": st.data["ghi"].clip(lower=0).to_numpy()})
        allsky = run_chain(st, Variant("chain", ""), given)
        for i, t in enumerate(st.data.index):
            row = st.data.iloc[i]
            rows.append([st.key, f"{t:%Y-%m-%d %H:%M} UTC", fmt(sun['zenith'].iloc[i]),
                         fmt(row["ghi"], 0), fmt(clear["global"].iloc[i], 0),
                         fmt(row["temp_air"]), fmt(row["surface_ir"]),
                         fmt(allsky["surface_temp"].iloc[i]) if np.isfinite(row["temp_air"])
                         else "–"])
    return md_table(["file", "stamp", "zenith (deg)", "GHI measured", "chain GHI, 0 oktas",
                     "air (°C)", "surface IR (°C)", "chain surface (°C), measured GHI given"],
                    rows)


# ---------------------------------------------------------------------------
# The section

LITERATURE = """\
**The mean radiant temperature against measurements.** The files above hold no
mean radiant temperature, and none of pvlib's samples does, so the chain's `mrt`
is not compared here. What is known from the literature: the reference outdoors
is the six-direction integral radiation measurement (three pairs of pyranometers
and pyrgeometers, weighted by angular factors of a standing person; Höppe 1992,
*Wetter und Leben* 44),
against which globe thermometers are judged. Thorsson, Lindberg, Eliasson and
Holmer (2007, *International Journal of Climatology* 27, 1983–1993) compared it
with a 38 mm flat grey globe thermometer and RayMan 1.2 in Göteborg: the globe
agreed once its mean convection coefficient was refitted and 5-minute means were
used, and RayMan underestimated the mean radiant temperature in the morning and
evening in July and all day in October. Vanos, Rykaczewski, Middel, Vecellio,
Brown and Gillespie (2021, *International Journal of Biometeorology*) compared
globe and cylinder thermometers with integral radiation measurements on 58
full-sun days in Tempe, Arizona: without a correction for the uneven heating of
the sensor's surface the deviations reached ±15–20 °C; with it the tan cylinder
went from 1.9 ± 6.2 °C to −0.1 ± 4.4 °C. Di Napoli, Hogan and Pappenberger
(2020, *International Journal of Biometeorology* 64, 1233–1245) computed the
mean radiant temperature from ERA5's radiation fluxes by the same half-sky,
half-ground budget that thermofeel implements (section 4) and found, against
values from measured fluxes at radiation monitoring stations, a coefficient of
determination above 0.88 and an average bias of 0.42 °C. ISO 7726 asks for ±5 K
outdoors (as cited by Staiger and Matzarakis 2020, *Atmosphere* 11, 805). Beyond
these figures this page does not claim how close a chain of this kind comes to a
measured mean radiant temperature: that would need a six-direction or globe
record beside the fluxes, which none of these files has."""


def section() -> str:
    """Section 5 of docs/validation.md, and the plots it shows."""
    start = time.perf_counter()
    paths, model_files, skipped = fetch_files()
    variant_list = variants()
    unavailable = {v.key: "not yet available in this klimora" for v in variant_list
                   if not v.available()}
    stations: list[Station] = []
    short: list[Station] = []
    for name, reader in READERS.items():
        if name not in paths:
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                st = reader(paths[name])
        except Exception as e:   # a file that pvlib cannot read is named, not fatal
            skipped.append(f"`{name}` could not be read: {type(e).__name__}: {e}")
            continue
        (short if name in SHORT else stations).append(st)

    for note in skipped:
        print(f"validate_measured: skipped: {note}", file=sys.stderr)
    for v in variant_list:
        if not v.available():
            print(f"validate_measured: not yet available: {v.label}", file=sys.stderr)
    evaluated = [evaluate(st, variant_list) for st in stations]
    failed = {k: f"{v} ({ev.station.key})" for ev in evaluated for k, v in ev.failed.items()}
    labels = {v.key: v.label for v in variant_list}

    results: dict[str, dict[str, Optional[QuantityResult]]] = {}
    for q in QUANTITIES:
        results[q] = {sky: quantity_result(evaluated, q, sky) for sky in ("clear", "all")}
        if q == "ghi":
            results[q]["all"] = None      # circular: the chain is given the measured global
    plots = {q: plot_quantity(q, results[q]) for q in QUANTITIES}
    for old in DOCS.glob("validation-measured-*.png"):   # plots of an earlier run not made now
        if old.name not in plots.values():
            old.unlink()
    seconds = time.perf_counter() - start
    return page(evaluated, short, results, plots, labels, unavailable, failed, skipped,
                model_files, seconds)


def period(st: Station) -> str:
    """The file's first and last stamp, in UTC."""
    first, last = st.data.index[0], st.data.index[-1]
    return f"{first:%Y-%m-%d %H:%M} – {last:%Y-%m-%d %H:%M}"


def station_table(evaluated: list[Evaluated]) -> str:
    rows = []
    for ev in evaluated:
        st = ev.station
        d = st.data
        have = [q for q in ("ghi", "dni", "dhi", "lwd", "lwu") if d[q].notna().any()]
        met = [n for n, c in (("air temperature", "temp_air"), ("humidity", "humidity"),
                              ("wind", "wind")) if d[c].notna().any()]
        rows.append([f"{st.key} ({st.network})", f"`{st.file}`",
                     period(st),
                     f"{abs(st.latitude):.3f}° {'N' if st.latitude >= 0 else 'S'}, "
                     f"{abs(st.longitude):.3f}° {'E' if st.longitude >= 0 else 'W'}, "
                     f"{st.height:.0f} m, UTC{st.zone:+g}",
                     st.position_source, st.label,
                     ", ".join(have), ", ".join(met) or "none",
                     fmt(st.albedo, 2) if st.albedo is not None else "0.2 (default)",
                     str(ev.day_steps), str(ev.clear_steps)])
    return md_table(["station", "file", "stamps (UTC)", "position, height, zone", "position from",
                     "stamp marks", "measured fluxes", "measured weather given",
                     "albedo given", "daylight steps", "clear-sky steps"], rows,
                    "llllllllrrr")


def page(evaluated: list[Evaluated], short: list[Station],
         results: dict[str, dict[str, Optional[QuantityResult]]], plots: dict[str, Optional[str]],
         labels: dict[str, str], unavailable: dict[str, str], failed: dict[str, str],
         skipped: list[str], model_files: list[str], seconds: float) -> str:
    out = ["## 5. Against measured radiation", ""]
    out.append(
        f"The measurements are the station files in pvlib {PVLIB_VERSION}'s source "
        "distribution (`tests/data`), fetched by `pip download --no-binary :all: --no-deps "
        f"pvlib=={PVLIB_VERSION}` into `build/validation-data` and read with `pvlib.iotools`. "
        "They are small samples — one month at Payerne, single days elsewhere — kept by pvlib "
        "to test its readers, so the figures below are a check on real skies, not a "
        "climatological verdict.")
    out.append("")
    if skipped:
        out.append("**Skipped in this run:** " + "; ".join(skipped) + ".")
        out.append("")
    if not evaluated:
        out.append("No measured file could be had in this run, so there are no figures.")
        out.append("")
        out.append(LITERATURE)
        return "\n".join(out) + "\n"

    out.append("**Which files are measurements.** Measured at a station: "
               + ", ".join(f"`{n}` ({MEASURED_FILES[n][0]})" for n in MEASURED_FILES)
               + ". The sdist's other irradiance files are model-derived and are not used: "
               + "; ".join(f"`{n}` ({MODEL_FILES[n]})" for n in model_files) + ".")
    out.append("")
    out.append(station_table(evaluated))
    out.append("")
    for ev in evaluated:
        st = ev.station
        notes = [st.label_source] + st.notes
        out.append(f"- **{st.key}**: " + "; ".join(notes) + ".")
    out.append(
        f"- {', '.join(s.key for s in short)}: a handful of rows each (listed at the end of the "
        "section), too few for statistics.")
    out.append("")
    out.append(
        "**How the chain is run.** As a user would: `chain(frame, site=Site(latitude, "
        "longitude, height, zone))` on a DataFrame indexed by UTC times with the file's "
        "measured `air_temp`, `humidity` (above 100 % taken as 100) and `wind` where it has "
        "them, and the station's measured short-wave albedo (median of upwelling over global "
        "with the sun above 20°) as `albedo` where it is measured; what a file lacks takes the "
        "chain's defaults, as listed. `zone` is the local standard time (it sets the local "
        "day). The times are the middle of each averaging interval (stamp + half a minute for "
        "interval starts, − half for interval ends); the peers get the same times, and their "
        "sun is NREL SPA's.")
    out.append("")
    out.append(
        "- **Clear sky**: `cloud` = 0. The clear-sky steps are those that "
        f"`pvlib.clearsky.detect_clearsky` (Reno and Hansen 2016, *Renewable Energy* 90, "
        f"520–531; {CLEAR_WINDOW}-minute windows, "
        "its default thresholds) finds clear in the measured 1-minute global, against "
        "Ineichen's global with the Linke climatology, with the sun at least 5° high, and, "
        "where the diffuse is measured, a diffuse share of the global of at most "
        f"{MAX_DIFFUSE_SHARE:g} (a cloud over the sun can leave the global smooth while the "
        "beam is gone: at Payerne the global alone passed steps with no direct beam). The rule "
        "judges the shape and the level of the measured curve, and its reference is one of the "
        "peers: steps where the sky is clear but Ineichen is far off are left out, which "
        "favours Ineichen a little. The long-wave and surface figures under clear sky are "
        "therefore on clear daylight steps.")
    out.append(
        "- **All sky** (daylight steps, sun at least 5° high): the measured global is given to "
        "the chain as `global`, and `cloud` is worked out from the measured clearness by "
        "inverting the chain's own cloud reduction, G/G_max = 1 − 0.75 (N/8)^3.4 (G_max the "
        "chain's clear-sky global on the step, N clipped to 0–8). The global is then the "
        "measured one, so it is not compared (it would be circular); the direct and the "
        "diffuse are compared with Erbs, DISC and DIRINT, which split the same measured global; "
        "the long-wave fluxes and the surface temperature take that cloud. The long-wave peers "
        "are clear-sky formulas with no cloud term (none of the files reports cloud): under "
        "cloud they are expected to fall short, and the all-sky long-wave rows show how much a "
        "cloud estimate from the short-wave is worth, not a fair contest.")
    out.append("")
    out.append(
        "**Peers.** `pvlib.location.Location(...).get_clearsky` with `ineichen` (Linke turbidity "
        "from `pvlib.clearsky.lookup_linke_turbidity`, the monthly climatology of Remund et al. "
        "2003), `simplified_solis` (aod700 0.1; precipitable water from the measured air "
        "temperature and humidity by `gueymard94_pw`, else 1 cm; the measured pressure where "
        "there is one) and `haurwitz` (global only). Long-wave down, written out here from the "
        "published formulas with the chain's Magnus vapour pressure: Brutsaert (1975, *Water "
        "Resources Research* 11, 742–744), ε = 1.24 (e/T)^(1/7); Prata (1996, *Quarterly "
        "Journal of the Royal Meteorological Society* 122, 1127–1151), w = 46.5 e/T, "
        "ε = 1 − (1 + w) exp(−(1.2 + 3w)^½); Dilley and O'Brien (1998, *Quarterly Journal of "
        "the Royal Meteorological Society* 124, 1391–1401), L = 59.38 + 113.7 (T/273.16)^6 + "
        "96.96 (w/25)^½, w = 4650 e/T (e in kPa). Long-wave up: the ground at air temperature, "
        "0.97 σ T_air⁴ + 0.03 L↓ (the measured L↓: the most the peer can be given). Surface "
        "temperature: the air temperature.")
    out.append("")
    out.append(
        "**Statistics.** On the steps where the measured value and every row of a table are "
        "finite (each station's steps, and all stations pooled): bias (model − measured), RMSE, "
        "and relative RMSE = RMSE / mean measured value. The peers' median is the median of "
        "their figures on those steps. Where the measured mean is small (Eugene's overcast "
        "day, with a few W/m² of direct beam on average) the relative RMSE is large by "
        "construction; the pooled figures are dominated by Payerne's month. The surface "
        "temperature is measured only by CRN's infrared sensor (in the short files); at "
        "Payerne and Alamosa it is the radiometric temperature of the measured long-wave "
        "fluxes, ((L↑ − 0.03 L↓)/(0.97 σ))^¼.")
    out.append("")
    variant_lines = []
    for key in ("model", "instants", "time_label", "climatology", "residual", "linke7",
                "bowen1"):
        state = ("not yet available in this klimora" if key in unavailable
                 else f"failed: {failed[key]}" if key in failed else "run")
        variant_lines.append(f"{labels[key]}: {state}")
    surfaces = [k for k in labels if k.startswith("surface:")]
    state = ("not yet available in this klimora" if any(k in unavailable for k in surfaces)
             else "run for " + ", ".join(k.split(':')[1] for k in surfaces))
    variant_lines.append(f"`surface=` Bowen-ratio shortcut: {state}")
    out.append("**Variants of the chain** (rows of the tables): " + "; ".join(variant_lines)
               + ". The time-label variant gives the file's raw stamps with "
               "`time_label=\"start\"` or `\"end\"` as the file has them; for files whose "
               "stamps are instants it is the same as the default. The capped-turbidity variant "
               "gives a column `linke` of the model's turbidity (`turbidity=\"model\"`), at "
               "most 7 (a user's `linke` replaces the worked-out turbidity). The defaults take "
               "`turbidity=\"bounded\"`: LinkeTruebung where it is at most 7, its dry-air "
               "value of the day and hemisphere where the humidity branch goes beyond (the "
               "choice is argued under 5.1 and in 5.7).")
    check = time_label_check(evaluated)
    if check:
        out.append("")
        out.append(check)
    out.append("")

    for q, (title, unit, _, _) in QUANTITIES.items():
        r_clear, r_all = results[q]["clear"], results[q]["all"]
        if r_clear is None and r_all is None:
            continue
        out.append(f"### 5.{list(QUANTITIES).index(q) + 1} {title}")
        out.append("")
        if plots[q]:
            out.append(f"![{title}: modelled against measured]({plots[q]})")
            out.append("")
        for sky, r in (("clear", r_clear), ("all", r_all)):
            if r is None:
                if q == "ghi" and sky == "all":
                    out.append("All sky: not compared — the chain is given the measured global.")
                    out.append("")
                continue
            kind = "Clear sky" if sky == "clear" else "All sky (daylight)"
            out.append(f"{kind}, {unit}; steps: {steps_line(r)} "
                       f"({sum(len(f) for f in r.points.values())} pooled).")
            out.append("")
            out.append(quantity_table(r, labels))
            out.append("")
        out.append(quantity_remarks(q, results[q]))
        out.append("")
        extra = {"ghi": turbidity_finding, "dhi": diffuse_finding}.get(q)
        if extra:
            text = extra(r_clear, evaluated)
            if text:
                out.append(text)
                out.append("")

    out.append("### 5.7 The targets")
    out.append("")
    clear = {q: results[q]["clear"] for q in QUANTITIES}
    rows, verdicts = target_rows(clear, unavailable)
    out.append("On the measured clear-sky steps, the chain's relative RMSE against the median "
               "of the peers' for the same quantity on the same steps (all stations pooled; "
               "per station in the last column):")
    out.append("")
    out.append(md_table(["quantity", "chain with", "chain rRMSE", "peers' median rRMSE",
                         "target", "per station (chain ≤ median?)"], rows, "llrrll"))
    out.append("")
    out.append(altitude_target(evaluated, results["dhi"], unavailable))
    out.append("")
    table, verdicts = default_targets(clear)
    out.append("**The defaults' turbidity** (`turbidity=\"bounded\"`) on the measured clear "
               "sky: pooled GHI and DNI no worse than the best peer, DHI no worse than "
               "`turbidity=\"model\"` (the former default), and no station worse than the "
               "peers' median on GHI or DNI:")
    out.append("")
    out.append(table)
    out.append("")
    if short:
        out.append("### 5.8 The short files")
        out.append("")
        out.append("A few rows each; the chain as above (its surface temperature with the "
                   "measured global and the cloud from it). Their surface temperature is CRN's "
                   "infrared one, the only radiometric ground temperature measured directly in "
                   "these files.")
        out.append("")
        out.append(short_rows(short))
        out.append("")
    out.append("### 5.9 Mean radiant temperature")
    out.append("")
    out.append(LITERATURE)
    out.append("")
    out.append("### 5.10 A humid year: the turbidity and the mean radiant temperature")
    out.append("")
    out.append(humid_year())
    out.append("")
    out.append(f"Run time of this section: {seconds:.1f} s.")
    return "\n".join(out) + "\n"


def turbidity_finding(r: Optional[QuantityResult], evaluated: list[Evaluated]) -> str:
    """Where the model's humidity-based turbidity runs beyond a climatology on
    clear steps, what it does to the global there, what the default does, and
    the turbidity the measured beam shows against the humidity."""
    if r is None:
        return ""
    parts = []
    for ev in evaluated:
        if ev.station.key not in r.points:
            continue
        pts = r.points[ev.station.key]
        linke = ev.steps.loc[pts.index, "linke"]
        high = (linke > klimora_model_cap()).to_numpy()
        if not high.any():
            continue
        humidity = ev.steps.loc[pts.index, "humidity"]
        relative = {k: 100 * ((pts[k] - pts["measured"]) / pts["measured"])[high].median()
                    for k in ("model", "chain") if k in pts}
        text = (f"at {ev.station.key} {int(high.sum())} of its {len(pts)} clear-sky steps "
                f"have a model turbidity above {klimora_model_cap():g} (humidity "
                f"{humidity[high].min():.0f} % or more: the humidity branch of section 3, up "
                f"to {linke.max():.1f})")
        if "model" in relative:
            text += (f"; there `turbidity=\"model\"` puts the global "
                     f"{-relative['model']:.0f} % below the measured one (median)")
        if "chain" in relative:
            default = ev.steps.loc[pts.index, "linke_default"][high]
            text += (f", the default's is {signed(relative['chain'])} % from it with its "
                     f"dry-air turbidity ({default.min():.2f}–{default.max():.2f})")
        beam = ev.steps.loc[pts.index, "linke_beam"]
        bands = [("below 85 %", (humidity < 85).to_numpy()),
                 ("85 % and more, model at most 7", (humidity >= 85).to_numpy() & ~high),
                 ("model above 7", high)]
        seen = [f"{name} {beam[mask].median():.2f} ({int(mask.sum())} steps)"
                for name, mask in bands if mask.any()]
        text += (". The turbidity that the measured beam gives in the module's own beam "
                 "formula (log(E0/DNI) over log(E0/I(TL=1)); median): " + ", ".join(seen)
                 + f"; LinkeTruebung gives {linke[~high].median():.2f} and "
                 f"{linke[high].median():.1f} on the same steps")
        parts.append(text)
    if not parts:
        return ""
    return ("Turbidity: " + "; ".join(parts) + ". The measured beam's turbidity does not "
            "rise with the humidity near the ground; the model's reads that humidity as a "
            "visibility, and beyond 7 as mist (visibility under 6.3 km), which a clear sky does "
            "not have. That is why the default (`turbidity=\"bounded\"`) keeps LinkeTruebung "
            "up to 7 and takes its dry-air value beyond, rather than a cap at 7 (the capped "
            "row), which still leaves the densest haze of any climatology over a clear sky.")


def klimora_model_cap() -> float:
    return float(getattr(klimora_model, "TURBIDITY_BEYOND_CLIMATOLOGY", 7.0))


def diffuse_finding(r: Optional[QuantityResult], evaluated: list[Evaluated]) -> str:
    """The diffuse share of the global on clear steps: measured, and the chain's."""
    if r is None or "chain" not in next(iter(r.points.values())):
        return ""
    parts = []
    for ev in evaluated:
        if ev.station.key not in r.points:
            continue
        idx = r.points[ev.station.key].index
        measured = (ev.steps.loc[idx, "dhi"] / ev.steps.loc[idx, "ghi"]).median()
        g = ev.models[("ghi", "clear")].loc[idx, "chain"]
        share = ev.models[("dhi", "clear")].loc[idx, "chain"] / g
        text = f"{ev.station.key} {measured:.3f} measured, {share.median():.3f} the chain"
        if "residual" in ev.models[("dhi", "clear")]:
            res = ev.models[("dhi", "clear")].loc[idx, "residual"] / g
            text += (f", {res.median():.3f} the residual (below 5 % of the global on "
                     f"{100 * (res < 0.05).mean():.0f} % of the steps)")
        parts.append(text)
    return ("Diffuse share of the global on the clear-sky steps (medians): " + "; ".join(parts)
            + ". The default separation measures the residual of the two clear-sky formulas "
            "against the diffuse of Engerer's separation (2015, *Solar Energy* 116, 215–237, "
            "model 2): a clear-sky residual above it moves to the beam, and a diffuse below 5 % "
            "of the global takes the separation's.")


def time_label_check(evaluated: list[Evaluated]) -> str:
    """How far the time-label variant on the raw stamps is from the default run
    at the interval middles, and the stamps taken as instants from both."""
    parts = []
    for ev in evaluated:
        if ev.station.label == "instant":
            continue
        worst = {"time_label": 0.0, "instants": 0.0}
        day = ev.steps["day"].to_numpy()
        for q in ("ghi", "dni", "dhi"):
            m = ev.models[(q, "clear")][day]
            for key in worst:
                if key in m and "chain" in m:
                    diff = np.nanmax(np.abs((m[key] - m["chain"]).to_numpy()), initial=0.0)
                    worst[key] = max(worst[key], float(diff))
        text = f"{ev.station.key} (stamps mark the {ev.station.label})"
        if any(k == "time_label" for k in ev.models[("ghi", "clear")]):
            text += (": `time_label` gives exactly the run at the middles"
                     if worst["time_label"] == 0 else
                     f": `time_label` within {worst['time_label']:.2g} W/m² of the middles")
        text += f", the stamps as instants up to {worst['instants']:.1f} W/m² off"
        parts.append(text)
    if not parts:
        return ""
    return ("Interval stamps: the largest difference in clear-sky global, direct or diffuse "
            "(0 oktas, sun at least 5° high) against the run at the interval middles: "
            + "; ".join(parts) + ".")


def quantity_remarks(q: str, r: dict[str, Optional[QuantityResult]]) -> str:
    """One plain sentence on where the chain stands."""
    parts = []
    for sky in ("clear", "all"):
        res = r.get(sky)
        if res is None or "chain" not in res.pooled:
            continue
        peers = PEERS.get((q, sky), ())
        med = median_peer(res.pooled, peers)
        c = res.pooled["chain"]
        key = "rmse" if q == "ts" else "rrmse"
        show = (lambda x: f"{fmt(x)} K") if q == "ts" else percent
        best = min((p for p in peers if p in res.pooled), key=lambda p: res.pooled[p][key],
                   default=None)
        text = (f"{'Clear sky' if sky == 'clear' else 'All sky'}: the chain's "
                f"{'RMSE' if q == 'ts' else 'relative RMSE'} is {show(c[key])} (bias "
                f"{signed(c['bias'])}), the peers' median {show(med[key])}")
        if best:
            text += f", the best peer ({PEER_LABELS[best]}) {show(res.pooled[best][key])}"
        if "model" in res.pooled:
            text += f"; with `turbidity=\"model\"` {show(res.pooled['model'][key])}"
        if "climatology" in res.pooled:
            text += f"; with the turbidity climatology {show(res.pooled['climatology'][key])}"
        if "linke7" in res.pooled and q in ("ghi", "dni", "dhi"):
            text += f", with the turbidity capped at 7 {show(res.pooled['linke7'][key])}"
        if "residual" in res.pooled and q == "dhi":
            text += f", with the residual diffuse {show(res.pooled['residual'][key])}"
        parts.append(text + ".")
    return " ".join(parts)


def altitude_target(evaluated: list[Evaluated], r: dict[str, Optional[QuantityResult]],
                    unavailable: dict[str, str]) -> str:
    with_dhi = [ev for ev in evaluated if ev.steps["dhi"].notna().any()]
    if not with_dhi:
        return "The diffuse at altitude: no station with a measured diffuse."
    high = max(with_dhi, key=lambda ev: ev.station.height)
    name = f"{high.station.key} ({high.station.height:.0f} m, the highest station with a " \
           f"measured diffuse)"
    if "residual" in unavailable:
        return (f"**The diffuse at altitude** ({name}): cannot be judged — "
                "`diffuse_model` is not yet available in this klimora.")
    parts = []
    verdict = None
    for sky in ("clear", "all"):
        res = r.get(sky)
        if res is None or high.station.key not in res.per_station:
            continue
        s = res.per_station[high.station.key]
        if "chain" not in s or "residual" not in s:
            continue
        ratio = s["residual"]["rmse"] / s["chain"]["rmse"]
        parts.append(f"{'clear sky' if sky == 'clear' else 'all sky'}: RMSE "
                     f"{fmt(s['residual']['rmse'])} W/m² with `diffuse_model=\"residual\"`, "
                     f"{fmt(s['chain']['rmse'])} W/m² with the default, a factor of "
                     f"{fmt(ratio, 2)}")
        if sky == "clear":
            verdict = ratio >= 3
    if not parts:
        return f"**The diffuse at altitude** ({name}): no steps to judge it on."
    word = ("**met**" if verdict else "**missed**") if verdict is not None else "not judged"
    return (f"**The diffuse at altitude** ({name}), target a threefold smaller RMSE on clear "
            f"sky: {word} — " + "; ".join(parts) + ".")


def main() -> None:
    DOCS.mkdir(exist_ok=True)
    text = section()
    out = ROOT / "build" / "validation-measured.md"
    out.parent.mkdir(exist_ok=True)
    out.write_text(text, encoding="utf-8")
    print(f"wrote {out} and {len(list(DOCS.glob('validation-measured-*.png')))} plots")


if __name__ == "__main__":
    main()
