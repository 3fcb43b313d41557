"""The whole chain over a weather series or field: from times, a site and
the weather to the radiation and the mean radiant temperature of a person.

:func:`chain` takes a pandas DataFrame, an xarray Dataset (eager or on dask,
:mod:`klimora.datasets`) or a mapping of names to arrays, checks what it
is given where it enters (:mod:`klimora.inputs`), turns the times into
hours and days (:mod:`klimora.times`) and runs the model
(:mod:`klimora.model`) on arrays.  The quantities, their units and ranges
are declared in :mod:`klimora.quantities`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Collection
from typing import TYPE_CHECKING, Any, Mapping, Optional, overload

import numpy as np

from klimora.frames import frame_columns, hourly_means
from klimora.datasets import chain_dataset
from klimora.inputs import (ChainWarning, Site, Weather, check_saturation, validate_weather,
                            warn)
from klimora.intervals import interval_cos_zenith, over_intervals, tell
from klimora.model import (ASSUMPTIONS, COLUMNS, EPS_GROUND, NAMES, SIGMA, UNITS, UTCI_COLUMN,
                           VIEW_GROUND, VIEW_SKY, compute, compute_blocks, equation_of_time,
                           magnus, projection_scale)
from klimora.options import (MIN_WIND, PROJECTION_FACTORS, SURFACES, Options, result_columns,
                             surface_bowen)
from klimora.indices import INDICES, universal_thermal_climate_index
from klimora.sunlit import INTERVAL_COS_ZENITH
from klimora.times import has_zone, holds_numbers, leap_years, read_times, time_parts

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr
    from numpy.typing import ArrayLike, NDArray

__all__ = ["ASSUMPTIONS", "COLUMNS", "EPS_GROUND", "INDICES", "NAMES", "PROJECTION_FACTORS", "SIGMA",
           "SURFACES", "UNITS", "UTCI_COLUMN", "VIEW_GROUND", "VIEW_SKY", "ChainWarning",
           "Options", "Site", "Weather", "chain", "chain_with",
           "check_saturation", "compute", "equation_of_time", "magnus", "projection_scale",
           "result_columns", "time_parts", "universal_thermal_climate_index",
           "validate_weather"]


@overload
def chain(weather: xr.Dataset, *, site: Site | None = ..., times: None = ...,
          projection_factor: str = ..., utci: bool = ..., turbidity: str = ...,
          diffuse_model: str = ..., min_wind: float | None = ..., surface: str | None = ...,
          time_label: str = ...,
          interval: pd.Timedelta | str | float | None = ...,
          indices: str | Collection[str] = ...) -> xr.Dataset: ...
@overload
def chain(weather: Mapping[str, ArrayLike] | None = ..., *, site: Site | None = ...,
          times: ArrayLike | pd.DatetimeIndex | None = ..., projection_factor: str = ...,
          utci: bool = ..., turbidity: str = ..., diffuse_model: str = ...,
          min_wind: float | None = ..., surface: str | None = ..., time_label: str = ...,
          interval: pd.Timedelta | str | float | None = ...,
          indices: str | Collection[str] = ...) -> dict[str, NDArray[np.float64]]: ...
@overload
def chain(weather: pd.DataFrame, *, site: Site | None = ..., times: None = ...,
          projection_factor: str = ..., utci: bool = ..., turbidity: str = ...,
          diffuse_model: str = ..., min_wind: float | None = ..., surface: str | None = ...,
          time_label: str = ...,
          interval: pd.Timedelta | str | float | None = ...,
          indices: str | Collection[str] = ...) -> pd.DataFrame: ...


def chain(weather: pd.DataFrame | xr.Dataset | Mapping[str, ArrayLike] | None = None, *,
          site: Site | None = None, times: ArrayLike | pd.DatetimeIndex | None = None,
          projection_factor: str = "system", utci: bool = False, turbidity: str = "bounded",
          diffuse_model: str = "separation", min_wind: float | None = MIN_WIND,
          surface: str | None = None, time_label: str = "instant",
          interval: pd.Timedelta | str | float | None = None,
          indices: str | Collection[str] = ()
          ) -> pd.DataFrame | xr.Dataset | dict[str, NDArray[np.float64]]:
    """The chain over a weather series or field: from times, a site and the
    weather to the radiation and the mean radiant temperature of a person.

    Parameters
    ----------
    weather : pandas.DataFrame, xarray.Dataset or mapping of str to array_like, optional
        A DataFrame (times in its DatetimeIndex or a column "time"), a
        Dataset (a coordinate "time"; eager or on dask) or a mapping of
        names to arrays (times in `times`).  Its columns or variables are
        any of the registry's weather (:data:`klimora.quantities.WEATHER`),
        or as producers name them (:mod:`klimora.conventions`: pvlib's
        columns, CF, ERA5 and CMIP variables, a Dataset's converted from its
        ``units``); the absent ones take their defaults.  None: all of them.
    site : Site, optional
        The place.  Needed unless the weather is a Dataset with latitude
        and longitude: a Dataset's "latitude", "longitude" and "height"
        variables or coordinates (or "lat", "lon") replace the site's.
    times : array_like of datetimes or pandas.DatetimeIndex, optional
        The times of a mapping's arrays, one per element (datetime64
        values, a DatetimeIndex, zone-aware or not).  Times without a zone
        are in the site's zone.
    projection_factor : {"system", "vdi3789"}, default "system"
        The weight of the beam on a person: the system's, or the published
        factor of VDI 3789-2 (:func:`projection_scale`).
    utci : bool, default False
        Add the column "utci", the Universal Thermal Climate Index
        (:func:`klimora.ufuncs.utci`).
    turbidity : {"bounded", "model", "climatology"}, default "bounded"
        The Linke turbidity's source, as in :class:`klimora.model.Options`:
        by default the module's turbidity bounded where its humidity branch
        leaves the physical range, so that a humid clear sky keeps its beam.
    diffuse_model : {"separation", "residual"}, default "separation"
        The diffuse's model, as in :class:`klimora.model.Options`.
    min_wind : float or None, default :data:`klimora.model.MIN_WIND`
        The lowest wind of the ground's energy balance and the UTCI, m/s;
        None takes the wind as given.
    surface : str, optional
        The ground (:data:`klimora.model.SURFACES`), for its Bowen ratio, in
        place of a ``bowen`` input.
    time_label : {"instant", "start", "end"}, default "instant"
        Each stamp a moment, or the start or end of an averaging interval
        of length `interval`: the sun's position is then that of the
        interval's middle, and every flux and temperature the mean over
        sub-steps of at most 5 minutes across the interval, placed in real
        time, so that partial intervals at sunrise and sunset come out as
        measured means do.  A given global is then the interval's mean: at
        each sub-step it follows cos z, over the interval's mean of cos z
        in closed form (:mod:`klimora.sunlit`).
    interval : pandas.Timedelta, str or float, optional
        The averaging interval of "start" and "end": a Timedelta, its text
        (``"1h"``) or a bare number of seconds (``3600``); by default the
        median step of the times.  Instants have none: with "instant" an
        interval is refused (ValueError).
    indices : str or collection of str, optional
        Thermal indices to add as columns after "mrt", any of "utci",
        "pet" and "wbgt" (:mod:`klimora.indices`), or one text of them
        separated by commas.  Each is NaN where the weather lies outside
        its model (a :class:`ChainWarning` counts them).

    Returns
    -------
    pandas.DataFrame, xarray.Dataset or dict of str to numpy.ndarray
        Of the weather's kind: a DataFrame with the same index, a Dataset
        with the same coordinates, or a dict of float64 arrays, with the
        :data:`COLUMNS` in their order and their units
        (``attrs["units"]`` of a DataFrame, each variable's ``units`` in a
        Dataset).

    Raises
    ------
    ValueError
        One line, for an input the chain cannot use (an unknown name, no
        site, no times, a value out of range:
        :class:`klimora.quantities.OutOfRange`).
    TypeError
        For weather that is none of the three kinds.

    Warns
    -----
    ChainWarning
        What the chain takes that was not given (a height, a zone), changed
        (humidity above 100 %) or doubts (with ``turbidity="model"``, a
        turbidity above any climatology), one line each.

    Examples
    --------
    Three times of a summer day at Munich: a DataFrame back, on the same
    index, with the columns' units.

    >>> import pandas as pd
    >>> from klimora.chain import Site, chain
    >>> times = pd.date_range("2025-06-21 06:00", periods=3, freq="6h",
    ...                       tz="Europe/Berlin")
    >>> weather = pd.DataFrame({"air_temp": [15.0, 24.0, 19.0],
    ...                         "cloud": [2, 2, 4]}, index=times)
    >>> munich = Site(latitude=48.14, longitude=11.58, height=520,
    ...               zone="Europe/Berlin")
    >>> result = chain(weather, site=munich)
    >>> result.index.equals(weather.index), list(result.columns[:3])
    (True, ['solar_time', 'zenith', 'azimuth'])
    >>> result.attrs["units"]["mrt"]
    'degC'

    Arrays with their times give a dict.  At 13:15 CEST the sun is in the
    south at Munich, its zenith angle the latitude less the declination,
    48.14 - 23.44 degrees:

    >>> import numpy as np
    >>> noon = np.array(["2025-06-21T13:15"], dtype="datetime64[m]")
    >>> columns = chain({"air_temp": np.array([24.0])}, site=munich, times=noon)
    >>> round(float(columns["zenith"][0]), 1)
    24.7
    """
    options = Options(projection_factor, utci, turbidity, diffuse_model, min_wind, time_label,
                      interval, indices)
    return chain_with(weather, site=site, times=times, options=options, surface=surface)


def chain_with(weather: Any = None, *, site: Optional[Site] = None, times: Any = None,
               options: Options = Options(), surface: Optional[str] = None) -> Any:
    """:func:`chain` with its options as one :class:`Options`, as the
    package's own entries (the day, the command line) hand them on.
    ``surface`` goes with the weather: it stands in for a Bowen ratio."""
    if weather is None:
        weather = {}
    kind = type(weather).__module__.split(".")[0], type(weather).__name__
    if site is None and kind != ("xarray", "Dataset"):
        raise ValueError("no site: give site=Site(latitude=..., longitude=..., height=..., "
                         "zone=...)")
    if kind == ("pandas", "DataFrame"):
        assert site is not None
        return _chain_frame(weather, site, options, surface)
    if kind == ("xarray", "Dataset"):
        weather = with_surface(weather, surface)
        return chain_dataset(weather, site, options, options.time_label, options.interval)
    if kind[0] in ("pandas", "xarray") or not isinstance(weather, Mapping):
        raise TypeError("weather must be a pandas DataFrame, an xarray Dataset or a mapping of "
                        f"names to arrays, not a {kind[1]}")
    if times is None:
        raise ValueError("times are needed: give them as times=...")
    assert site is not None
    fields = {name: np.asarray(value, dtype=float)
              for name, value in with_surface(frame_columns(weather), surface).items()}
    return _run(fields, times, site, options)


def with_surface(weather: Any, surface: Optional[str]) -> Any:
    """The weather with the Bowen ratio of ``surface``; ValueError for an
    unknown surface or one given beside a Bowen ratio."""
    bowen = surface_bowen(surface, "bowen" in weather)
    if bowen is None:
        return weather
    if type(weather).__module__.split(".")[0] == "xarray":
        return weather.assign(bowen=bowen)
    return {**weather, "bowen": bowen}


def _run(fields: Mapping[str, Any], times: Any, site: Site, options: Options) -> dict[str, Any]:
    validate_weather(fields)
    if site.zone is None and not has_zone(times):
        warn("zone")
    height = site.height_or_sea_level()
    given = dict(fields)
    if "global" in fields and options.time_label != "instant":   # the interval's mean
        given[INTERVAL_COS_ZENITH] = interval_cos_zenith(times, options.time_label,
                                                         options.interval, site.zone,
                                                         site.latitude, site.longitude)

    def run_at(at: Any) -> dict[str, Any]:
        hour, day, zone = (np.reshape(part, np.shape(times)) for part in time_parts(at, site.zone))
        # The climatology's month middles fall a day later in leap years.
        leap = (np.reshape(leap_years(at, site.zone), np.shape(times))
                if options.turbidity == "climatology" else None)
        return compute_blocks(hour, day, zone, site.latitude, site.longitude, height, given,
                              options, leap)

    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        result: dict[str, Any] = over_intervals(run_at, times, options.time_label,
                                                options.interval, site.zone)
    if INTERVAL_COS_ZENITH in given:   # the given mean (NaN where the time is), not the
        mean = result["global"]          # mean of the sub-steps
        np.copyto(mean, fields["global"] + 0 * mean)
    tell(fields, result, options)
    return result


def one_array(columns: list[Any]) -> Any:
    """The columns side by side, (steps, columns): the array they are rows
    of where they are (the chain's own result), a new one otherwise."""
    base = columns[0].base if isinstance(columns[0], np.ndarray) else None
    if (isinstance(base, np.ndarray) and base.ndim == 2 and base.flags.c_contiguous
            and base.shape[0] == len(columns)
            and all(isinstance(c, np.ndarray) and c.base is base and c.ndim == 1
                    and c.ctypes.data == base[i].ctypes.data for i, c in enumerate(columns))):
        return base.T
    return np.stack([np.asarray(c, dtype=float) for c in columns], axis=1)


def _chain_frame(frame: Any, site: Site, options: Options, surface: Optional[str]) -> Any:
    import pandas as pd

    twice = frame.columns[frame.columns.duplicated()]
    if len(twice):
        raise ValueError(f"column {twice[0]!r} appears twice")
    if "time" in frame.columns:
        if holds_numbers(frame["time"]):
            raise ValueError("column 'time' holds numbers, not dates and times")
        try:   # several offsets (daylight saving time) as their instants, as --input does
            times, _ = read_times(frame["time"], site.zone)
        except (ValueError, TypeError) as e:
            raise ValueError(f"column 'time': {' '.join(str(e).split())}") from None
        fields = frame.drop(columns="time")
    elif holds_numbers(frame.index):
        raise ValueError("no times: the DataFrame needs a DatetimeIndex or a column 'time' "
                         f"(its index is a {type(frame.index).__name__} of numbers)")
    else:
        times, fields = frame.index, frame
    if options.time_label == "instant" and options.interval is None and \
            hourly_means(fields.columns):   # get_era5's radiation: the hour's mean
        options = dataclasses.replace(options, time_label="end", interval="1h")
    named = frame_columns({name: fields[name] for name in fields.columns})
    arrays = with_surface({name: value.to_numpy(dtype=float) if hasattr(value, "to_numpy")
                           else np.asarray(value, dtype=float) for name, value in named.items()},
                          surface)
    result = _run(arrays, times, site, options)
    out = pd.DataFrame(one_array(list(result.values())), index=frame.index,
                       columns=list(result), copy=False)
    out.attrs["units"] = {name: unit for name, unit, _ in result_columns(options.indices)}
    return out
