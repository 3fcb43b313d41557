"""A day's course drawn into a figure by matplotlib (``--plot``): the
radiation fluxes above, the temperatures below, over the real hours of
the day (23 or 25 on the days of a change of daylight saving time), with
the site, the day and the weather in the title.  Raster formats are drawn
at :data:`DPI`, 2000 pixels wide, for print."""

from __future__ import annotations

import datetime as dt
import os
from typing import Any, Optional, Sequence, Union

import numpy as np

from klimora.errors import UsageError

__all__ = ["DPI", "SIZE", "check_plot", "clock_axis", "figure", "write_plot", "zone_text"]

#: The figure's size in inches, and its resolution in raster formats:
#: 2000 by 1400 pixels.
SIZE = (10.0, 7.0)
DPI = 200
#: The fluxes drawn, with their labels: the beam as it falls, normal to
#: itself, the others on the horizontal ground.
FLUXES = (("global_max", "global, clear sky (horizontal)"), ("global", "global (horizontal)"),
          ("direct", "direct beam (normal to the beam)"), ("diffuse", "diffuse (horizontal)"),
          ("counter", "long-wave from the sky"), ("longwave_up", "long-wave from the ground"))


def zone_text(zone: Union[float, str, None]) -> str:
    """A zone as the axis names it: its name, UTC+1 h, or UTC."""
    if zone is None or zone == 0:
        return "UTC"
    return zone if isinstance(zone, str) else f"UTC{zone:+g} h"


def check_plot(path: str) -> None:
    """Everything --plot needs that can be known before the day is computed."""
    if not path.strip():
        raise UsageError("--plot needs a file name, such as day.png")
    if os.path.isdir(path):
        raise UsageError(f"--plot {path}: is a directory; give a file name, such as day.png")
    folder = os.path.dirname(path)
    if folder and not os.path.isdir(folder):
        raise UsageError(f"cannot write {path}: no directory {folder}")
    try:
        import matplotlib  # noqa: F401
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install '.[plot]'") from None
    formats = sorted(FigureCanvasBase.get_supported_filetypes())
    extension = os.path.splitext(path)[1]
    if extension.lower().lstrip(".") not in formats:
        said = f"unknown format {extension!r}" if extension else "no extension"
        raise UsageError(f"--plot {path}: {said}; use .png, .pdf, .svg or another of "
                         + ", ".join("." + f for f in formats))


def clock_axis(date: dt.date, zone: Union[float, str]) -> tuple[Any, list[tuple[float, str]]]:
    """The day's start as an instant (a naive time for hours east of UTC)
    and the ticks of its clock times 00:00, 03:00, ... 24:00 as (hours
    since the start, label): on the days of a change of daylight saving
    time the clock times lie an hour closer or further apart."""
    import pandas as pd

    clocks = pd.Timestamp(date) + pd.to_timedelta(range(0, 25, 3), unit="h")
    if not isinstance(zone, str):
        return clocks[0], [(3.0 * k, f"{3 * k:02d}:00") for k in range(len(clocks))]
    # The later of a repeated clock time, the first after a skipped one.
    at = clocks.tz_localize(zone, ambiguous=np.zeros(len(clocks), dtype=bool),
                            nonexistent="shift_forward")
    start = pd.Timestamp(date).tz_localize(zone, ambiguous=True, nonexistent="shift_forward")
    hour = pd.Timedelta(hours=1)
    return start, [(float((t - start) / hour), f"{3 * k:02d}:00") for k, t in enumerate(at)]


def figure(wall: Any, times: Any, values: Any, date: dt.date, zone: Union[float, str],
           title: Sequence[str], air_temp: Optional[float]) -> Any:
    """The figure of the day: ``values`` holds the columns by name, at the
    clock times ``wall`` (a naive DatetimeIndex) that are the instants
    ``times`` (NaT where a clock time has none); ``title`` the site, the day
    and the weather."""
    import pandas as pd
    from matplotlib.figure import Figure

    start, ticks = clock_axis(date, zone)
    hour = pd.Timedelta(hours=1)
    clock = (wall - pd.Timestamp(date)) / hour
    if isinstance(zone, str) and times.notna().all():
        hours = (times - start) / hour
    else:
        hours = clock
    fig = Figure(figsize=SIZE, dpi=DPI)
    top, bottom = fig.subplots(2, 1, sharex=True)
    for name, label in FLUXES:
        top.plot(hours, values[name], label=label)
    top.set_ylabel("flux density, W/m²\n(horizontal; direct beam: normal to it)",
                   fontsize="small")
    top.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    if air_temp is not None:
        bottom.axhline(air_temp, color="grey", linestyle="--", label="air")
    bottom.plot(hours, values["surface_temp"], label="ground surface")
    bottom.plot(hours, values["mrt"], label="mean radiant temperature")
    if "utci" in values:
        bottom.plot(hours, values["utci"], label="UTCI")
    bottom.set_ylabel("temperature, °C", fontsize="small")
    bottom.set_xlabel(f"clock time, {zone_text(zone)}")
    bottom.set_xticks([x for x, _ in ticks], [label for _, label in ticks])
    bottom.set_xlim(0, ticks[-1][0])
    bottom.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    place, day, weather = title
    fig.suptitle(f"{place}; {day}\n{weather}", fontsize="medium")
    for axis in (top, bottom):
        axis.grid(alpha=0.3)
    fig.tight_layout()
    return fig


def write_plot(path: str, wall: Any, times: Any, values: Any, date: dt.date,
               zone: Union[float, str], title: Sequence[str], air_temp: Optional[float]) -> None:
    """The day's :func:`figure` into ``path``, in the format its extension
    names."""
    fig = figure(wall, times, values, date, zone, title, air_temp)
    try:
        fig.savefig(path)
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None
