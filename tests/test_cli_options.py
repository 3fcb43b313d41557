"""The options of how the chain works are one set, the same in the day's
and the series' command and in ``klimora grid``."""

import pytest

from klimora.cli import day_command, grid_command

MODEL_OPTIONS = ["--projection-factor", "--utci", "--indices", "--turbidity", "--diffuse-model",
                 "--min-wind", "--surface", "--time-label", "--interval"]


def action(parser, flag):
    return next(a for a in parser._actions if flag in a.option_strings)


@pytest.mark.parametrize("flag", MODEL_OPTIONS)
def test_a_model_option_is_the_same_in_every_command(flag):
    day, grid = action(day_command.build_parser(), flag), action(grid_command.build_parser(), flag)
    assert (day.dest, day.default, day.choices, day.type, day.nargs, day.metavar) == \
        (grid.dest, grid.default, grid.choices, grid.type, grid.nargs, grid.metavar)
    if flag not in ("--surface", "--time-label", "--interval"):   # these name their inputs
        assert day.help == grid.help


# Every field of Options away from its default (utci aside: indices holds it).
OTHER = {"projection_factor": "vdi3789", "turbidity": "climatology",
         "diffuse_model": "residual", "min_wind": None, "time_label": "end", "interval": "30min",
         "indices": ("pet", "wbgt")}


@pytest.mark.parametrize("field", sorted(OTHER))
def test_one_options_object_goes_through_as_the_keywords_would(field):
    """What the package hands on as one Options is what chain() makes of
    the same keywords, and the day's run takes it whole."""
    import dataclasses

    import numpy as np
    import pandas as pd

    from klimora.chain import Options, Site, Weather, chain, chain_with
    from klimora.day import run_at

    if field == "turbidity":
        pytest.importorskip("h5py")
    assert set(OTHER) | {"utci"} == {f.name for f in dataclasses.fields(Options)}
    changed = {field: OTHER[field], **({"time_label": "end"} if field == "interval" else {})}
    options = Options(**changed)
    site = Site(48.14, 11.58, 520.0, zone=1.0)
    times = pd.date_range("2025-06-21 04:00", periods=6, freq="30min")
    frame = pd.DataFrame({"air_temp": np.linspace(12.0, 24.0, 6), "wind": 0.2}, index=times)
    want = chain(frame, site=site, **changed)
    pd.testing.assert_frame_equal(chain_with(frame, site=site, options=options), want)
    default = chain(frame, site=site)
    assert not want.equals(default)
    weather = Weather(air_temp=20.0, wind=0.2)
    day = run_at(site, times, weather, options)
    pd.testing.assert_frame_equal(day, chain(pd.DataFrame(
        {name: np.full(6, value) for name, value in weather.given().items()}, index=times),
        site=site, **changed))
