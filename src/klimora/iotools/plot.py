"""A day's course drawn into a figure by matplotlib (``--plot``): the
radiation fluxes above, the temperatures below."""

from __future__ import annotations

import datetime as dt
import os
from typing import TYPE_CHECKING, Any, Sequence, Union

from klimora.cli.common import UsageError

if TYPE_CHECKING:
    from klimora.day import Site, Weather

__all__ = ["check_plot", "write_plot", "zone_text"]


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
        raise UsageError("--plot needs matplotlib: pip install 'klimora[plot]'") from None
    formats = sorted(FigureCanvasBase.get_supported_filetypes())
    extension = os.path.splitext(path)[1]
    if extension.lower().lstrip(".") not in formats:
        said = f"unknown format {extension!r}" if extension else "no extension"
        raise UsageError(f"--plot {path}: {said}; use .png, .pdf, .svg or another of "
                         + ", ".join("." + f for f in formats))


def write_plot(path: str, hours: Sequence[float], values: Any, site: Site, date: dt.date,
               weather: Weather) -> None:
    """The day's course into ``path``, in the format its extension names;
    ``values`` holds the columns by name, at the clock times ``hours``."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8.5, 5.5), dpi=80)
    for name, label in (("global_max", "global, clear sky"), ("global", "global"),
                        ("direct", "direct beam"), ("diffuse", "diffuse"),
                        ("counter", "long-wave from the sky"),
                        ("longwave_up", "long-wave from the ground")):
        top.plot(hours, values[name], label=label)
    top.set_ylabel("W/m²")
    top.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    bottom.axhline(weather.air_temp, color="grey", linestyle="--", label="air")
    bottom.plot(hours, values["surface_temp"], label="ground surface")
    bottom.plot(hours, values["mrt"], label="mean radiant temperature")
    if "utci" in values:
        bottom.plot(hours, values["utci"], label="UTCI")
    bottom.set_ylabel("°C")
    bottom.set_xlabel(f"clock time, {zone_text(site.zone)}")
    bottom.set_xticks(range(0, 25, 3))
    bottom.set_xlim(0, 24)
    bottom.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.01, 0.5))
    top.set_title(f"{site.latitude:g}°, {site.longitude:g}°, {site.height:g} m, {date}; "
                  f"cloud {weather.cloud:g}/8", fontsize="medium")
    for axis in (top, bottom):
        axis.grid(alpha=0.3)
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None
    finally:
        plt.close(fig)
