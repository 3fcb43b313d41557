"""A synthetic CF weather grid, for trying ``klimora grid`` and for its tests
and benchmarks: smooth random fields over Europe, hourly, in the spelling
asked for.  The spellings carry the same weather: each is the SI one
converted with the same registry that reads it back."""

from __future__ import annotations

from typing import Any

import numpy as np

#: The spellings: of the temperature, the humidity, the cloud cover and
#: the wind.
SPELLINGS = {
    "temperature": ("K", "degC"),
    "humidity": ("1", "%", "dew_point"),
    "cloud": ("1", "%", "okta"),
    "wind": ("speed", "uv"),
}


def field(rng: Any, shape: tuple[int, ...], low: float, high: float) -> Any:
    """A smooth random field in [low, high]: coarse noise spread over cells
    of 8 and a little fine noise on top, as float32 like most model output."""
    coarse = rng.random((shape[0], shape[1] // 8 + 1, shape[2] // 8 + 1))
    smooth = np.repeat(np.repeat(coarse, 8, axis=1), 8, axis=2)[:, :shape[1], :shape[2]]
    value = 0.97 * smooth + 0.03 * rng.random(shape)
    return (low + (high - low) * value).astype(np.float32)


def weather(times: int = 24, lat: int = 32, lon: int = 48, *, seed: int = 0,
            temperature: str = "K", humidity: str = "1", cloud: str = "1",
            wind: str = "uv", curvilinear: bool = False, altitude: bool = True) -> Any:
    """The grid as an xarray Dataset of CF variables (times from 2025-06-21
    00:00 UTC).  ``curvilinear`` puts 2-D latitude and longitude on
    dimensions y and x."""
    import pandas as pd
    import xarray as xr

    from klimora.grid.cf import registry

    units = registry()
    rng = np.random.default_rng(seed)
    shape = (times, lat, lon)
    y, x = ("y", "x") if curvilinear else ("lat", "lon")
    dims = ("time", y, x)

    def convert(values: Any, source: str, target: str) -> Any:
        if source == target:
            return values
        return np.asarray(units.Quantity(values.astype(float), source).to(target).magnitude)

    kelvin = field(rng, shape, 268.0, 308.0).astype(float)
    fraction = field(rng, shape, 0.2, 1.0).astype(float)
    cover = field(rng, shape, 0.0, 1.0).astype(float)
    east, north = field(rng, shape, -8.0, 8.0), field(rng, shape, -8.0, 8.0)
    variables: dict[str, Any] = {
        "tas": (dims, convert(kelvin, "K", temperature),
                {"standard_name": "air_temperature", "units": temperature}),
        "clt": (dims, convert(cover, "1", cloud),
                {"standard_name": "cloud_area_fraction", "units": cloud}),
    }
    if humidity == "dew_point":
        dew = kelvin - field(rng, shape, 0.0, 12.0)
        variables["tdps"] = (dims, convert(dew, "K", temperature),
                             {"standard_name": "dew_point_temperature", "units": temperature})
    else:
        variables["hurs"] = (dims, convert(fraction, "1", humidity),
                             {"standard_name": "relative_humidity", "units": humidity})
    if wind == "uv":
        variables["uas"] = (dims, east, {"standard_name": "eastward_wind", "units": "m s-1"})
        variables["vas"] = (dims, north, {"standard_name": "northward_wind", "units": "m s-1"})
    else:
        speed = np.hypot(east.astype(float), north.astype(float))
        variables["sfcWind"] = (dims, speed, {"standard_name": "wind_speed", "units": "m s-1"})
    lats, lons = np.linspace(36.0, 70.0, lat), np.linspace(-10.0, 30.0, lon)
    coords: dict[str, Any] = {"time": pd.date_range("2025-06-21", periods=times, freq="h")}
    lat_attrs = {"standard_name": "latitude", "units": "degrees_north"}
    lon_attrs = {"standard_name": "longitude", "units": "degrees_east"}
    if curvilinear:   # a grid turned by a few degrees
        grid_lon, grid_lat = np.meshgrid(lons, lats)
        coords["lat"] = ((y, x), grid_lat + 0.05 * (grid_lon - lons[0]), lat_attrs)
        coords["lon"] = ((y, x), grid_lon - 0.05 * (grid_lat - lats[0]), lon_attrs)
    else:
        coords["lat"] = ("lat", lats, lat_attrs)
        coords["lon"] = ("lon", lons, lon_attrs)
    if altitude:
        variables["orog"] = ((y, x), field(rng, (1, lat, lon), 0.0, 2500.0)[0],
                             {"standard_name": "surface_altitude", "units": "m"})
    ds = xr.Dataset(variables, coords=coords)
    ds.attrs.update(Conventions="CF-1.8", title="klimora synthetic weather grid",
                    history="made by klimora.grid.example")
    return ds
