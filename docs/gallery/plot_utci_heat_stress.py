"""
Heat stress: UTCI in the sun and in the shade
=============================================

With ``utci=True`` the chain adds the Universal Thermal Climate Index
(:func:`klimora.ufuncs.utci`), from the air temperature, the mean radiant
temperature, the wind and the vapour pressure. Over a hot July day in Seville, a person
standing in the sun is set against one in the shade of a tree: the same air
and the same ground, but no direct beam.
"""

# %%
# The day in the sun
# ------------------

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from klimora.chain import Site, chain

site = Site(latitude=37.39, longitude=-5.98, height=10, zone="Europe/Madrid")
times = pd.date_range("2025-07-20 00:00", "2025-07-20 23:45", freq="15min")
hours = times.hour + times.minute / 60
air = 30 - 8 * np.cos(2 * np.pi * (hours - 5.5) / 24)          # 22 to 38 degC
afternoon = np.sin(np.pi * (hours - 10) / 12)                  # the breeze
weather = pd.DataFrame({"air_temp": air,
                        "humidity": np.clip(75 - 2.5 * (air - 22), 20, 100),
                        "wind": 1.5 + 1.5 * np.clip(afternoon, 0, 1),
                        "cloud": 0.0, "albedo": 0.25}, index=times)

sun = chain(weather, site=site, utci=True, surface="dry_soil")
sun[["zenith", "global", "surface_temp", "mrt", "utci"]].iloc[40:80:8].round(1)

# %%
# In the shade
# ------------
#
# A tree takes the beam from the person but leaves the sky's diffuse light,
# the ground around it in the sun and its long-wave flux. Given as measured
# quantities, the direct beam is 0 and the global and diffuse irradiance
# are those of the sunny run.

shaded = weather.assign(direct=0.0, diffuse=sun["diffuse"],
                        **{"global": sun["global"]})
shade = chain(shaded, site=site, utci=True, surface="dry_soil")

# %%
# The heat stress categories
# --------------------------
#
# UTCI is read against the assessment scale of the UTCI (Bröde et al.
# 2012): above 26 °C moderate, above 32 strong, above 38 very strong and
# above 46 °C extreme heat stress.

bands = [(9, 26, "no thermal stress", "#e8f4e8"), (26, 32, "moderate", "#fde9c9"),
         (32, 38, "strong", "#fbc58a"), (38, 46, "very strong", "#f3894f"),
         (46, 60, "extreme", "#d7433a")]

fig, (ax, mrt) = plt.subplots(2, 1, figsize=(8, 7.5), sharex=True,
                             height_ratios=[3, 2])
fig.subplots_adjust(hspace=0.08)
for low, high, name, colour in bands:
    ax.axhspan(low, high, color=colour, zorder=0)
    ax.text(23.8, (low + high) / 2, name, ha="right", va="center", fontsize="small",
            color="#333333")
ax.plot(hours, sun["utci"], color="#b2182b", lw=2.2, label="UTCI in the sun")
ax.plot(hours, shade["utci"], color="#2166ac", lw=2.2, label="UTCI in the shade")
ax.plot(hours, weather["air_temp"], color="k", lw=1, ls="--", label="air")
ax.set_ylim(15, 54)
ax.set_ylabel("temperature (°C)")
ax.legend(loc="upper left", fontsize="small", framealpha=0.9)
ax.set_title("Seville, 20 July 2025, clear sky")

mrt.plot(hours, sun["mrt"], color="#b2182b", lw=2, label="mean radiant, sun")
mrt.plot(hours, shade["mrt"], color="#2166ac", lw=2, label="mean radiant, shade")
mrt.plot(hours, sun["surface_temp"], color="#a6761d", lw=1, label="ground")
mrt.set_ylabel("temperature (°C)")
mrt.set_xlabel("clock time in Seville (h)")
mrt.set_xticks(range(0, 25, 3))
mrt.set_xlim(0, 24)
mrt.legend(loc="upper left", fontsize="small")
mrt.grid(alpha=0.3)
plt.show()

# %%
# The shade takes some 10 K off the mean radiant temperature in the
# afternoon, yet only a few kelvin off UTCI: the dry ground around the tree,
# near 58 °C, still radiates at the person from below, and the air is as
# hot as in the sun.
#
# Hours of each category over the day:

def hours_in(utci):
    edges = [low for low, _, _, _ in bands] + [bands[-1][1]]
    names = [name for _, _, name, _ in bands]
    counts = pd.cut(utci, edges, labels=names).value_counts()
    return counts.reindex(names) / 4

pd.DataFrame({"sun (h)": hours_in(sun["utci"]),
              "shade (h)": hours_in(shade["utci"])})
