"""
A day at a site
===============

The main job in Python: the radiation a person gets over one summer day in
Berlin, and the mean radiant temperature it makes, under a clear sky,
half-covered and overcast. ``klimora.chain.chain`` takes a pandas DataFrame of the
weather indexed by clock times; the site says where and in which zone.
"""

# %%
# The weather of the day
# ----------------------
#
# Every ten minutes of 15 July 2025, clock time in Berlin (daylight saving
# time, UTC+2). The air warms from 17 °C at dawn to 29 °C in the afternoon,
# the relative humidity falls as it warms; 3 m/s of wind.

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from klimora.chain import Site, chain

site = Site(latitude=52.52, longitude=13.40, height=34, zone="Europe/Berlin")
times = pd.date_range("2025-07-15 00:00", "2025-07-15 23:50", freq="10min")
hours = times.hour + times.minute / 60
air = 23 - 6 * np.cos(2 * np.pi * (hours - 3.5) / 24)
weather = pd.DataFrame({"air_temp": air, "humidity": 95 - 1.8 * (air - 10),
                        "wind": 3.0}, index=times)

clear = chain(weather.assign(cloud=0), site=site)
half = chain(weather.assign(cloud=4), site=site)
overcast = chain(weather.assign(cloud=8), site=site)
clear[["zenith", "global", "diffuse", "counter", "surface_temp", "mrt"]].iloc[72::6]

# %%
# Every column comes with its unit:

clear.attrs["units"]

# %%
# The course of the day
# ---------------------
#
# Above, the short-wave irradiance on level ground (global and diffuse) and
# the long-wave fluxes of the sky and the ground; below, the air, the ground
# and the mean radiant temperature of a standing person. In the sun the
# mean radiant temperature runs far above the air; an overcast sky takes the
# beam and most of the difference, and keeps the night warmer.
#
# Half-covered, the mean radiant temperature at midday is *higher* than
# under a clear sky. The beam falls linearly with the cloud cover
# (``DirStrMBew``: a half of it at 4 oktas), the global only with its 3.4th
# power (Kasten and Czeplak: 0.93 of the clear-sky global at 4 oktas), and
# what the beam loses the global keeps as diffuse light. A standing person
# takes half of the diffuse (the sky's half of the surroundings) but at most
# 0.31 of the beam (the projection factor), so light moved from the beam to
# the diffuse warms the person more; the cloudy sky's counter-radiation adds
# to it.

fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 7), sharex=True)
fig.subplots_adjust(hspace=0.08)
top.plot(hours, clear["global"], color="#d95f02", label="global, clear")
top.plot(hours, clear["diffuse"], color="#d95f02", ls=":", label="diffuse, clear")
top.plot(hours, half["global"], color="#7570b3", label="global, 4 oktas")
top.plot(hours, half["diffuse"], color="#7570b3", ls=":", label="diffuse, 4 oktas")
top.plot(hours, clear["counter"], color="#1b9e77", ls="--",
         label="long-wave from the sky")
top.plot(hours, clear["longwave_up"], color="#666666", ls="--",
         label="long-wave from the ground")
top.set_ylabel(f"flux ({clear.attrs['units']['global']})")
top.legend(ncol=3, fontsize="small", loc="upper left")
top.set_ylim(0, 1200)

bottom.plot(hours, weather["air_temp"], color="k", label="air")
bottom.plot(hours, clear["surface_temp"], color="#a6761d", label="ground, clear")
bottom.plot(hours, clear["mrt"], color="#d95f02", lw=2, label="mean radiant, clear")
bottom.plot(hours, half["mrt"], color="#7570b3", lw=2,
            label="mean radiant, 4 oktas")
bottom.plot(hours, overcast["mrt"], color="#1f78b4", lw=2, ls="-.",
            label="mean radiant, overcast")
bottom.set_ylabel("temperature (°C)")
bottom.set_xlabel("clock time in Berlin (h)")
bottom.set_xticks(range(0, 25, 3))
bottom.set_xlim(0, 24)
bottom.legend(ncol=3, fontsize="small", loc="upper left")
bottom.set_ylim(5, 75)
fig.suptitle("Berlin, 15 July 2025")
for ax in (top, bottom):
    ax.grid(alpha=0.3)
plt.show()

# %%
# The highest mean radiant temperature of each sky:

for name, result in (("clear", clear), ("4 oktas", half), ("overcast", overcast)):
    peak = result["mrt"].idxmax()
    print(f"{name:9}: {result['mrt'].max():.1f} °C at {peak:%H:%M}, "
          f"air {weather['air_temp'][peak]:.1f} °C, "
          f"sun {90 - result['zenith'][peak]:.0f}° high")
