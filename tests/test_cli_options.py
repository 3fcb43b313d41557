"""The options of how the chain works are one set, the same in the day's
and the series' command and in ``klimora grid``."""

import pytest

from klimora.cli import day_command, grid_command

MODEL_OPTIONS = ["--projection-factor", "--utci", "--turbidity", "--diffuse-model",
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
