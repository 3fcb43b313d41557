"""Runs the model over one day for an example site and prints a table.

The chain per hour: solar time, zenith and azimuth, Linke turbidity, air
mass, clear-sky direct and global irradiance, the cloud-reduced beam,
counter-radiation, surface temperature and mean radiant temperature.

Assumptions beyond the module (open, level ground, no walls):
- the radiation balance of the ground is (1 - albedo) * global irradiance
  reduced for cloud (factor 1 - 0.75 (N/8)^3.4) plus the counter-radiation
  minus the emission of the ground at air temperature (emissivity 0.97);
- a person sees half sky and half ground: EStrOben is half the
  counter-radiation, EStrUnten half the emission of the ground at its surface
  temperature, AGegenstr enters through EStrOben only (passed as 0);
- the diffuse flux is half of what the global irradiance holds beyond the
  direct beam on the horizontal;
- with the sun below the horizon the mean radiant temperature is taken at a
  zenith angle of 90 degrees (the beam is zero then, and the square root of a
  negative elevation would make it NaN).
"""

import math

import numpy as np

from klimora import Strahlkit as S

SIGMA = 5.67e-8
EPS_GROUND = 0.97


def day_table(latitude=48.14, longitude=11.58, zone=1.0, height=520.0, day=172,
              air=20.0, humidity=60.0, vapour=14.0, cloud=2.0, wind=2.0, albedo=0.2,
              bowen=1.0):
    rows = []
    turbidity = S.LinkeTruebung(day, latitude, humidity)
    counter = S.AtmosGegenstr(air, vapour, cloud)
    for hour in range(24):
        szeit = S.Sonnenzeit(hour, zone, longitude, day)
        zenith = S.Zenitwinkel(szeit, latitude, day)
        azimuth = S.Azimutwinkel(szeit, latitude, day)
        air_mass = S.RelOptLuftmasse(zenith)
        direct = S.MaxDirekteStrahlung(day, height, zenith, turbidity, air_mass)
        glob = S.MaxGlobalstrahlung(day, height, zenith, turbidity)
        beam = S.DirStrMBew(direct, cloud)
        glob_cloudy = glob * (1 - 0.75 * (cloud / 8) ** 3.4)
        balance = ((1 - albedo) * glob_cloudy + counter
                   - EPS_GROUND * SIGMA * (air + 273.15) ** 4)
        surface = S.OberflTemp(balance, air, wind, bowen)
        beam_horizontal = beam * max(math.cos(math.radians(zenith)), 0.0)
        diffuse = 0.5 * max(glob_cloudy - beam_horizontal, 0.0)
        ground = EPS_GROUND * SIGMA * (surface + 273.15) ** 4
        mrt = S.MittlStrTemp(min(zenith, 90.0), 0.5 * counter, 0.5 * ground, 0.0, diffuse, beam,
                             None, albedo, None)
        rows.append((hour, szeit, zenith, azimuth, air_mass, direct, glob, beam, counter,
                     surface, mrt))
    return rows


def main():
    header = ("hour", "solar_time", "zenith", "azimuth", "air_mass", "direct_max",
              "global_max", "direct", "counter", "surface_T", "mrt")
    print(" ".join(f"{h:>10}" for h in header))
    for row in day_table():
        print(" ".join(f"{float(v):10.2f}" if i else f"{v:>10}" for i, v in enumerate(row)))


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
