"""The diffuse and the direct irradiance on the ground, made physical by
Engerer's separation (Engerer 2015, Solar Energy 116, 215-237, model 2):
the chain's ``diffuse_model="separation"``."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from klimora.times import per_day


#: The least share of the global that the diffuse takes under the cleanest
#: sky (Rayleigh scattering alone): a residual below it marks a beam that
#: the global cannot hold.
CLEAR_SKY_DIFFUSE_FLOOR = 0.05
#: The solar constant of the clearness index, W/m2.
SOLAR_CONSTANT = 1367.0
#: Engerer's (2015) "Engerer2" fit to 1-minute data: C, beta_0 to beta_5.
ENGERER2 = (0.042336, -3.7912, 7.5479, -0.010036, 0.003148, -5.3146, 1.7073)


def separation(residual: Any, direct: Any, glob: Any, direct_max: Any, global_max: Any,
               zenith: Any, sun: Any, cos_zenith: Any, solar_time: Any,
               dayofyear: Any) -> tuple[Any, Any]:
    """The diffuse and the direct irradiance that keep G = D + I cos z with
    a physical diffuse.  The clear-sky global and beam come from two
    formulas that need not agree.  Where their residual exceeds the diffuse
    that Engerer's separation gives of the clear-sky global, the excess is
    beam that the beam formula misses; it moves to the beam, scaled as the
    beam is for cloud.  Where the diffuse is then below
    :data:`CLEAR_SKY_DIFFUSE_FLOOR` of the global (at altitude the clear-sky
    beam on the ground can exceed the global), the separation of the global
    replaces it, with the beam that is left.  ``sun`` is the zenith angle,
    at most 90 degrees, and ``cos_zenith`` its cosine."""
    up = zenith < 90
    slant = np.where(up, cos_zenith, 1.0)
    horizontal = per_day(extraterrestrial, dayofyear) * slant
    clear_residual = global_max - direct_max * cos_zenith
    # The clear sky is its own clear sky: no cloud enhancement.
    clear_separated = engerer_diffuse(global_max, None, horizontal, sun, solar_time)
    beam_share = direct / np.where(direct_max > 0, direct_max, np.inf)
    excess = np.where(up, np.maximum(clear_residual - clear_separated, 0.0) * beam_share, 0.0)
    diffuse = residual - excess
    direct = direct + excess / slant
    below = up & (diffuse < CLEAR_SKY_DIFFUSE_FLOOR * glob)
    if not below.any():
        return diffuse, direct
    # Usually a few steps in a hundred: the separation of the global is
    # worked out on those alone, each value as on the whole.
    shape = np.broadcast_shapes(below.shape, np.shape(diffuse), np.shape(direct))
    below = np.broadcast_to(below, shape)

    def on_below(x: Any) -> Any:
        return np.broadcast_to(x, shape)[below]

    glob_below = on_below(glob)
    separated = engerer_diffuse(glob_below, on_below(global_max), on_below(horizontal),
                                on_below(sun), on_below(solar_time))
    diffuse = np.array(np.broadcast_to(diffuse, shape))
    direct = np.array(np.broadcast_to(direct, shape))
    diffuse[below] = separated
    direct[below] = (glob_below - separated) / on_below(slant)
    return diffuse, direct


def extraterrestrial(dayofyear: Any) -> Any:
    """The extraterrestrial irradiance normal to the beam on a day of the
    year, W/m2: the solar constant for the earth's distance from the sun."""
    return SOLAR_CONSTANT * (1 + 0.033 * np.cos(2 * np.pi * dayofyear / 365))


def engerer_diffuse(glob: Any, global_clear: Optional[Any], horizontal: Any, zenith: Any,
                    solar_time: Any) -> Any:
    """The diffuse irradiance that Engerer's separation (Engerer 2015,
    Solar Energy 116, 215-237, model 2) gives of the global irradiance, from
    the clearness index kt = G / E0h, its distance from the clear sky's
    G_clear / E0h, the solar time in hours, the zenith angle in degrees and
    the share of the global above the clear sky's (cloud enhancement).
    E0h is the extraterrestrial irradiance on the horizontal,
    :func:`extraterrestrial` times cos(zenith) with the sun up; the diffuse
    is 0 with the sun at or below the horizon.  ``global_clear`` None: the
    global is the clear sky's own (kt_clear = kt, no enhancement); the
    share is then what the terms of 0 would give, as the share is positive."""
    c, b0, b1, b2, b3, b4, b5 = ENGERER2
    kt = glob / horizontal
    exponent = b0 + b1 * kt + b2 * solar_time + b3 * zenith
    if global_clear is None:
        share = c + (1 - c) / (1 + np.exp(exponent + b4 * (kt - kt)))
    else:
        kt_clear = global_clear / horizontal
        enhanced = np.maximum(glob - global_clear, 0.0) / np.where(glob > 0, glob, 1.0)
        share = c + (1 - c) / (1 + np.exp(exponent + b4 * (kt_clear - kt))) + b5 * enhanced
    return np.where(zenith < 90, np.clip(share, 0.0, 1.0) * glob, 0.0)
