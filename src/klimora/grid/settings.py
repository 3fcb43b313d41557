"""What ``klimora grid`` took for what the grid does not give, and the
options it ran with, as the output's global attributes ``klimora_NAME``,
each a line a person reads: a file tells how it was made without the
command line that made it."""

from __future__ import annotations

from typing import Any, Optional

from klimora import quantities as Q
from klimora.grid.cf import ALTITUDE, BY_NAME, find
from klimora.options import MIN_WIND, SURFACES, Options

__all__ = ["DEFAULTED", "attributes", "defaults_text"]

#: The weather a grid may lack, which the chain then takes at its default.
DEFAULTED = ("albedo", "bowen", "body_albedo")


def spelled(name: str) -> str:
    """How a grid gives the weather ``name``: its standard_name, or a
    variable of the chain's own name."""
    q = Q.WEATHER[name]
    return q.standard_name or f"variable {name}"


def defaults_text() -> str:
    """What the chain takes for what a grid lacks, for --help."""
    albedo, bowen, body = (Q.WEATHER[name].default for name in DEFAULTED)
    ground = "".join(f" ({name})" for name, value in SURFACES.items() if value == bowen)
    return (f"Without surface_altitude the grid lies at sea level (0 m), without "
            f"surface_albedo the ground's albedo is {albedo:g}, without a variable bowen (or "
            f"--surface) its Bowen ratio {bowen:g}{ground}, without a variable body_albedo "
            f"the person's albedo {body:g}; times are UTC, as CF keeps them, and the day of "
            "the year is the UTC one.  These and the options (projection factor, turbidity, "
            f"diffuse model, minimum wind {MIN_WIND:g} m/s, time label) go into the "
            "output's global attributes klimora_NAME.")


def present(ds: Any, name: str) -> Optional[str]:
    """The input variable that gives the weather ``name``, if any."""
    if name in BY_NAME:
        return name if name in ds.data_vars else None
    return find(ds, spelled(name))


def attributes(ds: Any, options: Options, surface: Optional[str]) -> dict[str, str]:
    """The output's attributes klimora_NAME for the input ``ds`` and the
    options the command ran with."""
    said: dict[str, str] = {}
    altitude = find(ds, ALTITUDE)
    said["klimora_height"] = f"from {altitude} ({ALTITUDE})" if altitude else \
        f"0 m, sea level: the input has no {ALTITUDE}"
    for name in DEFAULTED:
        q, variable = Q.WEATHER[name], present(ds, name)
        if variable is not None:
            said[f"klimora_{name}"] = f"from {variable}" + (
                f" ({q.standard_name})" if q.standard_name else "")
        elif name == "bowen" and surface is not None:
            said[f"klimora_{name}"] = f"{SURFACES[surface]:g}, of --surface {surface}"
        else:
            said[f"klimora_{name}"] = f"{q.default:g}, the default: the input has no " \
                                      f"{spelled(name)}"
    said["klimora_zone"] = "UTC, as CF keeps times; the day of the year is the UTC one"
    said["klimora_projection_factor"] = options.projection_factor
    said["klimora_turbidity"] = f"from {present(ds, 'linke')}" if present(ds, "linke") else \
        options.turbidity
    said["klimora_diffuse_model"] = options.diffuse_model
    said["klimora_min_wind"] = "none: the wind as given" if options.min_wind is None else \
        f"{options.min_wind:g} m s-1"
    if options.time_label == "instant":
        said["klimora_time_label"] = "instant"
    else:
        interval = options.interval
        length = f"{interval.total_seconds() / 60:g} min" if interval is not None else \
            "the median step of the times"
        said["klimora_time_label"] = f"{options.time_label} of intervals of {length}"
    return said
