"""
A station year
==============

A typical meteorological year (TMY3) of Greensboro, North Carolina, the one
pvlib ships as a test file, through ``klimora.chain.chain``: hourly air
temperature, humidity, wind and cloud cover, and the measured global,
direct and diffuse irradiance. The file's rows are means over the hour that
ends at their time stamp, in local standard time (UTC−5), so the chain
takes them with ``time_label="end"``: the sun of each row is that of the
middle of its hour, and every flux the mean over the hour.
"""

# %%
# Reading the year
# ----------------
#
# pvlib reads the file and names the columns; klimora wants its own names
# and the cloud cover in oktas (the file gives tenths).

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pvlib

from klimora.chain import Site, chain

path = Path(pvlib.__file__).parent / "data" / "723170TYA.CSV"
tmy, meta = pvlib.iotools.read_tmy3(path, map_variables=True, coerce_year=2025)
site = Site(latitude=meta["latitude"], longitude=meta["longitude"],
            height=meta["altitude"], zone=meta["TZ"])
site

# %%

weather = pd.DataFrame({
    "air_temp": tmy["temp_air"],
    "humidity": tmy["relative_humidity"],
    "wind": tmy["wind_speed"],
    "cloud": tmy["TotCld (tenths)"] * 0.8,
})
measured = weather.assign(**{"global": tmy["ghi"], "direct": tmy["dni"],
                             "diffuse": tmy["dhi"]})

# %%
# The chain, twice
# ----------------
#
# Once with the measured irradiance, once with the irradiance the chain
# works out from the cloud cover alone (the clear-sky model reduced for
# cloud). 8760 rows, each the mean of 13 sub-steps across its hour.
#
# Greensboro's summer air is humid: the turbidity model as it is would give
# a Linke turbidity above 7, beyond any climatology, on 1611 hours; the
# default bounds it there, and both runs here take the site's monthly
# climatology, which pvlib has for it (see
# :ref:`sphx_glr_examples_plot_turbidity_diffuse.py`).

options = dict(site=site, time_label="end", interval="1h", turbidity="climatology")
with_measured = chain(measured, **options)
from_cloud = chain(weather, **options)
columns = ["global", "direct", "diffuse", "surface_temp", "mrt"]
with_measured[columns].describe().round(1)

# %%
# The year at a glance
# --------------------
#
# Each column of the picture is a day, each row an hour of local standard
# time: the mean radiant temperature with the measured irradiance. Summer
# afternoons in the sun pass 50 °C; overcast days show as dark stripes.

local = with_measured.index.tz_convert("Etc/GMT+5") - pd.Timedelta(minutes=30)
grid = (with_measured["mrt"].groupby([local.hour, local.dayofyear]).mean()
        .unstack().reindex(index=range(24)))

fig, heat = plt.subplots(figsize=(8, 4))
image = heat.pcolormesh(grid.columns, grid.index, grid.to_numpy(),
                        cmap="inferno", shading="nearest", vmin=-15, vmax=60)
fig.colorbar(image, ax=heat, label="mean radiant temperature (°C)", pad=0.01)
heat.set_ylabel("hour of the day (UTC−5)")
heat.set_xlabel("day of the year")
heat.set_yticks(range(0, 25, 6))
heat.set_title(f"Greensboro, NC (TMY3): {meta['latitude']:.2f} N, "
               f"{-meta['longitude']:.2f} W, {meta['altitude']:.0f} m")
plt.show()

# %%
# Measured against modelled irradiance
# ------------------------------------
#
# The mean of each month's daily highest mean radiant temperature: with the
# measured irradiance, and with the irradiance modelled from cloud cover.
# Month by month the two stay within a few kelvin of each other. Hour by
# hour they part further (below): the cloud cover says how much of the sky
# is covered, not how thick the cloud is or whether it stands before the
# sun.

daily_max = pd.DataFrame({"measured irradiance": with_measured["mrt"],
                          "modelled from cloud": from_cloud["mrt"],
                          "air": weather["air_temp"]})
daily_max.index = local
monthly = daily_max.resample("D").max().resample("MS").mean()
labels = monthly.index.strftime("%b")
fig, months = plt.subplots(figsize=(8, 3.8))
months.plot(labels, monthly["measured irradiance"], "o-", color="#d95f02",
            label="mean radiant, measured irradiance")
months.plot(labels, monthly["modelled from cloud"], "s--", color="#7570b3",
            label="mean radiant, modelled from cloud")
months.plot(labels, monthly["air"], "^-", color="k", label="air")
months.set_ylabel("mean daily maximum (°C)")
months.legend(fontsize="small", loc="upper left")
months.grid(alpha=0.3)
plt.show()

# %%
# Over the year, the hourly mean radiant temperature of the two runs
# differs by:

day = with_measured["zenith"] < 90
difference = (from_cloud["mrt"] - with_measured["mrt"])[day]
print(f"daylight hours: mean {difference.mean():+.1f} K, "
      f"RMS {np.sqrt((difference ** 2).mean()):.1f} K over {difference.size} hours")
