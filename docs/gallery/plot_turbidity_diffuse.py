"""
Two caveats: turbidity in humid air, the diffuse under a clear sky
==================================================================

Two places where the model's own choices need an eye kept on them, and the
options that deal with them.

1. **Turbidity.** Where no Linke turbidity is given, the chain takes
   ``LinkeTruebung`` of the day, latitude and humidity. Its humidity branch
   rises steeply from 85 %: 3.5 at 85 %, 39.8 from 94.9 %, far beyond any
   measured climatology (monthly values stay below about 7), and the beam of
   a clear, humid morning would be lost. The default, ``"bounded"``, keeps
   the branch up to 7 and takes the model's dry-air value beyond;
   ``turbidity="model"`` takes it as it is, ``turbidity="climatology"`` the
   site's monthly value, and a ``linke`` input gives it outright.
2. **The diffuse.** The clear-sky global and direct irradiance come from two
   formulas; at altitude under a clear winter sky the beam on the ground of
   one exceeds the global of the other, and the residual global − beam
   clips to 0 (``diffuse_model="residual"``). The default, ``"separation"``,
   takes Erbs' diffuse share where the residual falls below 5 % of the
   global, and the beam that is left.
"""

# %%
# Turbidity against humidity
# --------------------------
#
# Noon on a clear summer day at Munich, with the humidity from 40 to 100 %.
# The default's turbidity, the model's as it is, the climatology's and a
# measured-like fixed value of 3.5, and what each makes of the direct beam and of the mean radiant
# temperature.

import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from klimora.chain import ChainWarning, Site, chain

munich = Site(latitude=48.14, longitude=11.58, height=520, zone=1)
humidity = np.arange(40.0, 100.01, 0.5)
noon = pd.DataFrame({"humidity": humidity, "air_temp": 22.0, "cloud": 0.0,
                     "wind": 2.0},
                    index=pd.DatetimeIndex(["2025-06-21 13:00"] * humidity.size))

with warnings.catch_warnings(record=True) as said:
    warnings.simplefilter("always", ChainWarning)
    model = chain(noon, site=munich, turbidity="model")
print("\n".join(str(w.message) for w in said))

runs = {
    'turbidity="bounded" (default)': chain(noon, site=munich),
    'turbidity="model"': model,
    'turbidity="climatology"': chain(noon, site=munich, turbidity="climatology"),
    "linke=3.5 given": chain(noon.assign(linke=3.5), site=munich),
}
pd.DataFrame({name: r["linke"].to_numpy()[[0, 80, 100, 110, 120]]
              for name, r in runs.items()},
             index=pd.Index(humidity[[0, 80, 100, 110, 120]], name="humidity (%)"))

# %%
# The chain says as a ``ChainWarning`` where the model's turbidity passes
# 7 (above). Here it is drawn against the others.

colours = ["#e7298a", "#d95f02", "#1b9e77", "#7570b3"]
fig, axes = plt.subplots(1, 3, figsize=(10, 3.6))
fig.subplots_adjust(wspace=0.35)
for (name, result), colour in zip(runs.items(), colours):
    axes[0].plot(humidity, result["linke"], color=colour, lw=2, label=name)
    axes[1].plot(humidity, result["direct"], color=colour, lw=2)
    axes[2].plot(humidity, result["mrt"], color=colour, lw=2)
axes[0].axhline(7, color="grey", ls=":", lw=1)
axes[0].text(41, 7.6, "beyond any climatology", fontsize="x-small", color="grey")
axes[0].set_yscale("log")
ticks = [2, 3, 5, 7, 10, 20, 40]
axes[0].set_yticks(ticks, labels=[str(t) for t in ticks])
axes[0].minorticks_off()
axes[0].set_ylabel("Linke turbidity")
axes[1].set_ylabel("direct beam at noon (W/m²)")
axes[2].set_ylabel("mean radiant temperature (°C)")
for ax in axes:
    ax.set_xlabel("relative humidity (%)")
    ax.grid(alpha=0.3)
fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=4,
           fontsize="small", frameon=False, bbox_to_anchor=(0.5, 0.0))
fig.suptitle("Munich, 21 June, 13:00, clear sky")
fig.subplots_adjust(bottom=0.3, top=0.86)
plt.show()

# %%
# Up to 85 % they agree within a kelvin. Above it the model's turbidity
# first dips, then climbs past anything measured: the beam goes, the
# diffuse takes what the beam loses (and a standing person takes half of
# the diffuse but at most 0.31 of the beam, so the mean radiant
# temperature even rises for a while), and from 94.9 % the clear sky's
# global itself collapses. The default follows the model up to 7 (at about
# 91.4 %) and takes June's dry-air value, 4.2, above: the clear sky keeps
# its beam. Where the turbidity is known, give it.

# %%
# The diffuse on a clear winter day at altitude
# ---------------------------------------------
#
# Every ten minutes of 21 June, the southern winter, at La Rinconada, Peru
# (5000 m), under a clear sky, with both diffuse models.

andes = Site(latitude=-14.60, longitude=-69.40, height=5000, zone=-5)
times = pd.date_range("2025-06-21 05:00", "2025-06-21 19:00", freq="10min")
clear = pd.DataFrame({"air_temp": 2.0, "humidity": 40.0, "cloud": 0.0, "wind": 2.0},
                     index=times)
residual = chain(clear, site=andes, diffuse_model="residual")
separation = chain(clear, site=andes)
hours = times.hour + times.minute / 60

fig, (flux, share) = plt.subplots(1, 2, figsize=(10, 3.8))
fig.subplots_adjust(wspace=0.3)
flux.plot(hours, separation["global"], color="k", lw=1.5, label="global")
cos_zenith = np.cos(np.radians(np.minimum(separation["zenith"], 90)))
flux.plot(hours, residual["direct"] * cos_zenith, color="#7570b3", ls="--",
          label="beam on the ground, residual")
flux.plot(hours, separation["direct"] * cos_zenith, color="#d95f02", ls="--",
          label="beam on the ground, separation")
flux.plot(hours, residual["diffuse"], color="#7570b3", lw=2,
          label="diffuse, residual")
flux.plot(hours, separation["diffuse"], color="#d95f02", lw=2,
          label="diffuse, separation")
flux.set_ylabel("irradiance on level ground (W/m²)")
flux.set_ylim(-20, 1350)
flux.legend(fontsize="x-small", loc="upper left", ncol=2)
share.plot(hours, residual["mrt"], color="#7570b3", lw=2, label="residual")
share.plot(hours, separation["mrt"], color="#d95f02", lw=2,
           label="separation (default)")
share.set_ylabel("mean radiant temperature (°C)")
share.set_ylim(-15, 50)
share.legend(fontsize="small", loc="upper center", ncol=2)
for ax in (flux, share):
    ax.set_xlabel("clock time (UTC−5, h)")
    ax.set_xlim(5, 19)
    ax.grid(alpha=0.3)
fig.suptitle("La Rinconada, 5000 m, 21 June (southern winter), clear sky")
plt.show()

# %%
# With the residual the beam on the ground stands above the global for most
# of the day, and the diffuse is 0: the sky would be black. The separation
# keeps the global, gives Erbs' diffuse share of it and lowers the beam to
# what is left, so that global = diffuse + beam on the ground holds again.
# For the person the two changes nearly balance: the mean radiant
# temperature moves by a kelvin or two.
#
# How often the residual clips to nothing, and what the separation leaves:

day = separation["zenith"] < 90
print(f"daylight steps: {int(day.sum())}; residual diffuse 0 on "
      f"{int((residual['diffuse'][day] == 0).sum())}, separation's diffuse "
      f"{(separation['diffuse'][day] / separation['global'][day]).min():.0%} "
      f"of the global at least")
