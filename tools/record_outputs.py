"""Records what the package gives on a fixed set of inputs, as digests of
the exact bytes: the chain on a DataFrame, a mapping and a Dataset, the
day as a table, CSV and JSON, ``--input`` and ``klimora grid``.  A
restructuring of the package must leave every digest as it was.

    python tools/record_outputs.py record FILE.json
    python tools/record_outputs.py compare FILE.json

``compare`` lists every case whose output changed and exits 1 if any did.
The digests hold for one environment (Python, NumPy, pandas): record and
compare in the same venv.
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path
from typing import Any, Callable

import numpy as np

CSV_SERIES = """time,air_temp,humidity,cloud,wind,global,vapour_pressure
2025-06-21T00:00,14.5,88,1,0.5,,
2025-06-21T05:30,12.0,95,2,1.5,,
2025-06-21T08:00+02:00,18.25,70,0,2.0,,
2025-06-21T12:00Z,27.0,41,3,3.5,812.5,
2025-06-21T13:00,28.5,nan,8,0.0,,
2025-03-30T02:30,5.0,80,4,2.0,,
2025-10-26T02:30,8.0,,5,1.0,,
2025-12-21T12:00,-3.5,75,6,4.0,,4.1
1999-01-01T00:00:00.5,0,100,8,30,0,
"""


#: The example site as options: a time series needs its site.
EXAMPLE = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--zone", "1")


def digest(*parts: Any) -> str:
    h = hashlib.sha256()
    for part in parts:
        if isinstance(part, np.ndarray):
            h.update(str(part.dtype).encode())
            h.update(repr(part.shape).encode())
            h.update(np.ascontiguousarray(part).tobytes())
        elif isinstance(part, bytes):
            h.update(part)
        else:
            h.update(json.dumps(part, sort_keys=True, default=str).encode())
    return h.hexdigest()


def frame_digest(frame: Any) -> str:
    columns = list(map(str, frame.columns))
    return digest(columns, frame.attrs, np.asarray(frame.index.astype(str)).astype(str),
                  *(frame[c].to_numpy(dtype=float) for c in columns))


def dataset_digest(ds: Any) -> str:
    parts: list[Any] = []
    for name in sorted(map(str, ds.variables)):
        var = ds[name]
        attrs = {k: v for k, v in var.attrs.items() if k != "history"}
        parts += [name, list(var.dims), attrs, np.asarray(var.values)]
    attrs = {k: v for k, v in ds.attrs.items() if k != "history"}
    return digest(*parts, attrs)


def weather_frame(zone: bool) -> Any:
    import pandas as pd

    rng = np.random.default_rng(7)
    n = 500
    index = pd.date_range("2025-01-01", periods=n, freq="17h37min")
    if zone:
        index = index.tz_localize("Europe/Berlin", ambiguous="NaT", nonexistent="NaT")
    frame = pd.DataFrame({
        "air_temp": rng.uniform(-20, 40, n), "humidity": rng.uniform(5, 100, n),
        "cloud": rng.uniform(0, 8, n), "wind": rng.uniform(0, 12, n),
        "bowen": rng.uniform(0, 3, n), "albedo": rng.uniform(0.05, 0.6, n)}, index=index)
    frame.iloc[::37, 1] = np.nan
    frame.iloc[::53, 0] = np.nan
    return frame


def chain_cases() -> dict[str, Callable[[], str]]:
    import pandas as pd
    import xarray as xr

    from klimora import chain as C

    def site(zone: Any) -> Any:
        return C.Site(latitude=48.14, longitude=11.58, height=520.0, zone=zone)

    def frame(zone: bool, **kw: Any) -> Callable[[], str]:
        kw.setdefault("site", site(1.0))
        return lambda: frame_digest(C.chain(weather_frame(zone), **kw))

    def mapping() -> str:
        f = weather_frame(False)
        result = C.chain({k: f[k].to_numpy() for k in f.columns}, times=f.index.to_numpy(),
                         site=C.Site(latitude=-33.9, longitude=18.4, height=10.0, zone=2.0))
        return digest(*(item for k in sorted(result) for item in (k, result[k])))

    def dataset() -> str:
        rng = np.random.default_rng(3)
        times = pd.date_range("2025-06-20", periods=30, freq="47min")
        lat = np.linspace(-60, 70, 5)
        lon = np.linspace(-170, 170, 4)
        shape = (30, 5, 4)
        ds = xr.Dataset({"air_temp": (("time", "lat", "lon"), rng.uniform(-10, 35, shape)),
                         "humidity": (("time", "lat", "lon"), rng.uniform(10, 100, shape)),
                         "cloud": (("time",), rng.uniform(0, 8, 30))},
                        coords={"time": times, "lat": lat, "lon": lon})
        return dataset_digest(C.chain(ds, site=site(None)))

    return {
        "chain frame naive": frame(False),
        "chain frame Europe/Berlin": frame(True, site=site("Europe/Berlin")),
        "chain frame vdi3789": frame(False, projection_factor="vdi3789"),
        "chain frame utci": frame(False, utci=True),
        "chain mapping": mapping,
        "chain dataset": dataset,
    }


def command(folder: Path, *args: str, stdin: bytes = b"") -> str:
    """The exit status and both streams of ``python -m klimora`` run in
    ``folder``: file names in messages are the same on every run."""
    done = subprocess.run([sys.executable, "-m", "klimora", *args], input=stdin, cwd=folder,
                          capture_output=True, check=False)
    return digest(done.returncode, done.stdout, done.stderr)


def command_cases(folder: Path) -> dict[str, Callable[[], str]]:
    (folder / "series.csv").write_text(CSV_SERIES)
    (folder / "bad.csv").write_text(
        CSV_SERIES.replace("2025-06-21T13:00,28.5", "2025-06-21T13:00,99.5"))
    return {
        "day table": lambda: command(folder),
        "day csv": lambda: command(folder, "--csv", "--lat", "-33.9", "--lon", "18.4", "--zone", "2",
                                   "--date", "2025-12-21", "--step", "20", "--cloud", "5"),
        "day json": lambda: command(folder, "--json", "--lat", "48.14", "--lon", "11.58",
                                    "--height", "520", "--zone", "Europe/Berlin", "--date", "2025-03-30",
                                    "--step", "30", "--vapour-pressure", "9.5", "--utci"),
        "day refused": lambda: command(folder, "--humidity", "101"),
        "series": lambda: command(folder, "--input", "series.csv", "--lat", "48.14", "--lon",
                                  "11.58", "--height", "520", "--zone", "Europe/Berlin"),
        "series stdin utci": lambda: command(folder, "--input", "-", *EXAMPLE, "--utci",
                                             "--bowen", "0.4", stdin=CSV_SERIES.encode()),
        "series refused row": lambda: command(folder, "--input", "bad.csv", *EXAMPLE),
    }


def grid_cases(folder: Path) -> dict[str, Callable[[], str]]:
    import xarray as xr

    from klimora.grid.example import weather

    def run(name: str, **spelling: Any) -> str:
        source = folder / f"{name}.nc"
        target = folder / f"{name}-out.nc"
        weather(times=6, lat=16, lon=24, seed=5, **spelling).to_netcdf(source)
        done = subprocess.run([sys.executable, "-m", "klimora", "grid", "--input", source.name,
                               "--output", target.name], cwd=folder, capture_output=True,
                              check=False)
        if done.returncode:
            return digest(done.returncode, done.stderr)
        with xr.open_dataset(target) as ds:
            return dataset_digest(ds.load())

    return {
        "grid SI": lambda: run("si"),
        "grid dew point, okta, curvilinear": lambda: run(
            "other", temperature="degC", humidity="dew_point", cloud="okta", wind="speed",
            curvilinear=True),
    }


def record() -> dict[str, str]:
    warnings.simplefilter("ignore")   # pythermalcomfort's, outside UTCI's range
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        cases = {**chain_cases(), **command_cases(folder), **grid_cases(folder)}
        return {name: make() for name, make in cases.items()}


def main() -> int:
    action, path = sys.argv[1], Path(sys.argv[2])
    digests = record()
    if action == "record":
        path.write_text(json.dumps(digests, indent=1) + "\n")
        print(f"{len(digests)} cases recorded in {path}")
        return 0
    before = json.loads(path.read_text())
    changed = [name for name in before if digests.get(name) != before[name]]
    for name in changed:
        print(f"changed: {name}")
    print(f"{len(before) - len(changed)} of {len(before)} cases identical")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
